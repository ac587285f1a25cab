#include "paths.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace pack {
namespace {

// The temporary output of this process, removed on an interrupt. Only one
// output is written at a time.
#ifdef _WIN32
wchar_t g_temp[32768];

BOOL WINAPI on_console_event(DWORD) {
  // Opened with delete sharing, so the file goes when the process ends.
  if (g_temp[0]) DeleteFileW(g_temp);
  return FALSE;
}
#else
char g_temp[4096];

void on_signal(int sig) {
  if (g_temp[0]) unlink(g_temp);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}
#endif

void watch_interrupts() {
  static bool installed = false;
  if (installed) return;
  installed = true;
#ifdef _WIN32
  SetConsoleCtrlHandler(on_console_event, TRUE);
#else
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigaction(sig, &sa, nullptr);
  }
#endif
}

}  // namespace

#ifdef _WIN32
std::wstring widen(const std::string& utf8) {
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
  std::wstring w(size_t(n), L'\0');
  if (n) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), &w[0], n);
  return w;
}

std::string narrow(const wchar_t* wide) {
  int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return "";
  std::string s(size_t(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, &s[0], n, nullptr, nullptr);
  s.resize(size_t(n - 1));
  return s;
}

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

std::FILE* open_file(const std::string& path, const char* mode) {
  return _wfopen(wide_path(path).c_str(), widen(mode).c_str());
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

std::FILE* open_file(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

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

AtomicOutput::~AtomicOutput() {
  if (file_) std::fclose(file_);
  if (!temp_.empty()) {
#ifdef _WIN32
    DeleteFileW(wide_path(temp_).c_str());
#else
    unlink(temp_.c_str());
#endif
    g_temp[0] = 0;
  }
}

bool AtomicOutput::open(const std::string& path, std::string* error) {
  path_ = path;
  std::string folder = folder_of(path);
  if (path_kind(folder) != PathKind::folder) {
    *error = "cannot write " + path + ": folder " + folder + " does not exist";
    return false;
  }
  if (path_kind(path) == PathKind::folder) {
    *error = "cannot write " + path + ": it is a folder";
    return false;
  }
  watch_interrupts();
#ifdef _WIN32
  const size_t cut = path.find_last_of(":/\\");
#else
  const size_t cut = path.rfind('/');
#endif
  // The folder as written, so the temporary name sits beside the output.
  const std::string prefix = cut == std::string::npos ? "" : path.substr(0, cut + 1);
  const std::string name = path.substr(prefix.size());
  for (int attempt = 0; attempt < 100 && !file_; ++attempt) {
#ifdef _WIN32
    std::string temp = prefix + "." + name + "." + std::to_string(GetCurrentProcessId()) + "-" +
                       std::to_string(attempt) + ".part";
    std::wstring wide = wide_path(temp);
    if (wide.size() >= sizeof g_temp / sizeof g_temp[0]) break;
    wcscpy(g_temp, wide.c_str());
    HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      g_temp[0] = 0;
      if (GetLastError() == ERROR_FILE_EXISTS) continue;
      break;
    }
    int fd = _open_osfhandle(intptr_t(h), _O_WRONLY | _O_BINARY);
    file_ = fd < 0 ? nullptr : _fdopen(fd, "wb");
    if (!file_) {
      if (fd >= 0) _close(fd); else CloseHandle(h);
      DeleteFileW(wide.c_str());
      g_temp[0] = 0;
      break;
    }
#else
    std::string temp = prefix + "." + name + "." + std::to_string(getpid()) + "-" +
                       std::to_string(attempt) + ".part";
    if (temp.size() >= sizeof g_temp) break;
    std::strcpy(g_temp, temp.c_str());
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0777);  // executable, as the umask allows
    if (fd < 0) {
      g_temp[0] = 0;
      if (errno == EEXIST) continue;
      break;
    }
    file_ = fdopen(fd, "wb");
    if (!file_) {
      ::close(fd);
      unlink(temp.c_str());
      g_temp[0] = 0;
      break;
    }
#endif
    temp_ = temp;
  }
  if (!file_) {
    *error = "cannot write " + path + ": " + (errno ? std::strerror(errno) : "no temporary file");
    return false;
  }
  return true;
}

bool AtomicOutput::commit(std::string* error) {
  bool ok = std::fflush(file_) == 0 && !std::ferror(file_);
  ok = std::fclose(file_) == 0 && ok;
  file_ = nullptr;
  if (!ok) {
    *error = "cannot write " + path_ + ": " + std::strerror(errno);
    return false;
  }
#ifdef _WIN32
  if (!MoveFileExW(wide_path(temp_).c_str(), wide_path(path_).c_str(), MOVEFILE_REPLACE_EXISTING)) {
    *error = "cannot write " + path_ + ": the finished file could not replace it";
    return false;
  }
#else
  if (rename(temp_.c_str(), path_.c_str()) != 0) {
    *error = "cannot write " + path_ + ": " + std::strerror(errno);
    return false;
  }
#endif
  temp_.clear();
  g_temp[0] = 0;
  return true;
}

}  // namespace pack
