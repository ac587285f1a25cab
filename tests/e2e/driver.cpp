// player-driver: runs a player exe and drives it like a user, printing what
// it sees. Invoked by run-player, which prepares the prefix and the display.
//
//   player-driver [setup options] EXE [steps]
//
// Setup options: --standin DLL, --register both|paper|none|broken|keep,
// --win98, --keep-settings, --setting NAME=VALUE, --timeout SECONDS, --args TEXT.
// Steps: start, wait, menu:ID, close, resize:WxH, maximize, minimize,
// capture:FILE, fault, sleep:MS, until:PATTERN, waitfile:FILE, readspeed:FILE, end. Without
// steps: start, wait, end. The player's debug output (OutputDebugString) is
// printed as "debug: TEXT" lines before each run's exit code.
//
// Arguments are read as wide text and kept as UTF-8, so any file name works.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "png.h"

namespace {

const char CLSID_TEXT[] = "{D27CDB6E-AE6D-11CF-96B8-444553540000}";
const char PAPER_PROGID[] = "MacromediaFlashPaper.MacromediaFlashPaper";
const char FLASH_PROGID[] = "ShockwaveFlash.ShockwaveFlash";
const char SETTINGS_KEY[] = "SOFTWARE\\Calventra\\Tessivo\\SWFPlay";
const UINT STAGE_FAULT = WM_USER + 0x177;
const UINT STAGE_MENU_STATES = WM_USER + 0x178;

DWORD g_timeout_ms = 20000;
std::wstring g_arguments;  // given to the player after its name
PROCESS_INFORMATION g_process;
DWORD g_started;
// Where this run's part of the stand-in's log starts.
unsigned long long g_log_start;
HWND g_window;
int g_run;

// Listens as a debug-output viewer does: the DBWIN_BUFFER section and its
// two events, which OutputDebugString fills when no debugger is attached.
class DebugListener {
 public:
  void start() {
    InitializeCriticalSection(&lock_);
    ready_ = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY");
    data_ = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY");
    section_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                  L"DBWIN_BUFFER");
    view_ = section_ ? static_cast<const char*>(MapViewOfFile(section_, FILE_MAP_READ, 0, 0, 4096))
                     : nullptr;
    if (ready_ && data_ && view_) CreateThread(nullptr, 0, run, this, 0, nullptr);
  }
  // The lines of process pid, once any still in the buffer have been read:
  // a writer takes the buffer-ready event, which the listener sets again only
  // when it has stored the text, so ready set means nothing is in flight.
  std::vector<std::string> take(DWORD pid) {
    if (ready_ && WaitForSingleObject(ready_, 5000) == WAIT_OBJECT_0) SetEvent(ready_);
    EnterCriticalSection(&lock_);
    std::vector<std::string> mine, rest;
    for (auto& l : lines_) (l.first == pid ? mine : rest).push_back(l.second);
    lines_.clear();
    LeaveCriticalSection(&lock_);
    return mine;
  }

 private:
  static DWORD WINAPI run(void* param) {
    auto* self = static_cast<DebugListener*>(param);
    for (;;) {
      SetEvent(self->ready_);
      if (WaitForSingleObject(self->data_, INFINITE) != WAIT_OBJECT_0) return 0;
      DWORD pid;
      std::memcpy(&pid, self->view_, 4);
      // The text arrives in the ANSI code page.
      std::string text(self->view_ + 4, strnlen(self->view_ + 4, 4092));
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
      int n = MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), nullptr, 0);
      std::wstring w(size_t(n), L'\0');
      if (n > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), &w[0], n);
      int m = WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), nullptr, 0, nullptr, nullptr);
      std::string u(size_t(m), '\0');
      if (m > 0) WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), &u[0], m, nullptr, nullptr);
      EnterCriticalSection(&self->lock_);
      self->lines_.emplace_back(pid, u);
      LeaveCriticalSection(&self->lock_);
    }
  }

  CRITICAL_SECTION lock_;
  HANDLE ready_ = nullptr, data_ = nullptr, section_ = nullptr;
  const char* view_ = nullptr;
  std::vector<std::pair<DWORD, std::string>> lines_;
};
DebugListener g_debug;

