// The main thread's message loop.
#pragma once

#include <windows.h>

// Runs until WM_QUIT or a GetMessage error. A structured exception raised
// while one message is translated or dispatched abandons that message only.
void run_message_loop();

// Translates and dispatches one message under the guard; false when the
// handling was abandoned because of an exception. References held
// inside it and never given back are released after it.
bool dispatch_guarded(const MSG* msg);
