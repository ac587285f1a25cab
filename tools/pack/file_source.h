// A package source over a file on disk, for the packer's commands.
#pragma once

#include <cstdio>
#include <cstdint>
#include <string>
#include <vector>

#include "package/package_source.h"

// 64-bit seek and size on any stdio file, whose long offsets stop at 2 GiB
// in pack.exe. The size leaves the file at its end.
bool file_seek(std::FILE* f, int64_t offset);
int64_t file_size(std::FILE* f);

class FileSource {
 public:
  FileSource() = default;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  ~FileSource();

  // False with a message when the file cannot be opened.
  bool open(const std::string& path, std::string* error);
  PackageSource source();
  int64_t size() const { return size_; }

 private:
  static int32_t read_at(void* context, int64_t offset, void* buf, int32_t len);

  std::FILE* file_ = nullptr;
  int64_t size_ = 0;
};

// Reads a whole file into out (std::string or std::vector<uint8_t>); false
// with "PATH: reason" in error.
template <typename Bytes>
bool read_whole_file(const std::string& path, Bytes* out, std::string* error);

// Loads the package appended to the executable at path into the player
// state. False with a message when the file can't be read or has no valid
// package: "PATH: the player refuses this package: why".
bool load_player_exe(const std::string& path, std::string* error);

// The entry count a loaded page package declares in its header (the player
// serves fewer when the file ends early); -1 when unknown.
int32_t declared_entry_count(const std::string& path);
