#include "common/progress.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "common/file.h"
#include "common/paths.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace common {

bool stderr_is_console() {
#ifdef _WIN32
  DWORD mode;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
#else
  return isatty(2) == 1;
#endif
}

uint64_t input_size(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (path_kind(path) != PathKind::folder) {
    File f = open_file(path, "rb");
    int64_t n = f ? file_size(f) : -1;
    return n < 0 ? 0 : uint64_t(n);
  }
  uint64_t n = 0;
  for (auto it = fs::recursive_directory_iterator(fs_path(path), ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
    if (it->is_regular_file(ec)) n += it->file_size(ec);
  return n;
}

std::string human_bytes(uint64_t n) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  if (n < 1024) return std::to_string(n) + (n == 1 ? " byte" : " bytes");
  double v = double(n) / 1024;
  int u = 0;
  while (v >= 1024 && u < 3) {
    v /= 1024;
    ++u;
  }
  char text[32];
  std::snprintf(text, sizeof text, v < 10 ? "%.2f %s" : v < 100 ? "%.1f %s" : "%.0f %s", v, kUnits[u]);
  return text;
}

Progress::Progress(std::string what, uint64_t total)
    : what_(std::move(what)), total_(total), enabled_(stderr_is_console()),
      start_(std::chrono::steady_clock::now()), last_(start_) {}

Progress::~Progress() { interrupt(); }

void Progress::update(uint64_t bytes, uint64_t entries) {
  if (finished_) return;
  bytes_ = bytes;
  entries_ = entries;
  if (!enabled_) return;
  // A console redraw costs far more than the work between two updates.
  auto now = std::chrono::steady_clock::now();
  if (open_ && now - last_ < std::chrono::milliseconds(100)) return;
  last_ = now;
  draw(false);
}

void Progress::finish() {
  if (finished_) return;
  finished_ = true;
  if (enabled_) draw(true);
}

void Progress::interrupt() {
  if (!open_) return;
  std::fputc('\n', stderr);
  std::fflush(stderr);
  open_ = false;
  width_ = 0;
}

void Progress::draw(bool final) {
  std::string line = what_ + ": ";
  const bool known = total_ > 0;
  // Headers and padding can take the work a little past its estimate.
  const uint64_t total = bytes_ > total_ ? bytes_ : total_;
  if (known) line += std::to_string(final ? 100 : int(bytes_ * 100 / total)) + "% (";
  line += human_bytes(bytes_);
  if (known && !final) line += " of " + human_bytes(total);
  if (known) line += ")";
  line += ", " + std::to_string(entries_) + (entries_ == 1 ? " entry" : " entries");
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  if (final) {
    line += ", done.";
  } else if (known && bytes_ > 0 && elapsed >= 1) {
    double left = elapsed * double(total - bytes_) / double(bytes_);
    line += ", about " + (left < 90 ? std::to_string(int(left + 0.5)) + " s"
                                    : std::to_string(int(left / 60 + 0.5)) + " min") + " left";
  }
  // Blanks wipe what a longer line before left on the screen.
  size_t shown = line.size();
  if (shown < width_) line.append(width_ - shown, ' ');
  width_ = shown;
  std::fprintf(stderr, "\r%s", line.c_str());
  if (final) {
    std::fputc('\n', stderr);
    open_ = false;
    width_ = 0;
  } else {
    open_ = true;
  }
  std::fflush(stderr);
}

}  // namespace common
