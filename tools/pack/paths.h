// Files by UTF-8 path on every platform: the Windows build goes through the
// wide APIs so that any file name works there as it does on Linux.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

namespace pack {

std::FILE* open_file(const std::string& path, const char* mode);

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

// Written beside the final file and renamed onto it at the end, so that a
// failure or an interrupt never leaves a partial or damaged output.
class AtomicOutput {
 public:
  AtomicOutput() = default;
  AtomicOutput(const AtomicOutput&) = delete;
  AtomicOutput& operator=(const AtomicOutput&) = delete;
  ~AtomicOutput();  // removes the temporary file unless committed

  bool open(const std::string& path, std::string* error);
  std::FILE* file() const { return file_; }
  // Closes, marks executable and renames onto the target.
  bool commit(std::string* error);

 private:
  std::string path_, temp_;
  std::FILE* file_ = nullptr;
};

// A UTF-8 path for std::filesystem, whose narrow strings are in the ANSI
// code page on Windows (there in the \\?\ form when long), and back.
std::filesystem::path fs_path(const std::string& utf8);
std::string utf8_path(const std::filesystem::path& path);

#ifdef _WIN32
std::wstring widen(const std::string& utf8);
// A path for the wide file calls: past MAX_PATH they need the \\?\ form,
// which takes only a full path with backslashes.
std::wstring wide_path(const std::string& utf8);
std::string narrow(const wchar_t* wide);
#endif

}  // namespace pack
