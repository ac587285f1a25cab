// What the control site asks of the window that holds it. The window
// implements it, so that the host library never calls up into the shell.
#pragma once

#include <windows.h>

#include <cstdint>

class SiteCallback {
 public:
  // The client area's size as the window last laid it out.
  virtual void client_size(int32_t* width, int32_t* height) = 0;
  // Gives the control its rectangle in a client area of this size.
  virtual void layout_video(HWND window, int32_t width, int32_t height) = 0;

 protected:
  ~SiteCallback() = default;
};
