// bench_encoding FILE [--prepare | --compare REPS]
//
// The costs that the encodings add, on the benchmark file (a Shift-JIS log):
// - detection: DetectEncoding on the file's first 64 KiB, and on the same
//   text in UTF-8 and EUC-JP (EUC-JP is the slowest: it takes all three
//   passes); the budget is 1 ms;
// - search on the UTF-8 form of the file (made once next to FILE, as
//   FILE.utf8): a continuous plain search against grep -c on that file, and
//   continuous regular-expression searches against the bare UTF-mode match
//   floor (regexec with REG_UTF on every line's text and nothing else);
// - the same regular expressions on the Shift-JIS file itself, against the
//   same floor (the same text in UTF-8).
// --prepare only makes FILE.utf8 and prints its name. With --compare it prints "encoding/NAME
// RATIO" lines (limits: detect 1.0, plain 0.8, regex 1.3) and "#" lines with the medians. Without
// it, a Google Benchmark case times the detection.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench/args.h"
#include "bench/regexec_floor.h"
#include "bench/timing.h"
#include "search/search.h"
#include "store/encoding.h"
#include "store/slots.h"

namespace {

SearchOptions g_options;
size_t g_hits = 0;

std::string ReadStart(const std::string& file, size_t bytes) {
  std::ifstream in(file, std::ios::binary);
  std::string data(bytes, '\0');
  in.read(data.data(), static_cast<std::streamsize>(bytes));
  data.resize(static_cast<size_t>(in.gcount()));
  return data;
}

// The text of Shift-JIS bytes in another encoding (characters it cannot
// hold are left out; the benchmark file has none).
std::string Convert(const std::string& sjis, TextEncoding to) {
  const std::u16string text = Decode(TextEncoding::kCp932, sjis, DecodeMode::kReplacement);
  std::string out;
  std::u16string kept;
  for (const char16_t c : text) {
    std::string piece;
    if (Encode(to, std::u16string_view(&c, 1), piece)) out += piece;
  }
  return out;
}

// FILE.utf8, made once: the benchmark file converted line by line.
std::string Utf8File(const std::string& file) {
  const std::string target = file + ".utf8";
  if (std::ifstream(target).good()) return target;
  std::ifstream in(file, std::ios::binary);
  std::ofstream out(target + ".tmp", std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    const std::u16string text = Decode(TextEncoding::kCp932, line, DecodeMode::kReplacement);
    std::string bytes;
    if (!Encode(TextEncoding::kUtf8, text, bytes)) bytes = line;
    out << bytes << '\n';
  }
  out.close();
  std::rename((target + ".tmp").c_str(), target.c_str());
  return target;
}

double DetectSeconds(const std::string& sample) {
  std::vector<double> runs;
  for (int i = 0; i < 201; ++i) {
    const Clock::time_point begin = Clock::now();
    const EncodingGuess guess = DetectEncoding(sample.data(), sample.size(), false);
    benchmark::DoNotOptimize(guess);
    runs.push_back(Seconds(Clock::now() - begin));
  }
  return Median(runs);
}

size_t RunContinuous(const std::string& pattern, bool regex) {
  g_options = SearchOptions{false, regex, true, true};
  g_hits = 0;
  SlotTable[CurrentSlot].TopLine = -1;
  SearchRunning = true;
  int32_t start = 0;
  int32_t end = 0;
  while (SearchNext(pattern, start, end) >= 0) {
  }
  return g_hits;
}

int Compare(const std::string& file, int reps) {
  const std::string sjis = ReadStart(file, kDetectionSample);
  const double detectSjis = DetectSeconds(sjis);
  const double detectUtf8 =
      DetectSeconds(Convert(sjis, TextEncoding::kUtf8).substr(0, sjis.size()));
  const double detectEuc =
      DetectSeconds(Convert(sjis, TextEncoding::kEucJp).substr(0, sjis.size()));
  const double worst = std::max({detectSjis, detectUtf8, detectEuc});
  std::printf("encoding/detect_1ms %.3f\n", worst / 1e-3);
  std::printf(
      "# detection medians of 201 runs on 64 KiB (us): Shift-JIS %.1f, UTF-8 %.1f, EUC-JP %.1f\n",
      detectSjis * 1e6, detectUtf8 * 1e6, detectEuc * 1e6);

  const std::string utf8 = Utf8File(file);
  ResetSlotTable();
  if (OpenDocument(utf8) != 0 || SlotTable[CurrentSlot].Encoding != TextEncoding::kUtf8) {
    std::fprintf(stderr, "cannot open %s as UTF-8\n", utf8.c_str());
    return 1;
  }
  // The Shift-JIS file itself in slot 1, so that its runs interleave with
  // the UTF-8 ones.
  CurrentSlot = 1;
  if (OpenDocument(file) != 0 || SlotTable[1].Encoding != TextEncoding::kCp932) {
    std::fprintf(stderr, "cannot open %s as Shift-JIS\n", file.c_str());
    return 1;
  }
  CurrentSlot = 0;
  const std::string quoted = "'" + utf8 + "'";
  std::vector<double> plain, grep, regex, floor, chunks, floor2, sjisRegex, sjisChunks;
  size_t hits[5] = {};
  size_t floorMatches = 0;
  size_t floorMatches2 = 0;
  for (int rep = 0; rep < reps; ++rep) {
    grep.push_back(TimeCommand("grep -c ZQXJ " + quoted));
    plain.push_back(Time([&] { hits[0] = RunContinuous("ZQXJ", false); }));
    regex.push_back(Time([&] { hits[1] = RunContinuous("Z[A-Z]XJ", true); }));
    floor.push_back(RegexecFloor("Z[A-Z]XJ", REG_NEWLINE | REG_UTF, &floorMatches));
    chunks.push_back(Time([&] { hits[2] = RunContinuous("[Z][Q][X][J]", true); }));
    floor2.push_back(RegexecFloor("[Z][Q][X][J]", REG_NEWLINE | REG_UTF, &floorMatches2));
    CurrentSlot = 1;
    sjisRegex.push_back(Time([&] { hits[3] = RunContinuous("Z[A-Z]XJ", true); }));
    sjisChunks.push_back(Time([&] { hits[4] = RunContinuous("[Z][Q][X][J]", true); }));
    CurrentSlot = 0;
  }
  const double mPlain = Median(plain), mGrep = Median(grep);
  const double mRegex = Median(regex), mFloor = Median(floor);
  const double mChunks = Median(chunks), mFloor2 = Median(floor2);
  std::printf("encoding/utf8_plain_grep %.2f\n", mPlain / mGrep);
  std::printf("encoding/utf8_regex_floor %.2f\n", std::max(mRegex / mFloor, mChunks / mFloor2));
  const double mSjisRegex = Median(sjisRegex), mSjisChunks = Median(sjisChunks);
  std::printf("encoding/sjis_regex_floor %.2f\n",
              std::max(mSjisRegex / mFloor, mSjisChunks / mFloor2));
  std::printf(
      "# Shift-JIS medians of %d runs (s): Z[A-Z]XJ %.3f (%zu hits), [Z][Q][X][J] %.3f (%zu "
      "hits), against the UTF floors of the same text above\n",
      reps, mSjisRegex, hits[3], mSjisChunks, hits[4]);
  std::printf(
      "# UTF-8 medians of %d runs (s): ZQXJ %.3f (%zu hits) vs grep -c %.3f; Z[A-Z]XJ %.3f "
      "(%zu hits) vs UTF floor %.3f (%zu lines); [Z][Q][X][J] %.3f (%zu hits) vs UTF floor %.3f "
      "(%zu lines)\n",
      reps, mPlain, hits[0], mGrep, mRegex, hits[1], mFloor, floorMatches, mChunks, hits[2],
      mFloor2, floorMatches2);
  return 0;
}

void BM_Detect(benchmark::State& state, const std::string* sample) {
  for (auto _ : state) {
    const EncodingGuess guess = DetectEncoding(sample->data(), sample->size(), false);
    benchmark::DoNotOptimize(guess);
  }
}

}  // namespace

int main(int argc, char** argv) {
  BenchArgs args = ParseBenchArgs(argc, argv, true);
  const std::string& file = args.file;
  const int reps = args.reps;
  std::vector<char*>& rest = args.rest;
  const bool prepare = args.prepare;
  if (file.empty()) {
    std::fprintf(stderr, "usage: %s FILE [--compare REPS] [benchmark flags]\n", argv[0]);
    return 2;
  }
  if (prepare) {
    std::printf("%s\n", Utf8File(file).c_str());
    return 0;
  }
  SearchHooksRef().options = [] { return g_options; };
  SearchHooksRef().hit = [](int, int32_t, std::string_view, const HitSpan&) { ++g_hits; };
  if (reps > 0) return Compare(file, reps);

  static const std::string sample = ReadStart(file, kDetectionSample);
  static const std::string eucSample =
      Convert(sample, TextEncoding::kEucJp).substr(0, sample.size());
  benchmark::RegisterBenchmark("BM_Detect/shift_jis", BM_Detect, &sample);
  benchmark::RegisterBenchmark("BM_Detect/euc_jp", BM_Detect, &eucSample);
  int count = static_cast<int>(rest.size());
  benchmark::Initialize(&count, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
