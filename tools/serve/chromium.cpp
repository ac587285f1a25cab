#include "serve/chromium.h"

#include <errno.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "common/atomic_output.h"
#include "common/base64.h"
#include "common/utf.h"

namespace serve {
namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

volatile sig_atomic_t g_interrupted = 0;
void on_signal(int) { g_interrupted = 1; }

// One DevTools connection over chromium's --remote-debugging-pipe: JSON
// messages ended by NUL, written to its fd 3 and read from its fd 4.
class Devtools {
 public:
  Devtools(int write_fd, int read_fd, PackageServer* server)
      : write_fd_(write_fd), read_fd_(read_fd), server_(server) {}

  // Sends a command and services events until its answer or the deadline.
  bool call(const std::string& method, json params, const std::string& session, json* result,
            Clock::time_point deadline, common::Error* error) {
    int id = next_id_++;
    json m = {{"id", id}, {"method", method}, {"params", std::move(params)}};
    if (!session.empty()) m["sessionId"] = session;
    if (!send(m)) {
      *error = common::plain("the browser closed its DevTools pipe");
      return false;
    }
    for (;;) {
      json msg;
      if (!next(&msg, deadline, error)) {
        if (error->message.empty()) *error = common::plain("the browser did not answer " + method + " in time");
        return false;
      }
      if (msg.contains("id") && msg["id"] == id) {
        if (msg.contains("error")) {
          *error = common::plain(method + ": " + msg["error"].value("message", std::string("failed")));
          return false;
        }
        if (result) *result = msg.value("result", json::object());
        return true;
      }
    }
  }

  // Services events until the deadline (or an interrupt).
  void pump(Clock::time_point deadline) {
    common::Error error;
    json msg;
    while (Clock::now() < deadline && !g_interrupted && next(&msg, deadline, &error)) {
    }
  }

