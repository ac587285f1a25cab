#include <windows.h>

#include <gtest/gtest.h>

#include "shell/message_loop.h"

namespace {

constexpr UINT MSG_FAULT = WM_USER + 1;
constexpr UINT MSG_RAISE = WM_USER + 2;
constexpr UINT MSG_COUNT = WM_USER + 3;
constexpr UINT MSG_NONCONTINUABLE = WM_USER + 4;
constexpr UINT MSG_NESTED = WM_USER + 5;
int g_counted;
bool g_inner_handled;

LRESULT CALLBACK test_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case MSG_FAULT:
      *static_cast<volatile int*>(nullptr) = 1;
      return 0;
    case MSG_RAISE:
      RaiseException(0xE0000001, 0, 0, nullptr);
      return 0;
    case MSG_NONCONTINUABLE:
      RaiseException(0xE0000002, EXCEPTION_NONCONTINUABLE, 0, nullptr);
      return 0;
    case MSG_COUNT:
      ++g_counted;
      return 0;
    case MSG_NESTED: {
      MSG inner = {window, MSG_FAULT, 0, 0, 0, {}};
      g_inner_handled = dispatch_guarded(&inner);
      ++g_counted;
      return 0;
    }
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

HWND make_window() {
  WNDCLASSW wc = {};
  wc.lpfnWndProc = test_proc;
  wc.lpszClassName = L"LoopTestWindow";
  RegisterClassW(&wc);
  return CreateWindowExW(0, L"LoopTestWindow", L"", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr,
                         nullptr);
}

TEST(MessageLoop, AnExceptionAbandonsOnlyItsMessage) {
  HWND window = make_window();
  ASSERT_NE(window, nullptr);
  g_counted = 0;
  for (UINT message : {MSG_FAULT, MSG_COUNT, MSG_RAISE, MSG_COUNT, MSG_NONCONTINUABLE, MSG_COUNT,
                       MSG_FAULT, MSG_FAULT, MSG_COUNT})
    PostMessageW(window, message, 0, 0);
  PostQuitMessage(0);
  run_message_loop();
  EXPECT_EQ(g_counted, 4);
  DestroyWindow(window);
}

TEST(MessageLoop, GuardReportsAbandonedHandling) {
  HWND window = make_window();
  MSG msg = {window, MSG_FAULT, 0, 0, 0, {}};
  EXPECT_FALSE(dispatch_guarded(&msg));
  msg.message = MSG_COUNT;
  EXPECT_TRUE(dispatch_guarded(&msg));
  // The chain is as it was: a fault outside the guard is not ours to take.
  EXPECT_TRUE(dispatch_guarded(&msg));
  DestroyWindow(window);
}

TEST(MessageLoop, InnerHandlersSeeTheExceptionFirst) {
  // A guard inside a handled message takes the fault; the outer handling then
  // completes normally.
  HWND window = make_window();
  MSG msg = {window, MSG_NESTED, 0, 0, 0, {}};
  g_inner_handled = true;
  g_counted = 0;
  EXPECT_TRUE(dispatch_guarded(&msg));
  EXPECT_FALSE(g_inner_handled);
  EXPECT_EQ(g_counted, 1);
  DestroyWindow(window);
}

}  // namespace
