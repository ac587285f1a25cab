#include "fetcher.h"

#include <hlink.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "control.h"
#include "log.h"

namespace {

const wchar_t ENGINE_CLASS[] = L"TessivoStandinEngine";
constexpr UINT MSG_START = WM_APP + 1;
constexpr UINT MSG_DONE = WM_APP + 2;
constexpr UINT MSG_READ = WM_APP + 3;
constexpr UINT MSG_STEP = WM_APP + 4;
constexpr UINT_PTR FRAME_TIMER = 1;

std::wstring wide(const std::string& s) {
  if (s.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), nullptr, 0);
  std::wstring r(n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), &r[0], n);
  return r;
}

// Splits off the first space-separated word; the rest keeps inner spaces.
std::string word(std::string& rest) {
  size_t start = rest.find_first_not_of(' ');
  if (start == std::string::npos) {
    rest.clear();
    return std::string();
  }
  size_t end = rest.find(' ', start);
  std::string w = rest.substr(start, end == std::string::npos ? std::string::npos : end - start);
  rest = end == std::string::npos ? std::string() : rest.substr(end + 1);
  return w;
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// hlink.dll is loaded when a movie first navigates; the import library is
// not part of the cross toolchain. The target is made a URL moniker first:
// parsing it as a display name would start a script engine for
// "javascript:" and leave its server process running.
IHlink* make_hlink(const std::wstring& url) {
  using Create = HRESULT(WINAPI*)(IMoniker*, LPCWSTR, LPCWSTR, IHlinkSite*, DWORD, IUnknown*,
                                  REFIID, void**);
  static HMODULE module = LoadLibraryW(L"hlink.dll");
  if (!module) return nullptr;
  auto create = reinterpret_cast<Create>(
      reinterpret_cast<void*>(GetProcAddress(module, "HlinkCreateFromMoniker")));
  IMoniker* target = nullptr;
  if (!create || FAILED(CreateURLMoniker(nullptr, url.c_str(), &target)) || !target)
    return nullptr;
  IHlink* link = nullptr;
  if (FAILED(create(target, nullptr, nullptr, nullptr, 0, nullptr, IID_IHlink,
                    reinterpret_cast<void**>(&link))))
    link = nullptr;
  target->Release();
  return link;
}

// The script is in the movie's bytes as they came, or else inside a
// compressed movie's zlib body (in a tag that real runtimes do not run).
std::string searchable(const std::string& movie) {
  if (movie.find(SCRIPT_MARKER) != std::string::npos) return movie;
  if (movie.size() < 8 || movie.compare(0, 3, "CWS")) return movie;
  std::string body(1 << 20, '\0');
  z_stream z = {};
  if (inflateInit(&z) != Z_OK) return movie;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(movie.data() + 8));
  z.avail_in = uInt(movie.size() - 8);
  z.next_out = reinterpret_cast<Bytef*>(&body[0]);
  z.avail_out = uInt(body.size());
  inflate(&z, Z_FINISH);
  body.resize(body.size() - z.avail_out);
  inflateEnd(&z);
  return body;
}

}  // namespace

