#include "serve/preview.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "common/json.h"
#include "serve/chromium.h"

#ifndef TESSIVO_RUFFLE_DIR
#define TESSIVO_RUFFLE_DIR ""
#endif

namespace serve {
namespace {

std::string crc_text(uint32_t crc) {
  char b[16];
  std::snprintf(b, sizeof b, "%08x", unsigned(crc));
  return b;
}

}  // namespace

bool find_ruffle(const std::string& given, std::string* dir, common::Error* error) {
  const char* env = std::getenv("TESSIVO_RUFFLE_DIR");
  *dir = !given.empty() ? given : env && *env ? std::string(env) : std::string(TESSIVO_RUFFLE_DIR);
  struct stat st;
  if (dir->empty() || stat((*dir + "/ruffle.js").c_str(), &st) != 0) {
    *error = common::plain("Ruffle is not installed: no ruffle.js in " +
                               (dir->empty() ? std::string("(no folder)") : *dir) +
                               " (scripts/setup installs it; or give --ruffle DIR)");
    return false;
  }
  return true;
}

bool find_chromium(const std::string& given, std::string* program, common::Error* error) {
  const char* env = std::getenv("TESSIVO_CHROMIUM");
  *program = !given.empty() ? given : env && *env ? env : "chromium";
  auto runnable = [](const std::string& path) { return access(path.c_str(), X_OK) == 0; };
  if (program->find('/') != std::string::npos) {
    if (runnable(*program)) return true;
  } else {
    const char* path = std::getenv("PATH");
    const std::string dirs = path ? path : "";
    for (size_t at = 0; at <= dirs.size();) {
      size_t end = dirs.find(':', at);
      if (end == std::string::npos) end = dirs.size();
      if (runnable((end > at ? dirs.substr(at, end - at) : ".") + "/" + *program)) return true;
      at = end + 1;
    }
  }
  *error = common::plain("no " + *program + " to run: install Debian's chromium, or name it with --chromium");
  return false;
}

bool run_preview(const pack::LoadedPlayer& input, const PreviewOptions& options, PreviewOutcome* out,
                 common::Error* error) {
  ServerOptions so;
  if (!find_ruffle(options.ruffle_dir, &so.ruffle_dir, error)) return false;
  so.quiet = true;
  so.proxy_outside_page = true;
  PackageServer server(input, so);
  if (!server.playable(error) || !server.start(options.port, error)) return false;
  BrowserRun run;
  common::Error missing;
  find_chromium(options.chromium, &run.chromium, &missing);  // its run says what went wrong
  run.proxy_port = server.port();
  run.start_url = server.start_url();
  run.width = server.width();
  run.height = server.height();
  run.seconds = options.seconds;
  run.screenshot = options.screenshot;
  run.server = &server;
  BrowserResult br;
  bool ok = run_browser(run, &br, error);
  server.stop();
  out->requests = server.served();
  out->unlisted = server.unlisted();
  out->missed = server.missed();
  out->outside = server.outside();
  out->first_frame_ms = server.first_frame_ms();
  out->screenshot_written = br.screenshot_written;
  out->screenshot_error = br.screenshot_error;
  out->chromium_version = br.chromium_version;
  out->width = run.width;
  out->height = run.height;
  out->start_url = run.start_url;
  return ok;
}

bool played(const PreviewOutcome& o, common::Error* why) {
  bool answered = false;
  for (const Served& s : o.requests) answered = answered || s.entry >= 0;
  const char* nothing = !answered              ? "nothing played: no request was answered from the package"
                        : o.first_frame_ms < 0 ? "nothing played: Ruffle showed no frame of the movie"
                                               : nullptr;
  if (nothing) *why = common::plain(nothing);
  return !nothing;
}

std::string preview_requests_json(const PreviewOutcome& o) {
  std::string j = "[";
  for (size_t i = 0; i < o.requests.size(); ++i) {
    const Served& s = o.requests[i];
    if (i) j += ",";
    j += "\n  {\"url\":" + common::json_quote(s.url) + ",\"method\":" + common::json_quote(s.method) +
         ",\"entry\":" + std::to_string(s.entry) + ",\"bytes\":" + std::to_string(s.bytes) +
         ",\"crc32\":\"" + crc_text(s.crc) + "\",\"ms\":" + std::to_string(int64_t(s.ms)) + "}";
  }
  return j + "]";
}

std::string preview_requests_text(const PreviewOutcome& o) {
  std::string t;
  for (size_t i = 0; i < o.requests.size(); ++i) {
    const Served& s = o.requests[i];
    char head[32];
    std::snprintf(head, sizeof head, "%4zu  %-4s ", i + 1, s.method.c_str());
    t += head + s.url + "\n        ";
    if (s.entry >= 0)
      t += "entry " + std::to_string(s.entry) + ", " + std::to_string(s.bytes) + " bytes, crc32 " + crc_text(s.crc);
    else
      t += s.refused ? "refused (a scheme the player does not serve)" : "NOT IN THE PACKAGE";
    t += "\n";
  }
  if (o.unlisted) t += "  ... and " + std::to_string(o.unlisted) + " more requests, not listed\n";
  return t;
}

}  // namespace serve
