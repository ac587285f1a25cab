// Ctrl-C while fetching: the run notices, stops its transfers and leaves a
// WARC of whole records that a rerun goes on from.
#pragma once

namespace fetch {

// From construction to destruction, Ctrl-C (SIGINT or SIGTERM on Linux;
// Ctrl-C or Ctrl-Break on a Windows console) sets the flag instead of
// ending the process.
class InterruptWatch {
 public:
  InterruptWatch();
  ~InterruptWatch();
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;
};

bool interrupted();

}  // namespace fetch
