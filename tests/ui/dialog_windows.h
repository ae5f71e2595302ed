// The program's five windows made as the entry makes them, with every
// execution-log line recorded, for the dialog tests.
#pragma once

#include <gtest/gtest.h>

#include <QStringList>
#include <QTest>
#include <ostream>

#include "commands/Rpcmd1.h"
#include "store/slots.h"
#include "ui/Rpjump.h"
#include "ui/Rpmain1.h"
#include "ui/Rpsearch.h"
#include "ui/Rpsearchlog.h"
#include "ui/dmkAbout.h"
#include "ui/forms.h"

// Failures show the texts, not their UTF-16 units.
inline void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}

class DialogWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetSlotTable();
    CurrentSlot = 0;
    InstallCommandHooks();
    main_ = new TRpEdit(QStringList{});
    // Opens index in the call here: the dialogs' tests start from a
    // complete document (the background index has tests of its own).
    Hooks().index_wake = nullptr;
    CreateDialogs(main_);
    // Record every log line, and still pass it on to the log memo.
    auto shown = CmdHooks().append_log;
    CmdHooks().append_log = [this, shown](const QString& line) {
      log.append(line);
      if (shown) shown(line);
    };
  }

  void TearDown() override {
    DestroyWindows(main_);
    RpEdit = nullptr;
    CmdHooks() = CommandHooks{};
    SearchHooksRef() = SearchHooks{};
  }

  TRpEdit* main_ = nullptr;
  QStringList log;
};
