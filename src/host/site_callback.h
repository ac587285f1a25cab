// What the control site asks of the window that holds it. The window
// implements it, so that the host library never calls up into the shell.
#pragma once

#include <windows.h>

class SiteCallback {
 public:
  // Gives the control its rectangle in the client area as the window last
  // laid it out.
  virtual void layout_video(HWND window) = 0;

 protected:
  ~SiteCallback() = default;
};
