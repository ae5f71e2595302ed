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

// The two implementations behind it, for the tests: any x86-64 (SSE2), and
// AVX2 (chosen at run time where the processor has it; the second returns
// false without touching anything where it does not).
size_t RecordLineStartsBaseline(const char* p, size_t length, uint64_t base, uint64_t* out,
                                size_t room, size_t* consumed);
bool RecordLineStartsWide(const char* p, size_t length, uint64_t base, uint64_t* out, size_t room,
                          size_t* consumed, size_t* written);
