// The stand-in's movie engine: starts loads, keeps them until they end, and
// runs the script that a test movie carries once the movie has arrived.
// All of it runs on the control's thread, driven by posted messages to a
// message-only window, so no load starts inside a call of the container.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <deque>
#include <string>
#include <vector>

#include "fetch.h"

class StandinControl;

// Marks the start of a test movie's script, after the SWF header.
constexpr char SCRIPT_MARKER[] = "\n#!standin\n";

class Fetcher {
 public:
  explicit Fetcher(StandinControl* control) : control_(control) {}
  ~Fetcher() { close(); }

  // Queues a load; it starts from the message loop.
  void queue(LoadKind kind, const std::wstring& url, const std::string* body = nullptr);
  // Called by a load whose binding has stopped or failed.
  void load_done(int id);
  // The root movie's last byte has been read: its first frame comes on the
  // engine's next timer tick, after whatever is already posted.
  void movie_arrived();
  // Whether the root movie's first frame has run, where a movie registers the
  // functions the container may call.
  bool callbacks_ready() const { return callbacks_ready_; }
  void read_later(int id);
  // Ends every load and the script; the container is letting the control go.
  void close();

 private:
  struct Pending {
    LoadKind kind;
    std::wstring url;
    bool post;
    std::string body;
    bool scripted;
  };

  static LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  bool ensure_window();
  void post(UINT message, WPARAM wparam);
  Load* find(int id);
  void start_next();
  void start(const Pending& pending);
  void finish(int id);
  void begin_script(const std::string& movie);
  void step();
  // Runs one script line; false when the script must wait for its loads.
  bool run_line(const std::string& line);
  // Follows a hyperlink through the container's hyperlink frame.
  void navigate(const std::wstring& url);

  StandinControl* control_;
  HWND window_ = nullptr;
  bool closed_ = false;
  int next_id_ = 1;
  std::vector<Load*> live_;
  std::deque<Pending> pending_;
  std::vector<int> scripted_;  // loads the script started that have not ended

  std::vector<std::string> lines_;
  size_t line_ = 0;
  bool running_ = false;
  bool waiting_ = false;
  DWORD read_size_ = 0x8000;
  bool read_later_ = false;
  bool callbacks_ready_ = false;
};
