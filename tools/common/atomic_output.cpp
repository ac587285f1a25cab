#include "common/atomic_output.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "common/paths.h"
#include "common/utf.h"

namespace common {
namespace {

enum TempResult { kMade, kTaken, kFailed };

// The temporary output of this process, removed on an interrupt. Only one
// output is written at a time.
#ifdef _WIN32
wchar_t g_temp[32768];

BOOL WINAPI on_console_event(DWORD) {
  // Opened with delete sharing, so the file goes when the process ends.
  if (g_temp[0]) DeleteFileW(g_temp);
  return FALSE;
}

unsigned long process_id() { return GetCurrentProcessId(); }
void remove_file(const std::string& path) { DeleteFileW(wide_path(path).c_str()); }
#else
char g_temp[4096];

void on_signal(int sig) {
  if (g_temp[0]) unlink(g_temp);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

long process_id() { return long(getpid()); }
void remove_file(const std::string& path) { unlink(path.c_str()); }
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

Error unwritable(const std::string& path, const std::string& why) {
  return plain("cannot write " + path + ": " + why);
}

// Creates temp, beside path, exclusively with the given permissions (as
// the umask allows), and names it for the interrupt handlers. On failure
// *error says what the system said.
#ifdef _WIN32
// CreateFileW leaves errno alone: its reason is only in GetLastError.
std::string system_message(DWORD code) {
  wchar_t text[512];
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                           text, sizeof text / sizeof text[0], nullptr);
  while (n && (text[n - 1] == L'\r' || text[n - 1] == L'\n' || text[n - 1] == L' ')) --n;
  if (!n) return "system error " + std::to_string(code);
  text[n] = 0;
  return narrow(text);
}

TempResult create_temp(const std::string& path, const std::string& temp, File* file, int, Error* error) {
  std::wstring wide = wide_path(temp);
  if (wide.size() >= sizeof g_temp / sizeof g_temp[0]) {
    *error = unwritable(path, "the path is too long");
    return kFailed;
  }
  wcscpy(g_temp, wide.c_str());
  HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    g_temp[0] = 0;
    if (code == ERROR_FILE_EXISTS) return kTaken;
    *error = unwritable(path, system_message(code));
    return kFailed;
  }
  int fd = _open_osfhandle(intptr_t(h), _O_WRONLY | _O_BINARY);
  file->reset(fd < 0 ? nullptr : _fdopen(fd, "wb"));
  if (*file) return kMade;
  *error = unwritable(path, std::strerror(errno));
  if (fd >= 0) _close(fd); else CloseHandle(h);
  DeleteFileW(wide.c_str());
  g_temp[0] = 0;
  return kFailed;
}
#else
TempResult create_temp(const std::string& path, const std::string& temp, File* file, int permissions,
                       Error* error) {
  if (temp.size() >= sizeof g_temp) {
    *error = unwritable(path, "the path is too long");
    return kFailed;
  }
  std::strcpy(g_temp, temp.c_str());
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, permissions);
  if (fd < 0) {
    g_temp[0] = 0;
    if (errno == EEXIST) return kTaken;
    *error = unwritable(path, std::strerror(errno));
    return kFailed;
  }
  file->reset(fdopen(fd, "wb"));
  if (*file) return kMade;
  *error = unwritable(path, std::strerror(errno));
  ::close(fd);
  unlink(temp.c_str());
  g_temp[0] = 0;
  return kFailed;
}
#endif

}  // namespace

AtomicOutput::~AtomicOutput() {
  file_.reset();
  if (!temp_.empty()) {
    remove_file(temp_);
    g_temp[0] = 0;
  }
}

bool AtomicOutput::open(const std::string& path, Error* error, Mode mode) {
  path_ = path;
  std::string folder = folder_of(path);
  if (path_kind(folder) != PathKind::folder) {
    *error = unwritable(path, "folder " + folder + " does not exist");
    return false;
  }
  if (path_kind(path) == PathKind::folder) {
    *error = unwritable(path, "it is a folder");
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
  *error = unwritable(path, "no free temporary name");
  for (int attempt = 0; attempt < 100 && !file_; ++attempt) {
    std::string temp = prefix + "." + name + "." + std::to_string(process_id()) + "-" +
                       std::to_string(attempt) + ".part";
    TempResult made = create_temp(path, temp, &file_, mode == kExecutable ? 0777 : 0666, error);
    if (made == kFailed) break;
    if (made == kMade) temp_ = temp;
  }
  if (!file_) return false;
  return true;
}

bool AtomicOutput::commit(Error* error) {
  if (!file_.close()) {
    *error = unwritable(path_, std::strerror(errno));
    return false;
  }
#ifdef _WIN32
  if (!MoveFileExW(wide_path(temp_).c_str(), wide_path(path_).c_str(), MOVEFILE_REPLACE_EXISTING)) {
    *error = unwritable(path_, "the finished file could not replace it");
    return false;
  }
#else
  if (rename(temp_.c_str(), path_.c_str()) != 0) {
    *error = unwritable(path_, std::strerror(errno));
    return false;
  }
#endif
  temp_.clear();
  g_temp[0] = 0;
  return true;
}

}  // namespace common
