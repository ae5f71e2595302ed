// bench_app FILE [REPS]
//
// Times continuous searches the way a user runs them: the program's five
// windows are made as the program makes them (on the offscreen platform
// unless QT_QPA_PLATFORM names another), the file is opened with the open
// command, the search dialog's continuous option is ticked and the find
// command runs from the top, its hits going into the search result window,
// which repaints as it does for the user. Each run is interleaved with
// "grep -c" for the same text on the same warm file; prints "app/NAME RATIO"
// lines (median over grep's median; the limits are 2.0 for ~400,000 hits and
// 0.8 for ~400), the ~400 hits over "rg -c" too (aim 0.6), and "#" lines
// with the absolute medians. REPS defaults to 5.
#include <QApplication>
#include <QCheckBox>
#include <QRadioButton>
#include <QString>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "commands/Rpcmd1.h"
#include "store/slots.h"
#include "ui/Rpjump.h"
#include "ui/Rpmain1.h"
#include "ui/Rpsearch.h"
#include "ui/Rpsearchlog.h"
#include "ui/dmkAbout.h"
#include "view/view.h"

#include "bench/timing.h"

namespace {

// One continuous search from the first line; returns its seconds and sets
// the hits, counted from the result window's lines (the start and end
// reports excluded). The window is emptied first, outside the timed part,
// so that every run appends to the same empty list.
double TimedSearch(const QString& text, int* hits) {
  SearchLogF->SearchLog->Clear();
  rpcmd::_jump(0, true);
  QCoreApplication::processEvents();
  const Clock::time_point begin = Clock::now();
  rpcmd::_find_str(text);
  const double seconds = Seconds(Clock::now() - begin);
  *hits = SearchLogF->SearchLog->LineCount() - 2;
  QCoreApplication::processEvents();
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [REPS]\n", argv[0]);
    return 2;
  }
  const std::string file = argv[1];
  const int reps = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");

  QApplication app(argc, argv);
  Q_INIT_RESOURCE(dolmik);
  InstallFontSubstitutions();
  InstallCommandHooks();
  auto* main = new TRpEdit(QStringList{});
  CreateDialogs(main);
  main->show();
  QCoreApplication::processEvents();

  rpcmd::_chenge_view(0);
  // The open indexes in the background; the search waits for all of it.
  const int opened = rpcmd::_open_file(QString::fromLocal8Bit(file.c_str()));
  WaitForIndex(SlotTable[CurrentSlot]);
  if (opened != 0 || SlotTable[CurrentSlot].LineCount == 0) {
    std::fprintf(stderr, "cannot open %s\n", file.c_str());
    return 1;
  }
  SearchFom->SRd2_Down->setChecked(true);
  SearchFom->SOp3_All->setChecked(true);
  QCoreApplication::processEvents();

  const std::string quoted = "'" + file + "'";
  std::vector<double> dense, grepDense, sparse, grepSparse, rgSparse;
  int denseHits = 0;
  int sparseHits = 0;
  for (int rep = 0; rep < reps; ++rep) {
    // Interleaved, so that both sides of a ratio see the same load.
    grepDense.push_back(TimeCommand("grep -c WARN " + quoted));
    dense.push_back(TimedSearch(QStringLiteral("WARN"), &denseHits));
    grepSparse.push_back(TimeCommand("grep -c ZQXJ " + quoted));
    sparse.push_back(TimedSearch(QStringLiteral("ZQXJ"), &sparseHits));
    rgSparse.push_back(TimeCommand("rg -c ZQXJ " + quoted));
  }
  const double mDense = Median(dense), mGrepDense = Median(grepDense);
  const double mSparse = Median(sparse), mGrepSparse = Median(grepSparse);
  std::printf("app/find400k/grep %.2f\n", mDense / mGrepDense);
  std::printf("app/find400/grep %.2f\n", mSparse / mGrepSparse);
  std::printf("app/find400/rg %.2f\n", mSparse / Median(rgSparse));
  std::printf(
      "# app find command with the result window, medians of %d runs (s): WARN %.3f"
      " (%d hits) vs grep -c %.3f; ZQXJ %.3f (%d hits) vs grep -c %.3f, rg -c %.3f\n",
      reps, mDense, denseHits, mGrepDense, mSparse, sparseHits, mGrepSparse, Median(rgSparse));
  std::fflush(stdout);

  DestroyWindows(main);
  return 0;
}
