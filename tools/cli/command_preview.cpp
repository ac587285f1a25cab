// pack preview: the package played in Ruffle, and what the movie asked for.
#include <cstdio>
#include <string>

#include "cli/commands.h"
#include "cli/options.h"
#include "common/error.h"
#include "common/json.h"
#include "pack/loaded_player.h"
#include "serve/chromium.h"
#include "serve/preview.h"

namespace {

const cli::Help kHelp = {
    "preview",
    "usage: pack preview PLAYER.exe | MANIFEST.toml [--seconds N] [--screenshot OUT.png]\n"
    "                    [--json] [--strict] [--port N] [--chromium PATH] [--ruffle DIR]\n",
    "Plays the package's first movie in Ruffle (an open Flash runtime) in headless\n"
    "Chromium for N seconds, every request answered by `pack serve`'s code, and\n"
    "prints each request the movie made, in order, with its answer. Ruffle is not\n"
    "the Flash Player control that the player hosts: it shows what a real movie\n"
    "asks for, and lets a package be tried where the player can't run.\n"
    "Nothing goes to the network: the browser resolves no host but the server's,\n"
    "every request of the movie (http and https) is intercepted through its\n"
    "DevTools connection and answered from the package, and its profile is removed.\n",
    22,
    "Exit codes: 0 done; 1 the input can't be read, the browser or Ruffle can't\n"
    "run, interrupted, the screenshot could not be taken (what the run saw is\n"
    "printed all the same), or (--strict) a request went unanswered or nothing\n"
    "played (no entry answered, or no frame shown); 2 usage error.\n"
    "The Linux pack only: pack.exe has no preview.\n"};

// Loads the input and plays it; false after saying why on stderr.
bool run(const char* input, const serve::PreviewOptions& po, serve::PreviewOutcome* o) {
  common::Error error;
  bool ok;
  {
    pack::LoadedPlayer player;
    common::Error load_error;
    if (!load_player_or_manifest(&player, input, &load_error)) {
      std::fprintf(stderr, "pack: %s\n", load_error.text().c_str());
      return false;
    }
    serve::catch_interrupts();
    ok = serve::run_preview(player, po, o, &error);
  }
  if (!ok) std::fprintf(stderr, "pack preview: %s\n", error.text().c_str());
  return ok;
}

void print_json(const char* input, const serve::PreviewOptions& po, const serve::PreviewOutcome& o) {
  std::string j = "{\"input\":" + common::json_quote(input) + ",\"start_url\":" + common::json_quote(o.start_url) +
                  ",\"browser\":" + common::json_quote(o.chromium_version) + ",\"seconds\":" + std::to_string(po.seconds) +
                  ",\"width\":" + std::to_string(o.width) + ",\"height\":" + std::to_string(o.height) +
                  ",\"first_frame_ms\":" +
                  (o.first_frame_ms < 0 ? std::string("null") : std::to_string(int64_t(o.first_frame_ms))) +
                  ",\"screenshot\":" + (o.screenshot_written ? common::json_quote(po.screenshot) : std::string("null")) +
                  (o.screenshot_error.message.empty()
                       ? std::string()
                       : ",\"screenshot_error\":" + common::json_quote(o.screenshot_error.text())) +
                  ",\"unanswered\":" + std::to_string(o.missed) + ",\"unlisted\":" + std::to_string(o.unlisted) +
                  ",\"browser_own_requests\":" + std::to_string(o.outside.size()) +
                  ",\"requests\":" + serve::preview_requests_json(o) + "}\n";
  std::fwrite(j.data(), 1, j.size(), stdout);
}

void print_text(const char* input, const serve::PreviewOptions& po, const serve::PreviewOutcome& o) {
  std::printf("%s in Ruffle (%s), %g s, %dx%d, start page %s\n", input,
              o.chromium_version.c_str(), po.seconds, o.width, o.height, o.start_url.c_str());
  std::printf("Requests, in order:\n%s", serve::preview_requests_text(o).c_str());
  if (o.first_frame_ms >= 0)
    std::printf("First frame after %lld ms.\n", (long long)o.first_frame_ms);
  else
    std::printf("No frame shown: Ruffle did not start the movie.\n");
  if (o.screenshot_written) std::printf("Screenshot: %s\n", po.screenshot.c_str());
  if (!o.screenshot_error.message.empty()) std::printf("No screenshot: %s\n", o.screenshot_error.text().c_str());
  std::printf("%zu requests, %zu not in the package.\n", o.requests.size() + o.unlisted, o.missed);
  if (!o.outside.empty())
    std::printf("The browser's own requests, refused: %zu (not the movie's).\n", o.outside.size());
}

}  // namespace

const cli::Help& preview_help() { return kHelp; }

int command_preview(int argc, char** argv) {
  const char* input = nullptr;
  bool json = false, strict = false;
  std::string seconds, port;
  serve::PreviewOptions po;
  const std::vector<cli::Option> table = {
      {"--seconds", "N", "how long the movie runs (default 10)", nullptr, &seconds, "needs a number"},
      {"--screenshot", "OUT.png", "the movie's area at the end", nullptr, &po.screenshot, "needs a file name"},
      {"--json", nullptr,
       "{\"requests\": [{\"url\", \"method\", \"entry\", \"bytes\", \"crc32\"}],\n"
       "\"first_frame_ms\", ...}; entry -1: not in the package", &json},
      {"--strict", nullptr, "exit 1 when a request went unanswered, naming it, or\nwhen nothing played", &strict},
      {"--port", "N", "the server's port (default: any free port)", nullptr, &port, "needs a number"},
      {"--chromium", "PATH", "the browser (default $TESSIVO_CHROMIUM, else chromium)", nullptr, &po.chromium,
       "needs a program"},
      {"--ruffle", "DIR", "the Ruffle package's folder (default: as scripts/setup\ninstalls it, or $TESSIVO_RUFFLE_DIR)",
       nullptr, &po.ruffle_dir, "needs a folder"},
  };
  int rc = 0;
  if (!cli::parse_options(kHelp, table, argc, argv, cli::one_input(&input), &rc)) return rc;
  if (!input) return cli::usage_error(kHelp, "missing PLAYER.exe or MANIFEST.toml");
  if (!seconds.empty() && !cli::parse_seconds(seconds, &po.seconds))
    return cli::usage_error(kHelp, "--seconds needs a number above 0, at most 3600");
  if (!port.empty() && !cli::parse_count(port, 1, 65535, &po.port))
    return cli::usage_error(kHelp, "--port needs a number from 1 to 65535");

  serve::PreviewOutcome o;
  if (!run(input, po, &o)) return 1;
  if (json) print_json(input, po, o);
  else print_text(input, po, o);
  int code = 0;
  if (!o.screenshot_error.message.empty()) {
    std::fprintf(stderr, "pack preview: no screenshot: %s\n", o.screenshot_error.text().c_str());
    code = 1;
  }
  if (strict) {
    common::Error why;
    const bool played = serve::played(o, &why);
    if (!played) std::fprintf(stderr, "pack preview: %s\n", why.text().c_str());
    for (const serve::Served& s : o.requests)
      if (s.entry < 0) std::fprintf(stderr, "pack preview: not in the package: %s\n", s.url.c_str());
    if (!played || o.missed > 0) code = 1;
  }
  return code;
}
