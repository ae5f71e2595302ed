// bench_view FILE [SAMPLES]
//
// Page drawing on a real document: opens FILE into slot 0 of an offscreen
// 1250 x 800 page (the first tab's raster, start font), then times
//   draw:   DrawView of a full page at random top lines (fetch included),
//   scroll: DrawView(TopLine + 1) from random starting pages, one line a step,
// and prints the median of each in milliseconds as "view/draw_ms X" and
// "view/scroll_ms X".
#include <benchmark/benchmark.h>

#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "store/slots.h"
#include "view/view.h"

namespace {

double MedianMs(std::vector<double> samples) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

template <typename F>
double TimeMs(F f) {
  const auto t0 = std::chrono::steady_clock::now();
  f();
  const auto t1 = std::chrono::steady_clock::now();
  return std::chrono::duration<double, std::milli>(t1 - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  InstallFontSubstitutions();
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_view FILE [SAMPLES]  (make FILE with gen_logfile)\n");
    return 2;
  }
  const int samples = argc > 2 ? std::max(10, std::atoi(argv[2])) : 500;

  PageImage image(1250, 800);
  PageScrollBar vscroll(Qt::Vertical);
  PageScrollBar hscroll(Qt::Horizontal);
  ResetSlotTable();
  CurrentSlot = 0;
  RegisterSlotControls(0, nullptr, &image, &vscroll, &hscroll);
  BindSlotControls(0);
  Hooks().index_done = [](FileSlot& slot) {
    SetVerticalRange(slot);
    DrawView(0, true);
  };
  QObject::connect(&vscroll, &QScrollBar::valueChanged, [](int) {
    FileSlot& s = SlotTable[CurrentSlot];
    if (s.FileHandle != -1) DrawView(s.VScroll->value(), false);
  });
  if (OpenDocument(argv[1]) != 0) {
    std::fprintf(stderr, "bench_view: cannot open %s\n", argv[1]);
    return 1;
  }
  FileSlot& slot = SlotTable[0];
  const int32_t rows = LinesPerPage(&image);
  const int32_t lastTop = std::max<int32_t>(slot.LineCount - rows - 1, 0);
  std::fprintf(stderr, "bench_view: %d lines, %d rows per page, %d samples\n", slot.LineCount, rows,
               samples);

  std::mt19937 random(12345);
  std::uniform_int_distribution<int32_t> anyTop(0, lastTop);

  std::vector<double> draw;
  for (int i = 0; i < samples; ++i) {
    const int32_t top = anyTop(random);
    draw.push_back(TimeMs([&] { DrawView(top, false); }));
  }
  benchmark::DoNotOptimize(image.Raster().constBits());

  // Scrolling: runs of 20 one-line steps from random pages, so that both the
  // mapped-block case and the occasional remap are in the sample.
  std::vector<double> scroll;
  while (static_cast<int>(scroll.size()) < samples) {
    DrawView(anyTop(random), false);
    for (int step = 0; step < 20; ++step) {
      scroll.push_back(TimeMs([&] { DrawView(slot.TopLine + 1, false); }));
    }
  }
  benchmark::DoNotOptimize(image.Raster().constBits());

  std::printf("view/draw_ms %.3f\n", MedianMs(draw));
  std::printf("view/scroll_ms %.3f\n", MedianMs(scroll));
  CloseDocument();
  return 0;
}