 private:
  bool send(const json& m) {
    std::string s = m.dump();
    s += '\0';
    const char* p = s.data();
    size_t left = s.size();
    while (left > 0) {
      ssize_t n = write(write_fd_, p, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      p += n;
      left -= size_t(n);
    }
    return true;
  }

  // The next message that is not an event handled here.
  bool next(json* out, Clock::time_point deadline, common::Error* error) {
    for (;;) {
      size_t nul = buffer_.find('\0');
      if (nul != std::string::npos) {
        json msg = json::parse(buffer_.begin(), buffer_.begin() + ptrdiff_t(nul), nullptr, false);
        buffer_.erase(0, nul + 1);
        if (msg.is_discarded() || !msg.is_object()) continue;
        if (msg.value("method", std::string()) == "Fetch.requestPaused") {
          fulfil(msg);
          continue;
        }
        *out = std::move(msg);
        return true;
      }
      if (g_interrupted) return false;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      pollfd p{read_fd_, POLLIN, 0};
      int r = poll(&p, 1, int(left < 100 ? left : 100));
      if (r < 0 && errno != EINTR) return false;
      if (r <= 0) continue;
      char buf[65536];
      ssize_t n = read(read_fd_, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        *error = common::plain("the browser closed its DevTools pipe");
        return false;
      }
      buffer_.append(buf, size_t(n));
    }
  }

  // A request of the page, answered from the package.
  void fulfil(const json& msg) {
    const json& p = msg["params"];
    const json& req = p["request"];
    std::string url = req.value("url", std::string());
    std::string method = req.value("method", std::string("GET"));
    if (url.compare(0, 5, "http:") == 0 && server_->is_internal(url)) {
      // The page and Ruffle's files travel through the proxy, unencoded
      // (over https they can't: they are answered here like the rest).
      json m = {{"id", next_id_++}, {"method", "Fetch.continueRequest"}, {"params", {{"requestId", p["requestId"]}}}};
      if (msg.contains("sessionId")) m["sessionId"] = msg["sessionId"];
      send(m);
      return;
    }
    std::string mark;
    if (server_->hand_over(method, url, &mark)) {
      // So do the page's http entries, marked as the page's: the proxy
      // streams them, where a message here would carry them whole, twice
      // over in base64.
      json headers = json::array();
      if (req.contains("headers") && req["headers"].is_object())
        for (auto& [name, value] : req["headers"].items())
          if (value.is_string()) headers.push_back({{"name", name}, {"value", value}});
      headers.push_back({{"name", std::string(PackageServer::kHandedHeader)}, {"value", mark}});
      json m = {{"id", next_id_++},
                {"method", "Fetch.continueRequest"},
                {"params", {{"requestId", p["requestId"]}, {"headers", headers}}}};
      if (msg.contains("sessionId")) m["sessionId"] = msg["sessionId"];
      send(m);
      return;
    }
    std::string body;
    if (req.contains("postDataEntries")) {
      for (const json& e : req["postDataEntries"]) {
        std::string bytes;
        common::unbase64(e.value("bytes", std::string()), &bytes);
        body += bytes;
      }
    } else {
      body = req.value("postData", std::string());
    }
    Answer a = server_->answer(method, url, body);
    json headers = json::array();
    if (!a.content_type.empty()) headers.push_back({{"name", "Content-Type"}, {"value", a.content_type}});
    // Ruffle fetches movies and files of other hosts than the page's: the
    // page, and only the page, may read them.
    std::string origin;
    if (req.contains("headers") && req["headers"].is_object())
      for (auto& [name, value] : req["headers"].items())
        if (common::ascii_lower(name) == "origin" && value.is_string()) origin = value.get<std::string>();
    std::string allowed = server_->allowed_origin(origin);
    if (!allowed.empty()) headers.push_back({{"name", "Access-Control-Allow-Origin"}, {"value", allowed}});
    headers.push_back({{"name", "Cache-Control"}, {"value", "no-store"}});
    headers.push_back({{"name", "Content-Length"}, {"value", std::to_string(a.body.size())}});
    json m = {{"id", next_id_++},
              {"method", "Fetch.fulfillRequest"},
              {"params",
               {{"requestId", p["requestId"]},
                {"responseCode", a.status},
                {"responseHeaders", headers},
                {"body", common::base64(a.body.data(), a.body.size())}}}};
    if (msg.contains("sessionId")) m["sessionId"] = msg["sessionId"];
    send(m);
  }

  int write_fd_, read_fd_;
  PackageServer* server_;
  int next_id_ = 1;
  std::string buffer_;
};

const char kProfilePrefix[] = "tessivo-preview-";
const char kLockName[] = "run.lock";

struct Child {
  pid_t pid = -1;
  int to = -1, from = -1;
  int lock = -1;  // held while the run lives: its profile is not stale
  std::string profile;

  ~Child() { finish(Clock::now()); }