void out(const char* format, ...) __attribute__((format(printf, 1, 2)));
void out(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

std::string utf8(const wchar_t* s) {
  int n = WideCharToMultiByte(CP_UTF8, 0, s, -1, nullptr, 0, nullptr, nullptr);
  std::string r(n > 0 ? n - 1 : 0, '\0');
  if (n > 1) WideCharToMultiByte(CP_UTF8, 0, s, -1, &r[0], n, nullptr, nullptr);
  return r;
}

std::wstring wide(const char* s) {
  int n = MultiByteToWideChar(CP_UTF8, 0, s, -1, nullptr, 0);
  std::wstring r(n > 0 ? n - 1 : 0, L'\0');
  if (n > 1) MultiByteToWideChar(CP_UTF8, 0, s, -1, &r[0], n);
  return r;
}

void set_string(HKEY root, const std::string& path, const char* name, const std::string& value) {
  HKEY key;
  if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr))
    return;
  RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 DWORD(value.size() + 1));
  RegCloseKey(key);
}

void delete_tree(HKEY root, const std::string& path) { RegDeleteTreeA(root, path.c_str()); }

void register_standin(const std::string& variant, const std::string& dll) {
  const std::string classes = "Software\\Classes\\";
  const std::string clsid = classes + "CLSID\\" + CLSID_TEXT;
  delete_tree(HKEY_LOCAL_MACHINE, classes + PAPER_PROGID);
  delete_tree(HKEY_LOCAL_MACHINE, classes + FLASH_PROGID);
  delete_tree(HKEY_LOCAL_MACHINE, clsid);
  if (variant == "none") return;
  set_string(HKEY_LOCAL_MACHINE, classes + PAPER_PROGID + "\\CLSID", nullptr, CLSID_TEXT);
  if (variant == "broken") return;  // a ProgID whose class is not there
  if (variant == "both")
    set_string(HKEY_LOCAL_MACHINE, classes + FLASH_PROGID + "\\CLSID", nullptr, CLSID_TEXT);
  set_string(HKEY_LOCAL_MACHINE, clsid + "\\InprocServer32", nullptr, dll);
  set_string(HKEY_LOCAL_MACHINE, clsid + "\\InprocServer32", "ThreadingModel", "Apartment");
}

std::string base_name(const std::string& path) {
  size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Wine finds the key by the exe's wide name, which the ANSI calls may not hold.
void set_win98(const std::string& exe, bool on) {
  std::wstring key = L"Software\\Wine\\AppDefaults\\" + wide(base_name(exe).c_str());
  if (!on) {
    RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
    return;
  }
  HKEY k;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &k,
                      nullptr))
    return;
  static const wchar_t version[] = L"win98";
  RegSetValueExW(k, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version), sizeof version);
  RegCloseKey(k);
}

void write_setting(const std::string& assignment) {
  size_t eq = assignment.find('=');
  if (eq == std::string::npos) return;
  HKEY key;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, SETTINGS_KEY, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                      nullptr))
    return;
  DWORD value = DWORD(std::strtol(assignment.c_str() + eq + 1, nullptr, 0));
  RegSetValueExA(key, assignment.substr(0, eq).c_str(), 0, REG_DWORD,
                 reinterpret_cast<const BYTE*>(&value), sizeof value);
  RegCloseKey(key);
}

void print_settings() {
  out("settings:");
  HKEY key;
  bool open = RegOpenKeyExA(HKEY_CURRENT_USER, SETTINGS_KEY, 0, KEY_READ, &key) == 0;
  for (const char* name : {"x", "y", "m", "svol"}) {
    DWORD value = 0, size = sizeof value;
    if (open && RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value),
                                 &size) == 0)
      out(" %s=%ld", name, long(value));
    else
      out(" %s=-", name);
  }
  if (open) RegCloseKey(key);
  out("\n");
}

struct Found {
  DWORD pid;
  HWND main, dialog;
};

BOOL CALLBACK find_windows(HWND window, LPARAM param) {
  auto* found = reinterpret_cast<Found*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid != found->pid || !IsWindowVisible(window)) return TRUE;
  wchar_t cls[64];
  GetClassNameW(window, cls, 64);
  if (!std::wcscmp(cls, L"#32770")) {
    if (!found->dialog) found->dialog = window;
  } else if (!found->main) {
    found->main = window;
  }
  return TRUE;
}

