// What a path names, and which file it is.
#pragma once

#include <cstdint>
#include <filesystem>
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

// A UTF-8 path for std::filesystem, whose narrow strings are in the ANSI
// code page on Windows (there in the \\?\ form when long), and back.
std::filesystem::path fs_path(const std::string& utf8);
std::string utf8_path(const std::filesystem::path& path);

#ifdef _WIN32
// A path for the wide file calls: past MAX_PATH they need the \\?\ form,
// which takes only a full path with backslashes.
std::wstring wide_path(const std::string& utf8);
#endif

}  // namespace common
