#include "common/paths.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include "common/utf.h"

namespace common {

#ifdef _WIN32
std::wstring wide_path(const std::string& utf8) {
  std::wstring w = widen(utf8);
  // CreateDirectory's limit, the lowest of the calls that take a path.
  if (w.size() < MAX_PATH - 12 || w.compare(0, 4, L"\\\\?\\") == 0 || w.compare(0, 4, L"\\\\.\\") == 0)
    return w;
  DWORD n = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
  if (n == 0) return w;
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(w.c_str(), n, &full[0], nullptr);
  full.resize(n);
  for (wchar_t& c : full)
    if (c == L'/') c = L'\\';
  if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

std::filesystem::path fs_path(const std::string& utf8) { return std::filesystem::path(wide_path(utf8)); }

std::string utf8_path(const std::filesystem::path& path) {
  std::string s = narrow(path.c_str());
  // Back to the form people write; wide_path adds the prefix again when needed.
  if (s.compare(0, 8, "\\\\?\\UNC\\") == 0) return "\\\\" + s.substr(8);
  if (s.compare(0, 4, "\\\\?\\") == 0) return s.substr(4);
  return s;
}

bool file_id(const std::string& path, FileId* id) {
  HANDLE h = CreateFileW(wide_path(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
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
  DWORD a = GetFileAttributesW(wide_path(path.empty() ? "." : path).c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return PathKind::missing;
  return (a & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::folder : PathKind::file;
}
#else
std::filesystem::path fs_path(const std::string& utf8) { return std::filesystem::path(utf8); }
std::string utf8_path(const std::filesystem::path& path) { return path.string(); }

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
