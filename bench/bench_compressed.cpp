// Compressed files read in place, against the format's own decompressor:
//   bench_compressed FILE... [--compare REPS]
// Each FILE is a compressed file (gzip, bzip2, xz or zstd, by its first
// bytes) or a UTF-16 file (transcoded to UTF-8 by the same kind of source,
// measured against "wc -l < FILE"). Prints per file, FORMAT being the file's format and name:
//   compressed/FORMAT/index/cat  the streaming pass with every line feed
//                                counted (as the indexer does), median, over
//                                the median of "DECOMPRESSOR -dc FILE | wc -l"
//   compressed/FORMAT/page/50ms  the median of 30 reads of a page (16 KiB) at
//                                random offsets, over 50 ms
//   compressed/FORMAT/points/1%  the access points' memory over 1 % of the
//                                unpacked size
// and "#" lines with the absolute figures (the slowest page read included).
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "bench/timing.h"
#include "store/compressed.h"
#include "store/encoding.h"

namespace {

const char* Decompressor(CompressedFormat format) {
  switch (format) {
    case CompressedFormat::kGzip:
      return "gzip";
    case CompressedFormat::kBzip2:
      return "bzip2";
    case CompressedFormat::kXz:
      return "xz";
    case CompressedFormat::kZstd:
      return "zstd -q";
    case CompressedFormat::kUtf16Le:
    case CompressedFormat::kUtf16Be:
    case CompressedFormat::kNone:
      break;
  }
  return "cat";
}

// The command the pass is measured against: the decompressor's output, or
// for UTF-16 the file itself, into wc -l.
std::string ToolCommand(CompressedFormat format, const std::string& path) {
  if (IsUtf16(format)) return "wc -l < '" + path + "'";
  return std::string(Decompressor(format)) + " -dc '" + path + "' | wc -l";
}

// A file that is not compressed may be UTF-16, read through the same kind
// of source.
CompressedFormat SniffSource(int fd) {
  const CompressedFormat format = SniffCompressed(fd);
  if (format != CompressedFormat::kNone) return format;
  std::vector<char> head(kDetectionSample);
  const ssize_t got = pread(fd, head.data(), head.size(), 0);
  const EncodingGuess guess =
      DetectEncoding(head.data(), got > 0 ? static_cast<size_t>(got) : 0, false);
  if (!guess.utf16) return CompressedFormat::kNone;
  return guess.utf16BigEndian ? CompressedFormat::kUtf16Be : CompressedFormat::kUtf16Le;
}

void Compare(const std::string& path, int reps) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) {
    std::perror(path.c_str());
    return;
  }
  const CompressedFormat format = SniffSource(fd);
  if (format == CompressedFormat::kNone) {
    std::fprintf(stderr, "%s: neither compressed nor UTF-16\n", path.c_str());
    close(fd);
    return;
  }
  const std::string name = std::string(CompressedFormatName(format)) + "(" +
                           path.substr(path.find_last_of('/') + 1) + ")";
  std::vector<double> passes, tools, pages;
  std::unique_ptr<CompressedSource> kept;
  uint64_t lines = 0;
  for (int rep = 0; rep < reps; ++rep) {
    // Interleaved: the tool, then the pass, so that both see the same load.
    tools.push_back(TimeCommand(ToolCommand(format, path)));
    std::unique_ptr<CompressedSource> source = CompressedSource::Open(fd, format);
    lines = 0;
    passes.push_back(Time([&] {
      source->Pass([&](const char* data, size_t length) {
        for (const char* p = data;
             (p = static_cast<const char*>(std::memchr(p, '\n', data + length - p))); ++p)
          ++lines;
        return true;
      });
    }));
    kept = std::move(source);
  }
  std::mt19937_64 rng(1);
  std::vector<char> page(16384);
  double slowest = 0;
  for (int i = 0; i < 30; ++i) {
    const uint64_t at = rng() % kept->Size();
    const double t = Time([&] { kept->ReadAt(at, page.data(), page.size()); });
    pages.push_back(t);
    slowest = std::max(slowest, t);
  }
  const double size = static_cast<double>(kept->Size());
  std::printf("compressed/%s/index/cat %.2f\n", name.c_str(), Median(passes) / Median(tools));
  std::printf("compressed/%s/page/50ms %.2f\n", name.c_str(), Median(pages) / 0.050);
  std::printf("compressed/%s/points/1%% %.2f\n", name.c_str(),
              kept->AccessPointBytes() / (size / 100));
  std::printf(
      "# %s: pass %.2f s, %s %.2f s, %llu lines, %.0f MiB unpacked; page %.1f ms "
      "median, "
      "%.1f ms slowest; %llu access points, %.2f MiB%s%s\n",
      name.c_str(), Median(passes), IsUtf16(format) ? "wc -l" : Decompressor(format), Median(tools),
      static_cast<unsigned long long>(lines), size / 1048576, Median(pages) * 1000, slowest * 1000,
      static_cast<unsigned long long>(kept->AccessPointCount()),
      kept->AccessPointBytes() / 1048576.0, kept->Note().empty() ? "" : "; ", kept->Note().c_str());
  std::fflush(stdout);
  kept.reset();
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> files;
  int reps = 3;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--compare") == 0 && i + 1 < argc) {
      reps = std::atoi(argv[++i]);
    } else {
      files.push_back(argv[i]);
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "usage: bench_compressed FILE... [--compare REPS]\n");
    return 2;
  }
  for (const std::string& file : files) Compare(file, reps < 1 ? 1 : reps);
  return 0;
}
