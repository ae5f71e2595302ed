// A fixture for the store tests: an empty slot table, recording hooks and a
// private folder for the files each test writes.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "store/indexer.h"
#include "store/platform.h"
#include "store/slots.h"
#include "support/testfiles.h"

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetSlotTable();
    TabWidth = 4;
    StoreHooks& hooks = Hooks();
    hooks = StoreHooks{};
    hooks.log = [this](const std::string& line) { events.push_back("log " + line); };
    hooks.report_error = [this](const std::string& text) { events.push_back("error " + text); };
    hooks.set_caption = [this](FileSlot& slot, const std::string& text) {
      events.push_back("caption " + std::to_string(&slot - SlotTable) + " " + text);
    };
    hooks.set_status = [this](int panel, const std::string& text) {
      events.push_back("status " + std::to_string(panel) + " " + text);
    };
    hooks.first_page = [this](FileSlot& slot) {
      events.push_back("first_page " + std::to_string(slot.LineCount) + " " + GetLine(slot, 0));
    };
    hooks.index_done = [this](FileSlot& slot) {
      events.push_back("index_done " + std::to_string(slot.LineCount));
    };
    hooks.truncated = [this](FileSlot&) { events.push_back("truncated"); };
    hooks.clock_text = [] { return std::string("2024/01/02 03:04:05"); };
  }

  void TearDown() override {
    FailIndexAppendAt(0);
    store_platform::FailWindowMapAt(0);
    ResetSlotTable();
    Hooks() = StoreHooks{};
  }

  // Opens a file of these bytes into the current slot; the events recorded
  // so far are dropped.
  std::string OpenBytes(const std::string& bytes, const std::string& name = "doc.txt") {
    const std::string path = dir.Write(name, bytes);
    result = OpenDocument(path);
    return path;
  }

  FileSlot& Slot() { return SlotTable[CurrentSlot]; }

  std::vector<std::string> AllLines() {
    std::vector<std::string> lines;
    for (int32_t i = 0; i < Slot().LineCount; ++i) lines.push_back(GetLine(Slot(), i));
    return lines;
  }

  TempDir dir;
  std::vector<std::string> events;
  int result = 0;
};

// The two time stamp lines OpenDocument writes, as the fixture records them.
inline std::string kStartLine() {
  return "log # \u3000\u3000\u3000\u3000\u3000\u3000\u3000ファイルオープン開始 "
         ":(2024/01/02 03:04:05)===";
}
inline std::string kEndLine() {
  return "log # \u3000\u3000\u3000\u3000\u3000\u3000\u3000ファイルオープン終了 "
         ":(2024/01/02 03:04:05)===";
}

// Numbered lines "L0000000" ... with the given line end; width bytes of text.
inline std::string NumberedLines(int count, const std::string& end = "\r\n", int width = 8) {
  std::string text;
  char buffer[32];
  for (int i = 0; i < count; ++i) {
    std::snprintf(buffer, sizeof buffer, "L%0*d", width - 1, i);
    text += buffer;
    text += end;
  }
  return text;
}
