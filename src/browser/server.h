// Browser mode: the package served to the user's own browser on loopback,
// where the carried runtime plays it. One server per process, on the main
// window's thread: Winsock reports to the window by message.
#pragma once

#include <windows.h>

#include <cstdint>

// Winsock's reports for the server's sockets; wParam: the socket.
constexpr UINT MSG_BROWSER_SOCKET = WM_APP + 3;  // 0x8003

// What the server asks of the window that runs it.
class BrowserCallback {
 public:
  // The page saved the video player's volume (the movie's own text).
  virtual void volume_posted(const char16_t* text) = 0;
  // Counts changed: the window shows them.
  virtual void counts_changed() = 0;

 protected:
  ~BrowserCallback() = default;
};

struct BrowserCounts {
  int32_t answered;  // the movie's requests answered from the package
  int32_t missed;    // answered with 404
  bool first_frame;  // the page saw the movie's first frame
};

// Listens on 127.0.0.1 at a port the system picks; false when Winsock or the
// socket cannot be had (nothing is left open then).
bool start_browser_server(HWND window, BrowserCallback* callback);
// Closes every connection and the listening socket; the port is free after.
void stop_browser_server();
bool browser_server_running();
// Answers MSG_BROWSER_SOCKET.
void on_browser_socket(WPARAM socket, LPARAM event);

// "http://127.0.0.1:PORT/TOKEN/" while running, else empty.
const char* browser_start_url();
const BrowserCounts& browser_counts();

// Opens the start page in the user's default browser; false when the system
// could not.
bool open_in_browser();
