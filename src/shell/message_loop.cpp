#include "message_loop.h"

#include "base/win/guard.h"
#include "base/win/platform.h"

namespace {

void dispatch(void* msg) {
  const MSG* m = static_cast<const MSG*>(msg);
  TranslateMessage(m);
  if (is_nt_platform())
    DispatchMessageW(m);
  else
    DispatchMessageA(m);
}

}  // namespace

bool dispatch_guarded(const MSG* msg) {
  return base::win::call_guarded(dispatch, const_cast<MSG*>(msg));
}

void run_message_loop() {
  MSG msg;
  for (;;) {
    BOOL got = is_nt_platform() ? GetMessageW(&msg, nullptr, 0, 0) : GetMessageA(&msg, nullptr, 0, 0);
    if (got != 1) break;
    dispatch_guarded(&msg);
  }
}
