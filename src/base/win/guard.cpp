#include "base/win/guard.h"

#include <windows.h>
#include <setjmp.h>

#include "base/win/held_ref.h"

// GCC has no __try for 32-bit targets, so the guard is a handler frame of our
// own, linked into the thread's exception chain at fs:[0] around the call.
// Inner handlers (the system's, the control's) still see every exception
// first; only one that nobody inside took reaches this frame. The handler
// then longjmps back to the call site; the C library's longjmp unwinds every
// frame registered above ours, so their unwind handlers run first.

namespace base::win {

namespace {

struct GuardFrame {
  EXCEPTION_REGISTRATION_RECORD record;  // must come first: the chain points here
  jmp_buf resume;
};

EXCEPTION_REGISTRATION_RECORD* chain_head() {
  EXCEPTION_REGISTRATION_RECORD* head;
  __asm__ volatile("movl %%fs:0, %0" : "=r"(head));
  return head;
}

void set_chain_head(EXCEPTION_REGISTRATION_RECORD* head) {
  __asm__ volatile("movl %0, %%fs:0" : : "r"(head) : "memory");
}

EXCEPTION_DISPOSITION __cdecl guard_handler(EXCEPTION_RECORD* record, void* frame, CONTEXT*,
                                            void*) {
  if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
    return ExceptionContinueSearch;
  longjmp(static_cast<GuardFrame*>(frame)->resume, 1);
}

}  // namespace

bool call_guarded(void (*fn)(void*), void* arg) {
  const uint32_t holds = held_ref_depth();
  GuardFrame frame;
  frame.record.Next = chain_head();
  frame.record.Handler = reinterpret_cast<PEXCEPTION_ROUTINE>(&guard_handler);
  set_chain_head(&frame.record);
  volatile bool done = false;
  if (setjmp(frame.resume) == 0) {
    fn(arg);
    done = true;
  }
  // After a longjmp the unwind has left our frame at the head again.
  set_chain_head(frame.record.Next);
  // References still listed belong to frames that an exception left, whether
  // it reached our frame or a handler further in caught it.
  release_held_refs(holds);
  return done;
}

}  // namespace base::win
