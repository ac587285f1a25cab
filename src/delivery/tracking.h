// Counts of live delivery objects and the failure switches tests set.
#pragma once

#include "delivery/delivery_testing.h"

namespace delivery_detail {

extern delivery_testing::LiveCounts g_live;
extern bool g_fail_chunk_buffers;
extern bool g_fail_file_reads;

}  // namespace delivery_detail