BOOL CALLBACK collect_text(HWND child, LPARAM param) {
  wchar_t cls[32];
  GetClassNameW(child, cls, 32);
  if (!_wcsicmp(cls, L"Static")) {
    wchar_t text[1024];
    if (GetWindowTextW(child, text, 1024) > 0) *reinterpret_cast<std::wstring*>(param) += text;
  }
  return TRUE;
}

// Reads the box once its text is there, answers OK and waits until it has gone.
void answer_dialog(HWND dialog) {
  DWORD start = GetTickCount();
  wchar_t caption[256] = {};
  std::wstring text;
  do {
    DWORD_PTR ignored;
    SendMessageTimeoutW(dialog, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &ignored);
    GetWindowTextW(dialog, caption, 256);
    text.clear();
    EnumChildWindows(dialog, collect_text, reinterpret_cast<LPARAM>(&text));
  } while (text.empty() && IsWindow(dialog) && GetTickCount() - start < g_timeout_ms);
  out("messagebox: caption=\"%s\" text=\"%s\"\n", utf8(caption).c_str(), utf8(text.c_str()).c_str());
  PostMessageW(dialog, WM_COMMAND, IDOK, 0);
  start = GetTickCount();
  while (IsWindow(dialog) && IsWindowVisible(dialog) && GetTickCount() - start < g_timeout_ms) {
    DWORD_PTR ignored;
    if (!SendMessageTimeoutW(dialog, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &ignored)) Sleep(10);
  }
}

bool process_alive() { return WaitForSingleObject(g_process.hProcess, 0) == WAIT_TIMEOUT; }

void print_debug_lines() {
  for (const std::string& line : g_debug.take(g_process.dwProcessId)) out("debug: %s\n", line.c_str());
}

void print_exit() {
  if (WaitForSingleObject(g_process.hProcess, g_timeout_ms) != WAIT_OBJECT_0) {
    out("exit: timeout\n");
    TerminateProcess(g_process.hProcess, 99);
    WaitForSingleObject(g_process.hProcess, 5000);
    print_debug_lines();
    return;
  }
  print_debug_lines();
  DWORD code = 0;
  GetExitCodeProcess(g_process.hProcess, &code);
  out("exit: %ld\n", long(code));
}

BOOL CALLBACK find_stage(HWND child, LPARAM param);

const char* state_name(bool present, bool checked, bool grayed) {
  if (!present) return "missing";
  if (checked) return "checked";
  if (grayed) return "grayed";
  return "plain";
}

// Another process's menu cannot be read everywhere (Wine keeps menus per
// process); the stand-in control, which lives in the player, reads it then.
std::string menu_states() {
  HMENU menu = GetMenu(g_window);
  bool readable = GetMenuState(menu, 40001, MF_BYCOMMAND) != UINT(-1);
  DWORD_PTR bits = 0;
  HWND stage = nullptr;
  if (!readable) {
    EnumChildWindows(g_window, find_stage, reinterpret_cast<LPARAM>(&stage));
    if (stage)
      SendMessageTimeoutW(stage, STAGE_MENU_STATES, 0, 0, SMTO_ABORTIFHUNG, 5000, &bits);
  }
  std::string text = "menu:";
  for (UINT i = 0; i < 4; ++i) {
    UINT id = 40001 + i;
    const char* name;
    if (readable) {
      UINT state = GetMenuState(menu, id, MF_BYCOMMAND);
      name = state_name(state != UINT(-1), state & MF_CHECKED, state & MF_GRAYED);
    } else {
      unsigned item = unsigned(bits >> (4 * i)) & 7;
      name = state_name(item & 1, item & 2, item & 4);
    }
    text += " " + std::to_string(id) + "=" + name;
  }
  return text + "\n";
}

std::string window_report() {
  wchar_t title[512] = {};
  GetWindowTextW(g_window, title, 512);
  RECT client = {}, frame = {};
  GetClientRect(g_window, &client);
  GetWindowRect(g_window, &frame);
  char text[256];
  std::snprintf(text, sizeof text, "client: %ldx%ld\nwindow: %ld,%ld,%ld,%ld\nmaximized: %d\n", client.right,
                client.bottom, frame.left, frame.top, frame.right, frame.bottom, IsZoomed(g_window) ? 1 : 0);
  return "title: " + utf8(title) + "\n" + text + menu_states();
}

