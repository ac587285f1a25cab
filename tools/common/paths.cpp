#include "common/paths.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include "common/utf.h"

namespace common {

#ifdef _WIN32
bool file_id(const std::string& path, FileId* id) {
  HANDLE h = CreateFileW(widen(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  BOOL ok = GetFileInformationByHandle(h, &info);
  CloseHandle(h);
  if (!ok) return false;
  id->device = info.dwVolumeSerialNumber;
  id->index = uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  return true;
}

PathKind path_kind(const std::string& path) {
  DWORD a = GetFileAttributesW(widen(path.empty() ? "." : path).c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return PathKind::missing;
  return (a & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::folder : PathKind::file;
}
#else
bool file_id(const std::string& path, FileId* id) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  id->device = uint64_t(st.st_dev);
  id->index = uint64_t(st.st_ino);
  return true;
}

PathKind path_kind(const std::string& path) {
  struct stat st;
  if (stat(path.empty() ? "." : path.c_str(), &st) != 0) return PathKind::missing;
  if (S_ISDIR(st.st_mode)) return PathKind::folder;
  return S_ISREG(st.st_mode) ? PathKind::file : PathKind::other;
}
#endif

std::string folder_of(const std::string& path) {
#ifdef _WIN32
  size_t slash = path.find_last_of("/\\");
  if (slash == std::string::npos && path.size() > 1 && path[1] == ':') return path.substr(0, 2);
#else
  size_t slash = path.rfind('/');
#endif
  if (slash == std::string::npos) return "";
  return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

}  // namespace common
