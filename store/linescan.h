// The index builder's inner loop: find the line feeds in a run of bytes and
// record the offset of the line that starts after each one.
#pragma once

#include <cstddef>
#include <cstdint>

// Records, for each line feed in [p, p + length), the file offset of the
// byte after it (base + position + 1) in out[0], out[1], ... Stops after room records (room > 0).
// Returns the records written; *consumed is the number of bytes examined: all of them, or up to and
// including the line feed of the last record when room ran out. Entries of out past the returned
// count, up to out[room - 1], may be overwritten with scratch values.
size_t RecordLineStarts(const char* p, size_t length, uint64_t base, uint64_t* out, size_t room,
                        size_t* consumed);

// The line feeds of a run of bytes, one bit a byte: bit i of words[k] is
// set when byte 64k + i of the run is a line feed. An eighth of the bytes
// scanned, where their starts take 8 bytes a line: a run of empty lines
// costs a bit a line, not 8 bytes.
//
// Or, where lines are long enough that their starts cost less than the
// bits and the pass to read them back (at 27 bytes a line, a third more
// time), the starts themselves as offsets from begin (a run shorter than
// 4 GiB): listed set, words unused. 4 bytes a line, and a group of them is
// coded as it lies, without being widened and narrowed again.
struct FeedBits {
  uint64_t begin = 0;  // file offset of the run's first byte
  const uint64_t* words = nullptr;
  size_t word_count = 0;
  size_t feeds = 0;                  // the bits set: the line starts of the run
  const uint32_t* listed = nullptr;  // or the starts less begin, feeds of them
  // The starts (the offset after each line feed) found from place *at of
  // the run on (0: its beginning; marked, a byte of the run, else a start's
  // number), at most room of them, into out; *at moves past the last one
  // written. Returns how many. Entries of out past those, up to
  // out[room - 1], may be overwritten with scratch values.
  size_t Starts(size_t* at, uint64_t* out, size_t room) const;
  // The same less begin, which must fit in 32 bits.
  size_t Offsets(size_t* at, uint32_t* out, size_t room) const;
  // The start after the run's last line feed (feeds > 0).
  uint64_t LastStart() const;
};

// Marks the line feeds of [p, p + length) in words[0, (length + 63) / 64),
// the bits past length clear; returns how many there are. Chosen at run time
// like RecordLineStarts; MarkLineFeedsBaseline is the one for any x86-64.
size_t MarkLineFeeds(const char* p, size_t length, uint64_t* words);
size_t MarkLineFeedsBaseline(const char* p, size_t length, uint64_t* words);

// RecordLineStarts for a run shorter than 4 GiB, each record the offset
// from p (position + 1): half the bytes to write and read back.
size_t RecordLineOffsets(const char* p, size_t length, uint32_t* out, size_t room,
                         size_t* consumed);
size_t RecordLineOffsetsBaseline(const char* p, size_t length, uint32_t* out, size_t room,
                                 size_t* consumed);

// The two implementations behind RecordLineStarts, for the tests: any x86-64 (SSE2), and
// AVX2 (chosen at run time where the processor has it; the second returns
// false without touching anything where it does not).
size_t RecordLineStartsBaseline(const char* p, size_t length, uint64_t base, uint64_t* out,
                                size_t room, size_t* consumed);
bool RecordLineStartsWide(const char* p, size_t length, uint64_t base, uint64_t* out, size_t room,
                          size_t* consumed, size_t* written);
