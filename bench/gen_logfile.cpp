// gen_logfile OUT SIZE_BYTES [SEED]
//
// Writes a deterministic, log-like text file of SIZE_BYTES bytes (the last
// line is cut to fit): lines of ~27 bytes with CR LF ends, TABs in about one
// line in five, Shift-JIS (CP932) double-byte text in about one line in ten,
// including characters whose trail byte is 0x5C or an ASCII letter.
//
// Two tokens are planted for the search benchmarks and occur nowhere else,
// in any letter case: "WARN" as the level of about 1 line in 100 and "ZQXJ"
// in about 1 line in 100,000. The random text avoids the letters W and Q in
// both cases (ASCII words and Shift-JIS trail bytes alike), so neither token
// can form by chance.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Random {
  uint64_t state;
  uint64_t Next() {  // splitmix64
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>((Next() >> 32) * n >> 32); }
};

// Neither list holds a w or a q in any case.
const char* const kLevels[] = {"INFO", "INFO", "INFO", "DEBUG", "TRACE", "INFO", "ERROR"};
const char* const kWords[] = {"open", "read",   "done",  "id=",  "ok",    "user", "sent",
                              "recv", "retry",  "cache", "miss", "hit",   "job",  "path",
                              "size", "closed", "mode",  "tx",   "state", "fd=",  "lock"};
constexpr char kLetters[] = "abcdefghijklmnoprstuvxyz0123456789";  // no w, no q

// A valid CP932 double-byte character: hiragana, katakana or a level-1
// kanji. Trail bytes 0x51, 0x57, 0x71 and 0x77 (Q, W, q, w) are skipped.
void PutShiftJis(std::string& out, Random& random) {
  static const unsigned char kFixed[][2] = {
      {0x83, 0x5C}, {0x95, 0x5C}, {0x94, 0x5C}, {0x97, 0x5C},  // trail byte is a backslash
      {0x83, 0x41}, {0x83, 0x4E}, {0x83, 0x52}, {0x83, 0x5A},  // trail byte is a letter
      {0x81, 0x40},                                            // ideographic space
  };
  uint32_t kind = random.Below(4);
  unsigned char lead = 0;
  unsigned char trail = 0;
  if (kind == 0) {
    const auto& fixed = kFixed[random.Below(sizeof kFixed / sizeof kFixed[0])];
    lead = fixed[0];
    trail = fixed[1];
  } else if (kind == 1) {
    lead = 0x82;  // hiragana 0x829F..0x82F1
    trail = static_cast<unsigned char>(0x9F + random.Below(0xF1 - 0x9F + 1));
  } else {
    lead = static_cast<unsigned char>(0x89 + random.Below(0x97 - 0x89 + 1));
    do {
      trail = static_cast<unsigned char>(0x40 + random.Below(0xFC - 0x40 + 1));
    } while (trail == 0x7F || trail == 0x51 || trail == 0x57 || trail == 0x71 || trail == 0x77);
  }
  out += static_cast<char>(lead);
  out += static_cast<char>(trail);
}

void PutTwoDigits(std::string& out, uint32_t value) {
  out += static_cast<char>('0' + value / 10 % 10);
  out += static_cast<char>('0' + value % 10);
}

void PutLine(std::string& out, Random& random, uint64_t number) {
  const uint32_t seconds = static_cast<uint32_t>(number / 40 % 86400);
  PutTwoDigits(out, seconds / 3600);
  out += ':';
  PutTwoDigits(out, seconds / 60 % 60);
  out += ':';
  PutTwoDigits(out, seconds % 60);
  const bool tab = random.Below(5) == 0;
  out += tab ? '\t' : ' ';
  if (random.Below(100) == 0) {
    out += "WARN";
  } else {
    out += kLevels[random.Below(sizeof kLevels / sizeof kLevels[0])];
  }
  out += ' ';
  out += kWords[random.Below(sizeof kWords / sizeof kWords[0])];
  const uint32_t letters = 2 + random.Below(9);
  for (uint32_t i = 0; i < letters; ++i) out += kLetters[random.Below(sizeof kLetters - 1)];
  if (random.Below(100000) == 0) out += " ZQXJ";
  if (random.Below(10) == 0) {
    out += tab ? '\t' : ' ';
    const uint32_t chars = 2 + random.Below(4);
    for (uint32_t i = 0; i < chars; ++i) PutShiftJis(out, random);
  }
  out += "\r\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s OUT SIZE_BYTES [SEED]\n", argv[0]);
    return 2;
  }
  const uint64_t size = std::strtoull(argv[2], nullptr, 10);
  Random random{argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1};
  std::FILE* file = std::fopen(argv[1], "wb");
  if (file == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  std::string buffer;
  buffer.reserve(1 << 21);
  uint64_t written = 0;
  uint64_t number = 0;
  while (written < size) {
    buffer.clear();
    while (buffer.size() < (1u << 20)) PutLine(buffer, random, number++);
    const size_t take = static_cast<size_t>(std::min<uint64_t>(buffer.size(), size - written));
    if (std::fwrite(buffer.data(), 1, take, file) != take) {
      std::perror(argv[1]);
      std::fclose(file);
      return 1;
    }
    written += take;
  }
  if (std::fclose(file) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