// Waits until the player has done what it was asked and what that set off:
// its thread answers a sent message only between the messages it handles, so
// the window is settled once it has answered in turn with nothing left to
// paint and the same state each time.
std::string settle() {
  DWORD start = GetTickCount();
  std::string last, now;
  int same = 0;
  while (same < 2 && GetTickCount() - start < g_timeout_ms && process_alive()) {
    DWORD_PTR ignored;
    if (!SendMessageTimeoutW(g_window, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &ignored)) continue;
    now = GetUpdateRect(g_window, nullptr, FALSE) ? std::string() : window_report();
    same = !now.empty() && now == last ? same + 1 : 0;
    last.swap(now);
  }
  return last.empty() ? window_report() : last;
}

void report_window() { out("%s", settle().c_str()); }

// Waits until the main window shows, answering message boxes meanwhile.
void wait_window() {
  DWORD start = GetTickCount();
  g_window = nullptr;
  while (GetTickCount() - start < g_timeout_ms) {
    Found found = {g_process.dwProcessId, nullptr, nullptr};
    EnumWindows(find_windows, reinterpret_cast<LPARAM>(&found));
    if (found.dialog) {
      answer_dialog(found.dialog);
      continue;
    }
    if (found.main) {
      g_window = found.main;
      out("shown-after-ms: %lu\n", GetTickCount() - g_started);
      // Queued placement requests and the first paint.
      WaitForInputIdle(g_process.hProcess, g_timeout_ms);
      report_window();
      return;
    }
    if (!process_alive()) {
      out("window: none\n");
      return;
    }
    Sleep(50);
  }
  out("window: timeout\n");
}

std::wstring log_path() {
  wchar_t path[MAX_PATH];
  DWORD n = GetEnvironmentVariableW(L"TESSIVO_TEST_LOG", path, MAX_PATH);
  return n && n < MAX_PATH ? std::wstring(path) : std::wstring();
}

unsigned long long log_size() {
  WIN32_FILE_ATTRIBUTE_DATA data;
  std::wstring path = log_path();
  if (path.empty() || !GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Whether the line holds the pattern's '*'-separated parts in order.
bool line_matches(const std::string& line, const std::string& pattern) {
  size_t at = 0, part = 0;
  while (part <= pattern.size()) {
    size_t star = pattern.find('*', part);
    std::string piece = pattern.substr(part, star == std::string::npos ? std::string::npos
                                                                         : star - part);
    at = line.find(piece, at);
    if (at == std::string::npos) return false;
    at += piece.size();
    if (star == std::string::npos) break;
    part = star + 1;
  }
  return true;
}

bool log_has(const std::string& pattern) {
  std::wstring path = log_path();
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::string text;
  LARGE_INTEGER offset;
  offset.QuadPart = LONGLONG(g_log_start);
  SetFilePointerEx(file, offset, nullptr, FILE_BEGIN);
  char buffer[65536];
  DWORD got;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got) text.append(buffer, got);
  CloseHandle(file);
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) break;  // a line still being written
    if (line_matches(text.substr(start, end - start), pattern)) return true;
    start = end + 1;
  }
  return false;
}

// Waits until this run's log has a line matching the pattern, or the process
// ends, or the timeout passes; a synchronisation point, not a measurement.
void wait_for_log(const std::string& pattern) {
  DWORD start = GetTickCount();
  for (;;) {
    if (log_has(pattern)) {
      out("until: found %s\n", pattern.c_str());
      return;
    }
    if (!process_alive()) {
      out("until: exited %s\n", pattern.c_str());
      return;
    }
    if (GetTickCount() - start >= g_timeout_ms) {
      out("until: timeout %s\n", pattern.c_str());
      return;
    }
    Sleep(50);
  }
}

// Waits until a file exists: the test's signal that it is done with the
// running player (a browser talking to it, say).
void wait_for_file(const std::string& path) {
  DWORD start = GetTickCount();
  std::wstring w = wide(path.c_str());
  while (GetFileAttributesW(w.c_str()) == INVALID_FILE_ATTRIBUTES) {
    if (!process_alive() || GetTickCount() - start >= g_timeout_ms) {
      out("waitfile: %s\n", process_alive() ? "timeout" : "exited");
      return;
    }
    Sleep(50);
  }
  out("waitfile: found\n");
}

