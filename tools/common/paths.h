// What a path names, and which file it is.
#pragma once

#include <cstdint>
#include <string>

namespace common {

// Device and inode (Windows: volume serial and file index) of an existing
// file; false when it cannot be opened.
struct FileId {
  uint64_t device = 0;
  uint64_t index = 0;
  bool operator==(const FileId& o) const { return device == o.device && index == o.index; }
};
bool file_id(const std::string& path, FileId* id);

enum class PathKind { missing, file, folder, other };
PathKind path_kind(const std::string& path);

// The folder part of a path ("" for the current folder).
std::string folder_of(const std::string& path);

}  // namespace common