LRESULT CALLBACK Fetcher::window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* self = reinterpret_cast<Fetcher*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self && !self->closed_) {
    switch (message) {
      case MSG_START:
        self->start_next();
        return 0;
      case MSG_DONE:
        self->finish(int(wparam));
        return 0;
      case MSG_READ:
        if (Load* load = self->find(int(wparam))) {
          load->read_available();
          load->log_late_read();
        }
        return 0;
      case MSG_STEP:
        self->step();
        return 0;
      case WM_TIMER:
        if (wparam != FRAME_TIMER) break;
        KillTimer(window, FRAME_TIMER);
        self->callbacks_ready_ = true;
        LogLine("FirstFrame");
        return 0;
    }
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

bool Fetcher::ensure_window() {
  if (window_) return true;
  if (closed_) return false;
  HINSTANCE module = standin_module();
  WNDCLASSW wc = {};
  if (!GetClassInfoW(module, ENGINE_CLASS, &wc)) {
    wc.lpfnWndProc = window_proc;
    wc.hInstance = module;
    wc.lpszClassName = ENGINE_CLASS;
    RegisterClassW(&wc);
  }
  window_ = CreateWindowExW(0, ENGINE_CLASS, nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, module,
                            nullptr);
  if (!window_) return false;
  SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  return true;
}

void Fetcher::post(UINT message, WPARAM wparam) {
  if (ensure_window()) PostMessageW(window_, message, wparam, 0);
}

Load* Fetcher::find(int id) {
  for (Load* load : live_)
    if (load->id() == id) return load;
  return nullptr;
}

void Fetcher::queue(LoadKind kind, const std::wstring& url, const std::string* body) {
  if (closed_) return;
  // A new root movie has no callbacks until its own first frame.
  if (kind == LoadKind::movie) {
    callbacks_ready_ = false;
    if (window_) KillTimer(window_, FRAME_TIMER);
  }
  pending_.push_back({kind, url, body != nullptr, body ? *body : std::string(), false});
  post(MSG_START, 0);
}

void Fetcher::load_done(int id) { post(MSG_DONE, WPARAM(id)); }

// As a real control: frames run on a timer of the control's own, so a
// message posted before the movie's end is handled before its first frame.
void Fetcher::movie_arrived() {
  if (ensure_window()) SetTimer(window_, FRAME_TIMER, 0, nullptr);
}

void Fetcher::read_later(int id) { post(MSG_READ, WPARAM(id)); }

void Fetcher::start_next() {
  if (pending_.empty()) return;
  Pending next = pending_.front();
  pending_.pop_front();
  start(next);
}

void Fetcher::start(const Pending& pending) {
  int id = next_id_++;
  auto* load = new Load(this, id, pending.kind, pending.url, pending.post ? &pending.body : nullptr,
                        read_size_, read_later_);
  live_.push_back(load);
  if (pending.scripted) scripted_.push_back(id);
  IServiceProvider* services = control_->site_services();
  load->start(services);
  if (services) services->Release();
}

void Fetcher::finish(int id) {
  Load* load = find(id);
  if (!load) return;
  load->read_available();  // what a late reader has not taken yet
  load->report();
  load->release_request();
  LogLine("LoadReleased").number("load", id).number("outside_refs", load->outside_refs());
  live_.erase(std::find(live_.begin(), live_.end(), load));
  scripted_.erase(std::remove(scripted_.begin(), scripted_.end(), id), scripted_.end());
  if (load->kind() == LoadKind::movie) begin_script(load->kept());
  load->detach();
  load->Release();
  if (waiting_ && scripted_.empty()) {
    waiting_ = false;
    post(MSG_STEP, 0);
  }
}

void Fetcher::close() {
  if (closed_) return;
  closed_ = true;
  std::vector<Load*> loads;
  loads.swap(live_);
  for (Load* load : loads) {
    load->detach();
    load->release_request();
    load->Release();
  }
  pending_.clear();
  lines_.clear();
  if (window_) DestroyWindow(window_);
  window_ = nullptr;
}

void Fetcher::begin_script(const std::string& kept) {
  const std::string movie = searchable(kept);
  size_t at = movie.find(SCRIPT_MARKER);
  if (at == std::string::npos) return;
  std::string text = movie.substr(at + std::strlen(SCRIPT_MARKER));
  text = text.substr(0, text.find('\0'));
  lines_.clear();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines_.push_back(line);
    start = end + 1;
  }
  line_ = 0;
  waiting_ = false;
  running_ = true;
  LogLine("ScriptStart").number("lines", long(lines_.size()));
  post(MSG_STEP, 0);
}

void Fetcher::step() {
  while (running_ && line_ < lines_.size()) {
    if (!run_line(lines_[line_++])) return;
  }
  if (running_) {
    running_ = false;
    LogLine("ScriptEnd");
  }
}

bool Fetcher::run_line(const std::string& text) {
  std::string rest = text;
  std::string command = word(rest);
  if (command.empty() || command[0] == '#') return true;
  auto scripted = [this](LoadKind kind, const std::string& url, const std::string* body) {
    start({kind, wide(url), body != nullptr, body ? *body : std::string(), true});
  };
  if (command == "load") {
    scripted(LoadKind::file, rest, nullptr);
  } else if (command == "post") {
    std::string url = word(rest);
    scripted(LoadKind::file, url, &rest);
  } else if (command == "loadmany") {
    int count = std::atoi(word(rest).c_str());
    for (int i = 0; i < count; ++i)
      scripted(LoadKind::file, replace_all(rest, "{}", std::to_string(i)), nullptr);
  } else if (command == "wait") {
    if (!scripted_.empty()) {
      waiting_ = true;
      return false;
    }
  } else if (command == "navigate") {
    navigate(wide(rest));
  } else if (command == "fscommand") {
    std::string name = word(rest);
    control_->fire_fs_command(wide(name), wide(rest));
  } else if (command == "fsevent") {
    control_->fire_odd_event(word(rest).c_str());
  } else if (command == "readsize") {
    long size = std::strtol(word(rest).c_str(), nullptr, 0);
    read_size_ = size > 0 ? DWORD(size) : 0x8000;
  } else if (command == "readlater") {
    read_later_ = word(rest) == "on";
  } else if (command == "mark") {
    LogLine("Mark").text("text", wide(rest).c_str());
  } else {
    LogLine("ScriptError").text("line", wide(text).c_str());
  }
  return true;
}

void Fetcher::navigate(const std::wstring& url) {
  IServiceProvider* services = control_->site_services();
  IHlinkFrame* frame = nullptr;
  HRESULT query = services ? services->QueryService(SID_SHlinkFrame, IID_IHlinkFrame,
                                                    reinterpret_cast<void**>(&frame))
                           : E_NOINTERFACE;
  if (services) services->Release();
  IHlink* link = make_hlink(url);
  HRESULT hr = E_FAIL;
  if (SUCCEEDED(query) && frame) {
    IBindCtx* context = nullptr;
    CreateBindCtx(0, &context);
    hr = frame->Navigate(0, context, nullptr, link);
    if (context) context->Release();
    frame->Release();
  }
  if (link) link->Release();
  LogLine("Navigate")
      .text("url", url.c_str())
      .number("query_hr", query)
      .flag("hlink", link != nullptr)
      .number("hr", hr);
}
