// The file layer: one owner for a stdio file, files opened by UTF-8 path on
// every platform (wide APIs on Windows, so that any file name works there as
// on Linux), 64-bit seeks, whole-file and range reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "common/error.h"

namespace common {

// Owns a FILE*: closed when it goes, unless close() already did.
class File {
 public:
  File() = default;
  explicit File(std::FILE* file) : file_(file) {}
  File(File&& other) noexcept : file_(other.release()) {}
  File& operator=(File&& other) noexcept {
    reset(other.release());
    return *this;
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() { reset(); }

  std::FILE* get() const { return file_; }
  explicit operator bool() const { return file_ != nullptr; }
  std::FILE* release() {
    std::FILE* f = file_;
    file_ = nullptr;
    return f;
  }
  void reset(std::FILE* file = nullptr);
  // Flushes and closes; false when written data may be lost.
  bool close();

 private:
  std::FILE* file_ = nullptr;
};

// Null on failure, with errno set.
File open_file(const std::string& path, const char* mode);

// 64-bit seek and size on any stdio file, whose long offsets stop at 2 GiB
// in pack.exe. The size leaves the file at its end; -1 when unknown.
bool file_seek(std::FILE* f, int64_t offset);
int64_t file_size(std::FILE* f);
inline bool file_seek(const File& f, int64_t offset) { return file_seek(f.get(), offset); }
inline int64_t file_size(const File& f) { return file_size(f.get()); }

// Exactly n bytes at offset into out; false when they can't all be read.
bool read_range(std::FILE* f, int64_t offset, size_t n, std::string* out);

// Reads a whole file into out (std::string or std::vector<uint8_t>).
template <typename Bytes>
bool read_whole_file(const std::string& path, Bytes* out, Error* error);

}  // namespace common