  // Waits for the browser until the deadline, then ends its whole process
  // group; removes the profile.
  void finish(Clock::time_point deadline) {
    if (to >= 0) close(to);
    if (from >= 0) close(from);
    to = from = -1;
    if (pid > 0) {
      int status;
      while (Clock::now() < deadline && waitpid(pid, &status, WNOHANG) == 0) usleep(20000);
      kill(-pid, SIGKILL);
      waitpid(pid, &status, 0);
      // Helpers of the group that outlived the leader.
      for (int i = 0; i < 50 && kill(-pid, 0) == 0; ++i) usleep(20000);
      pid = -1;
    }
    if (!profile.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(profile, ec);
      profile.clear();
    }
    if (lock >= 0) close(lock);
    lock = -1;
  }
};

// Profiles of runs that were killed outright (their lock is free); one
// without a lock is another run starting, unless it is old (a killed run's
// browser helpers may write a little after it went).
void remove_stale_profiles(const std::string& tmp) {
  DIR* d = opendir(tmp.c_str());
  if (!d) return;
  std::vector<std::string> stale;
  while (dirent* e = readdir(d)) {
    if (std::strncmp(e->d_name, kProfilePrefix, sizeof kProfilePrefix - 1) != 0) continue;
    std::string dir = tmp + "/" + e->d_name;
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) continue;
    int fd = open((dir + "/" + kLockName).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
      if (time(nullptr) - st.st_mtime > 30) stale.push_back(dir);
      continue;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) stale.push_back(dir);
    close(fd);
  }
  closedir(d);
  for (const std::string& dir : stale) {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
}

std::vector<std::string> browser_args(const BrowserRun& run, const std::string& profile) {
  std::string proxy = "http://127.0.0.1:" + std::to_string(run.proxy_port);
  return {
      run.chromium, "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic",
      "--no-first-run", "--no-default-browser-check", "--disable-background-networking",
      "--disable-component-update", "--disable-sync", "--disable-extensions",
      "--disable-default-apps", "--mute-audio", "--allow-running-insecure-content", "--autoplay-policy=no-user-gesture-required",
      "--user-data-dir=" + profile, "--remote-debugging-pipe", "--proxy-server=" + proxy,
      "--proxy-bypass-list=<-loopback>", "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
      "--window-size=" + std::to_string(run.width) + "," + std::to_string(run.height), "about:blank"};
}

// In the forked child: the DevTools pipe on fds 3 and 4, output to log;
// an exec failure's errno goes back through status.
[[noreturn]] void exec_browser(std::vector<std::string>& args, int to_read, int from_write, int status,
                               const std::string& log, const std::string& tmp) {
  // Chromium's own temporary folders go inside the profile, and with it.
  setenv("TMPDIR", tmp.c_str(), 1);
  setpgid(0, 0);
  // Should the packer itself be killed, the browser goes with it.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  // fds 3 and 4 may be taken by our own pipes: move them up first.
  int r = fcntl(to_read, F_DUPFD, 10), w = fcntl(from_write, F_DUPFD, 10);
  dup2(r, 3);
  dup2(w, 4);
  int null = open("/dev/null", O_RDWR);
  int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(null, 0);
  dup2(out >= 0 ? out : null, 1);
  dup2(out >= 0 ? out : null, 2);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  int e = errno;
  (void)!write(status, &e, sizeof e);
  _exit(127);
}

// The child's errno when its exec failed, else 0 (the pipe closed on exec).
int exec_error(int status) {
  int e = 0;
  ssize_t n;
  do n = read(status, &e, sizeof e);
  while (n < 0 && errno == EINTR);
  close(status);
  return n == sizeof e ? e : 0;
}

bool launch(const BrowserRun& run, Child* child, common::Error* error) {
  const char* tmp = std::getenv("TMPDIR");
  std::string folder = tmp && *tmp ? tmp : "/tmp";
  remove_stale_profiles(folder);
  std::string templ = folder + "/" + kProfilePrefix + "XXXXXX";
  if (!mkdtemp(&templ[0])) {
    *error = common::plain("cannot make a browser profile folder in " + folder + ": " + std::strerror(errno));
    return false;
  }
  child->profile = templ;
  // Locked before it takes its name, so that no other run finds it free.
  std::string lock = templ + "/" + kLockName;
  child->lock = open((lock + ".new").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (child->lock >= 0 && flock(child->lock, LOCK_EX | LOCK_NB) == 0) rename((lock + ".new").c_str(), lock.c_str());
  std::string browser_tmp = templ + "/tmp";
  mkdir(browser_tmp.c_str(), 0700);
  std::vector<std::string> args = browser_args(run, templ);
  int to[2] = {-1, -1}, from[2] = {-1, -1}, status[2] = {-1, -1};
  auto fail = [&](const char* what) {
    *error = common::plain(what + std::string(std::strerror(errno)));
    for (int fd : {to[0], to[1], from[0], from[1], status[0], status[1]})
      if (fd >= 0) close(fd);
    return false;
  };
  if (pipe2(to, O_CLOEXEC) || pipe2(from, O_CLOEXEC) || pipe2(status, O_CLOEXEC))
    return fail("cannot make pipes: ");
  std::string log = templ + "/chromium.log";
  pid_t pid = fork();
  if (pid < 0) return fail("cannot start a process: ");
  if (pid == 0) exec_browser(args, to[0], from[1], status[1], log, browser_tmp);
  setpgid(pid, pid);
  child->pid = pid;
  close(to[0]);
  close(from[1]);
  close(status[1]);
  child->to = to[1];
  child->from = from[0];
  if (int e = exec_error(status[0])) {
    *error = common::plain("cannot run " + run.chromium + ": " + std::strerror(e) +
                  " (install Debian's chromium, or name it with --chromium)");
    return false;
  }
  return true;
}

}  // namespace

void catch_interrupts() {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_signal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool interrupted() { return g_interrupted != 0; }

namespace {

// Opens a page target, intercepts its every request and navigates it to the
// start page; session receives the target's session.
bool open_page(Devtools* dt, const BrowserRun& run, Clock::time_point setup, BrowserResult* out,
               std::string* session, common::Error* error) {
  json r;
  bool ok = dt->call("Browser.getVersion", json::object(), "", &r, setup, error);
  if (ok) out->chromium_version = r.value("product", std::string());
  ok = ok && dt->call("Target.createTarget", {{"url", "about:blank"}}, "", &r, setup, error);
  ok = ok && dt->call("Target.attachToTarget", {{"targetId", r.value("targetId", std::string())}, {"flatten", true}},
                      "", &r, setup, error);
  if (ok) *session = r.value("sessionId", std::string());
  ok = ok && dt->call("Fetch.enable", {{"patterns", json::array({{{"urlPattern", "*"}}})}}, *session, nullptr,
                      setup, error);
  ok = ok && dt->call("Emulation.setDeviceMetricsOverride",
                      {{"width", run.width}, {"height", run.height}, {"deviceScaleFactor", 1}, {"mobile", false}},
                      *session, nullptr, setup, error);
  ok = ok && dt->call("Page.navigate", {{"url", run.start_url}}, *session, nullptr, setup, error);
  return ok;
}

bool save_png(const std::string& png, const std::string& path, common::Error* error) {
  common::AtomicOutput out;
  common::Error e;
  bool ok = out.open(path, &e, common::AtomicOutput::kPlain);
  // The output's own interrupt handlers would end the run on the spot:
  // ours let it finish and clean up.
  catch_interrupts();
  ok = ok && std::fwrite(png.data(), 1, png.size(), out.file()) == png.size();
  if (ok && out.commit(&e)) return true;
  *error = e.message.empty() ? common::plain("cannot write the screenshot " + path + ": " + std::strerror(errno)) : e;
  return false;
}

bool take_screenshot(Devtools* dt, const BrowserRun& run, const std::string& session, Clock::time_point deadline,
                     BrowserResult* out, common::Error* error) {
  json clip = {{"x", 0}, {"y", 0}, {"width", run.width}, {"height", run.height}, {"scale", 1}};
  json r;
  if (!dt->call("Page.captureScreenshot", {{"format", "png"}, {"clip", clip}}, session, &r, deadline, error))
    return false;
  std::string png;
  if (!common::unbase64(r.value("data", std::string()), &png)) {
    *error = common::plain("the browser's screenshot is not base64");
    return false;
  }
  if (!save_png(png, run.screenshot, error)) return false;
  out->screenshot_written = true;
  return true;
}

}  // namespace

bool run_browser(const BrowserRun& run, BrowserResult* out, common::Error* error) {
  auto start = Clock::now();
  auto ms = [](double v) { return std::chrono::milliseconds(int64_t(v)); };
  // Nothing waits past seconds + 10 s: setup, the run, the screenshot and
  // the browser's exit share what is left of it.
  auto hard = start + ms(run.seconds * 1000) + std::chrono::seconds(9);
  Child child;
  if (!launch(run, &child, error)) return false;
  Devtools dt(child.to, child.from, run.server);
  auto setup = start + std::chrono::seconds(20) < hard ? start + std::chrono::seconds(20) : hard;
  std::string session;
  bool ok = open_page(&dt, run, setup, out, &session, error);
  if (ok) {
    auto end = Clock::now() + ms(run.seconds * 1000);
    if (end > hard - std::chrono::seconds(4)) end = hard - std::chrono::seconds(4);
    dt.pump(end);
  }
  if (g_interrupted) {
    // Whatever a call said while set-up was cut short.
    out->interrupted = true;
    ok = false;
    *error = common::plain("interrupted");
  }
  // A failed screenshot loses nothing of what the run saw.
  if (ok && !run.screenshot.empty())
    take_screenshot(&dt, run, session, hard - std::chrono::seconds(2), out, &out->screenshot_error);
  if (child.pid > 0) {
    common::Error ignored;
    dt.call("Browser.close", json::object(), "", nullptr, Clock::now() + std::chrono::milliseconds(500), &ignored);
  }
  child.finish(Clock::now() + std::chrono::seconds(2));
  return ok;
}

}  // namespace serve
