// The line starts found by the workers against a plain walk over the bytes,
// with 1, 2, 3 and 8 workers: piece edges inside lines, on a line feed and
// just after one, CR LF pairs and double-byte text cut at a piece edge, runs
// that begin and end inside pieces, and a whole file opened through the
// indexer.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "store/parallelscan.h"
#include "store/workers.h"
#include "store_fixture.h"

namespace {

std::vector<uint64_t> PlainStarts(const std::string& bytes, uint64_t from, uint64_t to) {
  std::vector<uint64_t> starts;
  for (uint64_t i = from; i < to; ++i) {
    if (bytes[i] == '\n') starts.push_back(i + 1);
  }
  return starts;
}

// Random lines of 0 to 300 bytes, CR LF or LF, some Shift-JIS, some of
// several pieces, runs of empty lines; line feeds placed on and around the
// first piece edges.
std::string MixedBytes(size_t size, uint64_t seed) {
  std::mt19937_64 random(seed);
  std::string bytes;
  while (bytes.size() < size) {
    const unsigned kind = random() % 100;
    if (kind == 0) {
      bytes.append(500, '\n');  // a run of empty lines
      continue;
    }
    size_t length = kind < 90 ? random() % 300 : kind < 99 ? random() % 5000 : 3 * kScanPiece / 2;
    for (size_t i = 0; i < length; ++i) {
      if (random() % 7 == 0) {
        bytes += "\x82\xa0";  // a double-byte character
        ++i;
      } else {
        bytes += static_cast<char>('a' + random() % 26);
      }
    }
    bytes += random() % 2 ? "\r\n" : "\n";
  }
  for (uint64_t edge = kScanPiece; edge + 1 < bytes.size() && edge <= 4 * kScanPiece;
       edge += kScanPiece) {
    bytes[edge - 1] = '\n';  // a piece ends on a line feed
    bytes[edge + 1] = '\n';  // and the next holds a one-byte line first
  }
  return bytes;
}

// Every run scanned both ways: its line feeds marked and listed.
template <typename Run>
std::vector<std::pair<Run, bool>> Plans(const std::vector<Run>& runs) {
  std::vector<std::pair<Run, bool>> plans;
  for (const Run& run : runs) {
    for (const bool mark : {false, true}) plans.emplace_back(run, mark);
  }
  return plans;
}

class WorkersTest : public StoreTest {
 protected:
  void TearDown() override {
    SetWorkerCountForTest(0);
    StoreTest::TearDown();
  }
};

TEST_F(WorkersTest, EveryWorkerCountFindsTheStartsInFileOrder) {
  const std::string bytes = MixedBytes(5 * kScanPiece + 12345, 1);
  const uint64_t size = bytes.size();
  struct Run {
    const char* name;
    uint64_t from, to;
    size_t max_batch;
    uint64_t piece;
  };
  const std::vector<Run> runs = {
      {"Whole", 0, size, 65536, kScanPiece},
      {"InsideLines", 77, size - 5, 65536, kScanPiece},
      {"OnPieceEdges", kScanPiece, 4 * kScanPiece, 65536, kScanPiece},
      {"LessThanAPiece", 1000, 1000 + kScanPiece / 3, 65536, kScanPiece},
      {"SmallBatches", 3, size, 1000, kScanPiece},
      {"SmallPiecesOffPages", 3, size / 2, 65536, 5000},
      {"EmptyLinePieces", 11, size, 65536, ScanPieceFor(1)},
      {"Empty", 500, 500, 65536, kScanPiece},
  };
  for (const int workers : {1, 2, 3, 8}) {
    SetWorkerCountForTest(workers);
    for (const auto& [run, mark] : Plans(runs)) {
      SCOPED_TRACE(std::string(run.name) + " with " + std::to_string(workers) + " workers" +
                   (mark ? ", marked" : ", listed"));
      std::vector<uint64_t> got;
      size_t largest = 0;
      ASSERT_TRUE(FindLineStarts(
          bytes.data(), 0, run.from, run.to, run.max_batch,
          [&](const uint64_t* starts, size_t n) {
            largest = std::max(largest, n);
            got.insert(got.end(), starts, starts + n);
            return true;
          },
          run.piece, mark));
      EXPECT_LE(largest, run.max_batch);
      ASSERT_EQ(PlainStarts(bytes, run.from, run.to), got);
      // Through a sink that prepares each piece beside the others: it is
      // told how many starts come before the piece. What it is told is
      // scanned it overwrites, as if its pages were gone: a scan that
      // still read them would find other line feeds.
      struct Counting : LineStartSink {
        std::string bytes;
        uint64_t scanned_to = 0;
        std::vector<uint64_t> got;
        bool prepared[kMaxWorkers] = {};
        uint64_t before[kMaxWorkers] = {};
        int miscounted = 0;
        void Prepare(int worker, const FeedBits&, uint64_t n) override {
          prepared[worker] = true;
          before[worker] = n;
        }
        bool Take(int worker, const FeedBits& piece) override {
          if (prepared[worker] && before[worker] != got.size()) ++miscounted;
          prepared[worker] = false;
          std::vector<uint64_t> starts(piece.feeds);
          size_t at = 0;
          EXPECT_EQ(piece.feeds, piece.Starts(&at, starts.data(), starts.size()));
          got.insert(got.end(), starts.begin(), starts.end());
          return true;
        }
        void Scanned(uint64_t from, uint64_t to) override {
          EXPECT_TRUE(scanned_to == 0 || from == scanned_to);
          scanned_to = to;
          std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                    bytes.begin() + static_cast<std::ptrdiff_t>(to), '\n');
        }
      } counting;
      counting.bytes = bytes;
      ASSERT_TRUE(
          FindLineStarts(counting.bytes.data(), 0, run.from, run.to, counting, run.piece, mark));
      EXPECT_EQ(0, counting.miscounted);
      ASSERT_EQ(got, counting.got);
    }
    // A refusal ends the hand-over: nothing after the refused batch.
    size_t calls = 0;
    EXPECT_FALSE(FindLineStarts(bytes.data(), 0, 0, size, 100,
                                [&](const uint64_t*, size_t) { return ++calls < 3; }));
    EXPECT_EQ(3u, calls);
  }
}

