// A call that a structured exception abandons without ending the thread.
#pragma once

namespace base::win {

// Runs fn(arg). An exception that nothing inside takes abandons the call
// only; either way, what its frames left in the held-reference table is
// given back. False when the call was abandoned.
bool call_guarded(void (*fn)(void*), void* arg);

}  // namespace base::win
