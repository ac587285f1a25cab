#include "cli/console.h"

#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#endif

namespace cli {

#ifdef _WIN32
namespace {

bool is_console(DWORD which) {
  DWORD mode;
  return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

UINT g_output_cp = 0;

void restore_cp() {
  if (g_output_cp) SetConsoleOutputCP(g_output_cp);
}

}  // namespace

bool console_is_own() {
  if (!is_console(STD_INPUT_HANDLE) || !is_console(STD_OUTPUT_HANDLE) || !is_console(STD_ERROR_HANDLE))
    return false;
  DWORD ids[2];
  return GetConsoleProcessList(ids, 2) == 1;
}

void wait_if_own_console() {
  if (!console_is_own()) return;
  std::fflush(stdout);
  std::fputs("\nPress any key to close this window.", stderr);
  std::fflush(stderr);
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  FlushConsoleInputBuffer(in);
  SetConsoleMode(in, 0);  // one key, no Enter needed
  INPUT_RECORD record;
  DWORD n;
  while (ReadConsoleInputW(in, &record, 1, &n) && n == 1)
    if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) break;
}

void use_utf8_console() {
  if (!is_console(STD_OUTPUT_HANDLE) && !is_console(STD_ERROR_HANDLE)) return;
  UINT cp = GetConsoleOutputCP();
  if (cp == CP_UTF8 || !SetConsoleOutputCP(CP_UTF8)) return;
  g_output_cp = cp;
  std::atexit(restore_cp);
}
#else
bool console_is_own() { return false; }
void wait_if_own_console() {}
void use_utf8_console() {}
#endif

}  // namespace cli
