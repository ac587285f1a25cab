#include "fetch/interrupt.h"

#ifdef _WIN32
#include <windows.h>
#else
#include "serve/chromium.h"
#endif

namespace fetch {

#ifdef _WIN32
namespace {

volatile LONG g_interrupted = 0;

// Runs on a thread of its own. Closing the console or logging off still
// ends the process.
BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  InterlockedExchange(&g_interrupted, 1);
  return TRUE;
}

}  // namespace

InterruptWatch::InterruptWatch() { SetConsoleCtrlHandler(on_console_event, TRUE); }
// Afterwards Ctrl-C ends the process again (and the output's own handler
// removes a player half written).
InterruptWatch::~InterruptWatch() { SetConsoleCtrlHandler(on_console_event, FALSE); }
bool interrupted() { return g_interrupted != 0; }
#else
// The browser's run stops on the same signals and flag.
InterruptWatch::InterruptWatch() { serve::catch_interrupts(); }
InterruptWatch::~InterruptWatch() = default;
bool interrupted() { return serve::interrupted(); }
#endif

}  // namespace fetch