// Reads a file in 64 KiB pieces, as the player reads its package.
void read_speed(const std::string& path) {
  HANDLE file = CreateFileW(wide(path.c_str()).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_READONLY, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    out("readspeed: cannot open %s\n", path.c_str());
    return;
  }
  std::vector<char> buffer(0x10000);
  unsigned long long total = 0;
  LARGE_INTEGER frequency, begin, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&begin);
  DWORD got;
  while (ReadFile(file, buffer.data(), DWORD(buffer.size()), &got, nullptr) && got) total += got;
  QueryPerformanceCounter(&end);
  CloseHandle(file);
  double seconds = double(end.QuadPart - begin.QuadPart) / double(frequency.QuadPart);
  out("readspeed: %llu bytes %.3f ms\n", total, seconds * 1000.0);
}

void start(const std::wstring& exe) {
  ++g_run;
  out("run: %d\n", g_run);
  if (g_process.hProcess) {
    CloseHandle(g_process.hProcess);
    CloseHandle(g_process.hThread);
  }
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  std::wstring command = L"\"" + exe + L"\"" + (g_arguments.empty() ? L"" : L" " + g_arguments);
  g_log_start = log_size();
  g_started = GetTickCount();
  out("started-tick: %lu\n", g_started);
  if (!CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                      &g_process)) {
    out("start: failed %lu\n", GetLastError());
    std::exit(3);
  }
}

void end_run() {
  if (g_window && process_alive()) PostMessageW(g_window, WM_CLOSE, 0, 0);
  // A message box that comes up late still gets its OK.
  DWORD start = GetTickCount();
  while (process_alive() && GetTickCount() - start < g_timeout_ms) {
    Found found = {g_process.dwProcessId, nullptr, nullptr};
    EnumWindows(find_windows, reinterpret_cast<LPARAM>(&found));
    if (found.dialog) answer_dialog(found.dialog);
    Sleep(50);
  }
  print_exit();
  g_window = nullptr;
}

void set_client_size(int width, int height) {
  RECT r = {0, 0, width, height};
  AdjustWindowRectEx(&r, GetWindowLongW(g_window, GWL_STYLE), GetMenu(g_window) != nullptr,
                     GetWindowLongW(g_window, GWL_EXSTYLE));
  SetWindowPos(g_window, nullptr, 0, 0, r.right - r.left, r.bottom - r.top,
               SWP_NOMOVE | SWP_NOZORDER);
}

// The client area as RGB rows, read from the screen.
std::vector<unsigned char> grab_client(int* width, int* height) {
  RECT client;
  GetClientRect(g_window, &client);
  POINT origin = {0, 0};
  ClientToScreen(g_window, &origin);
  *width = client.right;
  *height = client.bottom;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = *width;
  info.bmiHeader.biHeight = -*height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, *width, *height, screen, origin.x, origin.y, SRCCOPY);
  GdiFlush();
  std::vector<unsigned char> rgb(size_t(*width) * *height * 3);
  auto* src = static_cast<const unsigned char*>(bits);
  for (size_t i = 0; bits && i < size_t(*width) * *height; ++i) {
    rgb[i * 3] = src[i * 4 + 2];
    rgb[i * 3 + 1] = src[i * 4 + 1];
    rgb[i * 3 + 2] = src[i * 4];
  }
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return rgb;
}

