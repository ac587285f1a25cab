// A capture whose first movie is an FLV becomes a video player: the FLV with
// the video player movie and skin that the packer carries.
#pragma once

#include "import/capture.h"

namespace capture {

// True when the item's payload starts as an FLV does.
bool is_flv_item(const Item& item);

// Fills result's package (video mode) from the FLV item: the size from
// options, else from the FLV's metadata. Throws a Fault.
void make_video_result(const Item& flv, const Options& options, Result* result);

}  // namespace capture
