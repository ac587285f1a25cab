// A progress line on stderr for long work (bytes, entries, time left), as
// git and 7z show it; nothing at all when stderr is not a console.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace common {

// True when stderr is an interactive console (a terminal on Linux).
bool stderr_is_console();

class Progress {
 public:
  // total: the bytes the work will go through, 0 when not known.
  Progress(std::string what, uint64_t total);
  ~Progress();  // ends a line left open
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void set_total(uint64_t total) { total_ = total; }
  void update(uint64_t bytes, uint64_t entries);
  // The last line, with "done"; later updates are ignored.
  void finish();
  // Ends the line in progress so that a message can follow on its own line.
  void interrupt();

  // Forces the line on or off, whatever stderr is (tests, --json).
  void set_enabled(bool on) { enabled_ = on; }

 private:
  void draw(bool final);

  std::string what_;
  uint64_t total_, bytes_ = 0, entries_ = 0;
  bool enabled_, open_ = false, finished_ = false;
  size_t width_ = 0;
  std::chrono::steady_clock::time_point start_, last_;
};

// The bytes of a file, or of every file in a folder; 0 when unreadable.
uint64_t input_size(const std::string& path);

// "12.3 MiB", "512 bytes".
std::string human_bytes(uint64_t n);

}  // namespace common