// Mostly empty lines (about 2 bytes a line, so that the scan marks them past
// its first stretch), between short lines of text: groups of 128 empty lines
// that begin anywhere in a piece, and groups cut by the text.
std::string MostlyEmptyLines(size_t size, uint64_t seed) {
  std::mt19937_64 random(seed);
  std::string bytes;
  while (bytes.size() < size) {
    bytes.append(random() % 400, '\n');
    bytes.append(random() % 12, 'e');
    bytes += random() % 2 ? "\r\n" : "\n";
  }
  return bytes;
}

TEST_F(WorkersTest, AnOpenIndexesTheSameLinesWithAnyWorkerCount) {
  const std::vector<std::pair<const char*, std::string>> files = {
      {"mixed", MixedBytes(20 * kScanPiece, 2)},
      {"empty", MostlyEmptyLines(20 * kScanPiece, 3)},
  };
  for (const auto& [name, bytes] : files) {
    const std::vector<uint64_t> feeds = PlainStarts(bytes, 0, bytes.size());
    for (const int workers : {1, 2, 3, 8}) {
      SCOPED_TRACE(std::string(name) + " with " + std::to_string(workers) + " workers");
      SetWorkerCountForTest(workers);
      OpenBytes(bytes, name + std::to_string(workers) + ".txt");
      ASSERT_EQ(0, result);
      WaitForIndex(Slot());
      ASSERT_EQ(static_cast<int64_t>(feeds.size()) + 1, Slot().Index->Size());
      std::vector<uint64_t> starts(feeds.size());
      Slot().Index->Starts(1, static_cast<int64_t>(starts.size()), starts.data());
      EXPECT_EQ(feeds, starts);
      CloseDocument();
    }
  }
}

}  // namespace
