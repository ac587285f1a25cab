// Shared doubles for the host tests: an isolated per-user registry, a
// window callback that records the layout pass, and a window whose
// control site holds a FakeControl made through the real creation path.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "host/fake_control.h"
#include "host/site_callback.h"

// Redirects HKEY_CURRENT_USER to a scratch key for its lifetime, so the
// settings the tests write never reach the real per-user values.
class ScratchRegistry {
 public:
  ScratchRegistry();
  ~ScratchRegistry();
  bool ok() const { return key_ != nullptr; }

 private:
  HKEY key_ = nullptr;
};

// Where the test window's layout pass records itself ("layout_video(W,H)");
// the client size it lays out comes from g_layout_client_width/height.
extern std::vector<std::string>* g_layout_log;
extern int32_t g_layout_client_width, g_layout_client_height;
// The window side that test sites are created with.
SiteCallback* test_site_callback();

// A test window with a control site over control, created by the real
// create_control_site through a registered class factory.
class SiteWindow {
 public:
  explicit SiteWindow(FakeControl* control);
  ~SiteWindow();
  HWND window() const { return window_; }
  int created() const { return created_; }
  FakeFactory& factory() { return factory_; }
  // Runs create_control_site; its result.
  int create();

 private:
  FakeFactory factory_;
  HWND window_;
  int created_ = 1;
};