void capture(const std::string& path) {
  SetForegroundWindow(g_window);
  RedrawWindow(g_window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  // A busy machine may paint late: the picture is taken once the player has
  // painted and two grabs agree.
  settle();
  int width = 0, height = 0;
  std::vector<unsigned char> rgb = grab_client(&width, &height);
  for (int tries = 0; tries < 20; ++tries) {
    Sleep(250);
    int w = 0, h = 0;
    std::vector<unsigned char> again = grab_client(&w, &h);
    bool same = again == rgb && w == width && h == height;
    rgb.swap(again);
    width = w;
    height = h;
    if (same) break;
  }
  bool ok = write_png(wide(path.c_str()).c_str(), width, height, rgb.data());
  out("capture: %s %dx%d %s\n", path.c_str(), width, height, ok ? "ok" : "failed");
}

BOOL CALLBACK find_stage(HWND child, LPARAM param) {
  wchar_t cls[64];
  GetClassNameW(child, cls, 64);
  if (!std::wcscmp(cls, L"TessivoStandinStage")) {
    *reinterpret_cast<HWND*>(param) = child;
    return FALSE;
  }
  return TRUE;
}

void run_step(const std::string& step, const std::wstring& exe) {
  if (step == "start") return start(exe);
  if (step == "wait") return wait_window();
  if (step == "end") return end_run();
  if (step.rfind("sleep:", 0) == 0) return Sleep(DWORD(std::atoi(step.c_str() + 6)));
  if (step.rfind("readspeed:", 0) == 0) return read_speed(step.substr(10));
  if (step.rfind("until:", 0) == 0) return wait_for_log(step.substr(6));
  if (step.rfind("waitfile:", 0) == 0) return wait_for_file(step.substr(9));
  if (!g_window || !process_alive()) {
    out("step %s: no window\n", step.c_str());
    return;
  }
  if (step.rfind("menu:", 0) == 0) {
    PostMessageW(g_window, WM_COMMAND, WPARAM(std::atoi(step.c_str() + 5)), 0);
    std::string report = settle();
    if (process_alive()) out("%s", report.c_str());
  } else if (step == "close") {
    PostMessageW(g_window, WM_CLOSE, 0, 0);
  } else if (step.rfind("resize:", 0) == 0) {
    int w = 0, h = 0;
    std::sscanf(step.c_str() + 7, "%dx%d", &w, &h);
    set_client_size(w, h);
    report_window();
  } else if (step == "maximize" || step == "minimize") {
    ShowWindow(g_window, step == "maximize" ? SW_MAXIMIZE : SW_MINIMIZE);
    report_window();
  } else if (step.rfind("capture:", 0) == 0) {
    capture(step.substr(8));
  } else if (step == "fault") {
    HWND stage = nullptr;
    EnumChildWindows(g_window, find_stage, reinterpret_cast<LPARAM>(&stage));
    if (stage) PostMessageW(stage, STAGE_FAULT, 0, 0);
    std::string report = settle();
    out("fault: %s alive=%d\n", stage ? "posted" : "no-stage", process_alive() ? 1 : 0);
    if (process_alive()) out("%s", report.c_str());
  } else {
    out("step %s: unknown\n", step.c_str());
  }
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** wargv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!wargv) return 2;
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.push_back(utf8(wargv[i]));
  LocalFree(wargv);
  std::string variant = "keep", standin, exe;
  bool win98 = false, keep_settings = false;
  std::vector<std::string> settings, steps;
  for (int i = 1; i < argc; ++i) {
    std::string a = args[size_t(i)];
    auto next = [&]() -> std::string { return i + 1 < argc ? args[size_t(++i)] : ""; };
    if (exe.empty() && a == "--standin") standin = next();
    else if (exe.empty() && a == "--register") variant = next();
    else if (exe.empty() && a == "--win98") win98 = true;
    else if (exe.empty() && a == "--keep-settings") keep_settings = true;
    else if (exe.empty() && a == "--setting") settings.push_back(next());
    else if (exe.empty() && a == "--timeout") g_timeout_ms = DWORD(std::atoi(next().c_str())) * 1000;
    else if (exe.empty() && a == "--args") g_arguments = wide(next().c_str());
    else if (exe.empty()) exe = a;
    else steps.push_back(a);
  }
  if (exe.empty()) {
    std::fprintf(stderr, "usage: player-driver [setup options] EXE [steps]\n");
    return 2;
  }
  if (variant != "keep") register_standin(variant, standin);
  set_win98(exe, win98);
  if (!keep_settings) delete_tree(HKEY_CURRENT_USER, SETTINGS_KEY);
  for (const std::string& s : settings) write_setting(s);
  if (steps.empty()) steps = {"start", "wait", "end"};
  g_debug.start();

  std::wstring wexe = wide(exe.c_str());
  for (const std::string& step : steps) run_step(step, wexe);
  if (g_process.hProcess && process_alive()) end_run();
  print_settings();
  return 0;
}
