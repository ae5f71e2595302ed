// Compressed files read in place: each format, made by the real tools from
// the same text, gives the same bytes as the plain file, through the pass and
// through random reads; truncated and damaged files end with what could be
// read and an error naming where reading stopped.
#include "store/compressed.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "support/testfiles.h"

namespace {

// Log-like lines, some Japanese, of varied length: about `bytes` long.
std::string MakeText(size_t bytes, uint32_t seed) {
  std::mt19937 rng(seed);
  static const char* const kWords[] = {"INFO",    "WARN",         "エラー", "接続",
                                       "request", "完了しました", "\t",     "id=42"};
  std::string text;
  for (uint64_t line = 0; text.size() < bytes; ++line) {
    text += "2024-01-02 03:04:" + std::to_string(line % 60) + " ";
    const int words = static_cast<int>(rng() % 24);
    for (int w = 0; w < words; ++w)
      text += std::string(kWords[rng() % 8]) + " " + std::to_string(rng() % 100000);
    text += line % 7 == 0 ? "\r\n" : "\n";
  }
  return text;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void Sh(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

struct Opened {
  int fd = -1;
  std::unique_ptr<CompressedSource> source;
  std::string passed;  // what the pass handed out
  CompressedPassResult result;
  ~Opened() {
    source.reset();
    if (fd >= 0) close(fd);
  }
};

// Opens and runs the pass to its end.
void OpenAndPass(const std::string& path, Opened* o) {
  o->fd = open(path.c_str(), O_RDONLY);
  ASSERT_GE(o->fd, 0);
  const CompressedFormat format = SniffCompressed(o->fd);
  ASSERT_NE(format, CompressedFormat::kNone) << path;
  o->source = CompressedSource::Open(o->fd, format);
  ASSERT_TRUE(o->source) << path;
  o->result = o->source->Pass([o](const char* data, size_t length) {
    o->passed.append(data, length);
    return true;
  });
}

// Random reads of random lengths, forwards and back, against the text.
void ExpectRandomReads(CompressedSource& source, const std::string& text, uint32_t seed) {
  std::mt19937_64 rng(seed);
  std::string buf;
  for (int i = 0; i < 40; ++i) {
    const uint64_t at = text.empty() ? 0 : rng() % text.size();
    const size_t length = 1 + rng() % (i % 8 == 0 ? (1u << 20) : 20000);
    buf.resize(std::max<size_t>(length, 4096));
    const int64_t n = source.ReadAt(at, buf.data(), length);
    const size_t want = std::min<size_t>(length, text.size() - at);
    ASSERT_EQ(n, static_cast<int64_t>(want)) << "at " << at;
    ASSERT_TRUE(buf.compare(0, want, text, at, want) == 0) << "at " << at << " length " << length;
    // A search walking forward: the next bytes straight after.
    if (i % 3 == 0 && at + want < text.size()) {
      const int64_t m = source.ReadAt(at + want, buf.data(), 4096);
      ASSERT_GT(m, 0);
      ASSERT_TRUE(buf.compare(0, static_cast<size_t>(m), text, at + want, static_cast<size_t>(m)) ==
                  0);
    }
  }
  EXPECT_EQ(source.ReadAt(text.size(), buf.data(), 10), 0);
}

class CompressedTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    text_ = new std::string(MakeText(9u << 20, 7));
    dir_->Write("plain.txt", *text_);
  }
  static void TearDownTestSuite() {
    delete dir_;
    delete text_;
  }
  static std::string P(const std::string& name) { return dir_->path() + "/" + name; }
  static TempDir* dir_;
  static std::string* text_;
};
TempDir* CompressedTest::dir_ = nullptr;
std::string* CompressedTest::text_ = nullptr;

TEST_F(CompressedTest, EveryFormatGivesThePlainBytes) {
  const std::string plain = P("plain.txt");
  const std::string part1 = "head -c 3000000 " + plain;
  const std::string part2 = "tail -c +3000001 " + plain + " | head -c 4000000";
  const std::string part3 = "tail -c +7000001 " + plain;
  struct Case {
    const char* name;
    std::string command;  // writes the compressed file to stdout
    CompressedFormat format;
    bool copied;  // no access points inside: read from a copy
  } cases[] = {
      {"gzip", "gzip -6 -c " + plain, CompressedFormat::kGzip, false},
      {"gzip members",
       "{ " + part1 + " | gzip -c; " + part2 + " | gzip -1 -c; " + part3 + " | gzip -9 -c; }",
       CompressedFormat::kGzip, false},
      {"bzip2", "bzip2 -1 -c " + plain, CompressedFormat::kBzip2, false},
      {"bzip2 streams",
       "{ " + part1 + " | bzip2 -c; " + part2 + " | bzip2 -2 -c; " + part3 + " | bzip2 -c; }",
       CompressedFormat::kBzip2, false},
      {"xz one block", "xz -0 -c " + plain, CompressedFormat::kXz, true},
      {"xz blocks", "xz -T2 -0 --block-size=1MiB -c " + plain, CompressedFormat::kXz, false},
      {"xz streams",
       "{ " + part1 + " | xz -0 -c; " + part2 + " | xz -0 -c; " + part3 + " | xz -0 -c; }",
       CompressedFormat::kXz, false},
      {"zstd one frame", "zstd -q -c " + plain, CompressedFormat::kZstd, true},
      {"zstd from a pipe", "cat " + plain + " | zstd -q -c", CompressedFormat::kZstd, true},
      {"zstd frames from pipes",
       "{ " + part1 + " | zstd -q -c; " + part2 + " | zstd -q -c; " + part3 + " | zstd -q -c; }",
       CompressedFormat::kZstd, false},
      {"zstd frames known sizes",
       "{ " + part1 + " > " + P("q1") + "; " + part2 + " > " + P("q2") + "; " + part3 + " > " +
           P("q3") + "; for f in q1 q2 q3; do zstd -q -c " + P("") + "$f; done; }",
       CompressedFormat::kZstd, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = P(std::string(c.name) + ".cmp");
    Sh(c.command + " > '" + path + "'");
    Opened o;
    OpenAndPass(path, &o);
    ASSERT_TRUE(o.source);
    EXPECT_EQ(SniffCompressed(o.fd), c.format);
    EXPECT_EQ(o.result.kind, CompressedPassResult::Kind::kComplete);
    EXPECT_TRUE(o.passed == *text_);
    EXPECT_EQ(o.source->Size(), text_->size());
    EXPECT_EQ(o.source->Spooled(), c.copied) << o.source->Note();
    EXPECT_EQ(o.source->Note().empty(), !c.copied);
    ExpectRandomReads(*o.source, *text_, 11);
  }
  // pzstd writes frames of its own behind skippable frames.
  if (std::system("command -v pzstd >/dev/null") == 0) {
    Sh("pzstd -q -p 2 -c " + plain + " > " + P("p.zst"));
    Opened o;
    OpenAndPass(P("p.zst"), &o);
    EXPECT_EQ(o.result.kind, CompressedPassResult::Kind::kComplete);
    EXPECT_TRUE(o.passed == *text_);
    EXPECT_FALSE(o.source->Spooled()) << o.source->Note();
    ExpectRandomReads(*o.source, *text_, 12);
  }
}

TEST_F(CompressedTest, CheckpointsStayBelowOnePercentOfTheText) {
  Sh("gzip -6 -c " + P("plain.txt") + " > " + P("m.gz"));
  Opened o;
  OpenAndPass(P("m.gz"), &o);
  EXPECT_GE(o.source->AccessPointCount(), 3u);
  EXPECT_LT(o.source->AccessPointBytes(), text_->size() / 100);
}

TEST_F(CompressedTest, OnlyTheFirstBytesDecideTheFormat) {
  const std::string real_gzip = P("real.gz");
  Sh("printf 'abc\\n' | gzip -c > " + real_gzip);
  struct Case {
    std::string bytes;
    CompressedFormat format;
  } cases[] = {
      {"plain text\n", CompressedFormat::kNone},
      {"BZh9 looks like bzip2 but is text\n", CompressedFormat::kNone},
      {std::string("\x50\x2A\x4D\x18\x02\x00\x00\x00zz", 10),
       CompressedFormat::kNone},  // a skippable frame alone
      {ReadAll(real_gzip), CompressedFormat::kGzip},
      {"", CompressedFormat::kNone},
  };
  for (const Case& c : cases) {
    const std::string path =
        dir_->Write("sniff.txt.gz", c.bytes);  // the name says gzip: it must not matter
    const int fd = open(path.c_str(), O_RDONLY);
    EXPECT_EQ(SniffCompressed(fd), c.format) << c.bytes;
    close(fd);
  }
}

// Cuts and bit flips of each format: the pass ends, what it handed out
// before a cut is the text's beginning, reads stay inside it, and a cut is
// reported at or before the cut.
TEST_F(CompressedTest, TruncatedAndDamagedFilesEndWithWhatCouldBeRead) {
  const std::string small = MakeText(1200000, 3);
  const std::string plain = dir_->Write("small.txt", small);
  const std::string half = "head -c 600000 " + plain + "; ";
  const std::string rest = "tail -c +600001 " + plain;
  const struct {
    const char* name;
    std::string command;
  } formats[] = {
      {"gzip", "{ " + half + " } | gzip -c; " + rest + " | gzip -c"},
      {"bzip2", "bzip2 -1 -c " + plain},
      {"xz", "xz -0 -T2 --block-size=200KiB -c " + plain},
      {"zstd", "{ " + half + " } | zstd -q -c; " + rest + " | zstd -q -c"},
  };
  std::mt19937 rng(5);
  for (const auto& f : formats) {
    SCOPED_TRACE(f.name);
    const std::string whole_path = P(std::string("whole.") + f.name);
    Sh("{ " + f.command + "; } > " + whole_path);
    const std::string whole = ReadAll(whole_path);
    for (int round = 0; round < 12; ++round) {
      std::string bytes = whole;
      const bool cut = round < 6;
      if (cut) {
        bytes.resize(10 + rng() % (bytes.size() - 10));
      } else {
        const size_t at = 10 + rng() % (bytes.size() - 10);
        bytes[at] = static_cast<char>(bytes[at] ^ (1 << (rng() % 8)));
      }
      SCOPED_TRACE((cut ? "cut at " : "flip at ") + std::to_string(bytes.size()));
      Opened o;
      OpenAndPass(dir_->Write("damaged", bytes), &o);
      ASSERT_TRUE(o.source);
      EXPECT_TRUE(o.source->Finished());
      EXPECT_LE(o.result.stopped_at, bytes.size());
      EXPECT_EQ(o.source->Size(), o.passed.size());
      if (cut) {
        EXPECT_NE(o.result.kind, CompressedPassResult::Kind::kComplete);
        EXPECT_TRUE(small.compare(0, o.passed.size(), o.passed) == 0);
        const std::string line = DescribeCompressedStop(o.source->format(), o.result);
        EXPECT_NE(line.find(std::to_string(o.result.stopped_at) + " バイト目"), std::string::npos)
            << line;
        ExpectRandomReads(*o.source, o.passed, 13);
      } else {
        std::string buf(1u << 16, '\0');
        for (uint64_t at = 0; at < o.source->Size(); at += 100000)
          o.source->ReadAt(at, buf.data(), buf.size());
      }
    }
  }
}

}  // namespace
