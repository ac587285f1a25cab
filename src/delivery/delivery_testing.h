// Test support: live object counts and injected failures.
#pragma once

#include <cstdint>

namespace delivery_testing {

struct LiveCounts {
  int monikers;
  int streams;
  int buffers;
  int files;
  int timers;
};
LiveCounts live_counts();

// Chunk reads by form: at an OVERLAPPED offset (NT) or after positioning
// the file (the 9x family).
struct ReadForms {
  int at_offset;
  int positioned;
};
ReadForms read_forms();

// While set, chunk buffers cannot be allocated / file reads fail.
void fail_chunk_buffers(bool fail);
void fail_file_reads(bool fail);

}  // namespace delivery_testing
