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

// While set, chunk buffers cannot be allocated / file reads fail.
void fail_chunk_buffers(bool fail);
void fail_file_reads(bool fail);

}  // namespace delivery_testing
