// pack preview PLAYER.exe | MANIFEST.toml [--seconds N] [--screenshot OUT.png] [--json] [--strict]
#include <cstdio>
#include <string>

#include "pack/commands.h"
#include "pack/package_input.h"
#include "pack/utf.h"
#include "package/player_state.h"
#include "serve/chromium.h"
#include "serve/option_table.h"
#include "serve/preview.h"
#include "serve/serve_commands.h"

namespace {

const char kHelp[] =
    "usage: pack preview PLAYER.exe | MANIFEST.toml [--seconds N] [--screenshot OUT.png]\n"
    "                    [--json] [--strict] [--port N] [--chromium PATH] [--ruffle DIR]\n"
    "\n"
    "Plays the package's first movie in Ruffle (an open Flash runtime) in headless\n"
    "Chromium for N seconds, every request answered by `pack serve`'s code, and\n"
    "prints each request the movie made, in order, with its answer. Ruffle is not\n"
    "the Flash Player control that the player hosts: it shows what a real movie\n"
    "asks for, and lets a package be tried where the player can't run.\n"
    "Nothing goes to the network: the browser resolves no host but the server's,\n"
    "https is answered through its DevTools connection, its profile is removed.\n"
    "\n"
    "  --seconds N          how long the movie runs (default 10)\n"
    "  --screenshot OUT.png the movie's area at the end\n"
    "  --json               {\"requests\": [{\"url\", \"method\", \"entry\", \"bytes\", \"crc32\"}],\n"
    "                       \"first_frame_ms\", ...}; entry -1: not in the package\n"
    "  --strict             exit 1 when a request went unanswered, naming it\n"
    "  --port N             the server's port (default: any free port)\n"
    "  --chromium PATH      the browser (default $TESSIVO_CHROMIUM, else chromium)\n"
    "  --ruffle DIR         the Ruffle package's folder (default: as scripts/setup\n"
    "                       installs it, or $TESSIVO_RUFFLE_DIR)\n"
    "\n"
    "Exit codes: 0 done; 1 the input can't be read, the browser or Ruffle can't\n"
    "run, interrupted, or (--strict) a request went unanswered; 2 usage error.\n"
    "Not in pack.exe.\n";

std::string crc_text(uint32_t crc) {
  char b[16];
  std::snprintf(b, sizeof b, "%08x", unsigned(crc));
  return b;
}

}  // namespace

namespace serve {

std::string preview_requests_json(const PreviewOutcome& o) {
  std::string j = "[";
  for (size_t i = 0; i < o.requests.size(); ++i) {
    const Served& s = o.requests[i];
    if (i) j += ",";
    j += "\n  {\"url\":" + json_quote(s.url) + ",\"method\":" + json_quote(s.method) +
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

int command_preview(int argc, char** argv) {
  serve::ParsedArgs args;
  std::string error;
  if (!serve::parse_args(argc, argv,
                         {{"--seconds", true}, {"--screenshot", true}, {"--json", false}, {"--strict", false},
                          {"--port", true}, {"--chromium", true}, {"--ruffle", true}},
                         &args, &error))
    return usage_error("preview", error);
  if (args.help) {
    std::fputs(kHelp, stdout);
    return 0;
  }
  if (args.positional.empty()) return usage_error("preview", "missing PLAYER.exe or MANIFEST.toml");
  if (args.positional.size() > 1) return usage_error("preview", "one player or manifest at a time");
  serve::PreviewOptions po;
  if (const std::string* v = args.value("--seconds"))
    if (!serve::parse_seconds(v->c_str(), &po.seconds))
      return usage_error("preview", "--seconds needs a number above 0, at most 3600");
  if (const std::string* v = args.value("--port"))
    if (!serve::parse_port(v->c_str(), &po.port)) return usage_error("preview", "--port needs a number from 1 to 65535");
  if (const std::string* v = args.value("--screenshot")) po.screenshot = *v;
  if (const std::string* v = args.value("--chromium")) po.chromium = *v;
  if (const std::string* v = args.value("--ruffle")) po.ruffle_dir = *v;
  bool json = args.has("--json"), strict = args.has("--strict");

  pack::PackageInput input;
  if (!input.open(args.positional[0], &error)) {
    std::fprintf(stderr, "pack: %s\n", error.c_str());
    return 1;
  }
  serve::catch_interrupts();
  serve::PreviewOutcome o;
  bool ok = serve::run_preview(input, po, &o, &error);
  reset_player_state();
  if (!ok) {
    std::fprintf(stderr, "pack preview: %s\n", error.c_str());
    return 1;
  }
  if (json) {
    std::string j = "{\"input\":" + json_quote(args.positional[0]) + ",\"start_url\":" + json_quote(o.start_url) +
                    ",\"browser\":" + json_quote(o.chromium_version) + ",\"seconds\":" + std::to_string(po.seconds) +
                    ",\"width\":" + std::to_string(o.width) + ",\"height\":" + std::to_string(o.height) +
                    ",\"first_frame_ms\":" +
                    (o.first_frame_ms < 0 ? std::string("null") : std::to_string(int64_t(o.first_frame_ms))) +
                    ",\"screenshot\":" + (o.screenshot_written ? json_quote(po.screenshot) : std::string("null")) +
                    ",\"unanswered\":" + std::to_string(o.unanswered()) + ",\"unlisted\":" + std::to_string(o.unlisted) +
                    ",\"browser_own_requests\":" + std::to_string(o.outside.size()) +
                    ",\"requests\":" + serve::preview_requests_json(o) + "}\n";
    std::fwrite(j.data(), 1, j.size(), stdout);
  } else {
    std::printf("%s in Ruffle (%s), %g s, %dx%d, start page %s\n", args.positional[0].c_str(),
                o.chromium_version.c_str(), po.seconds, o.width, o.height, o.start_url.c_str());
    std::printf("Requests, in order:\n%s", serve::preview_requests_text(o).c_str());
    if (o.first_frame_ms >= 0)
      std::printf("First frame after %lld ms.\n", (long long)o.first_frame_ms);
    else
      std::printf("No frame shown: Ruffle did not start the movie.\n");
    if (o.screenshot_written) std::printf("Screenshot: %s\n", po.screenshot.c_str());
    std::printf("%zu requests, %d not in the package.\n", o.requests.size() + o.unlisted, o.unanswered());
    if (!o.outside.empty())
      std::printf("The browser's own requests, refused: %zu (not the movie's).\n", o.outside.size());
  }
  if (strict && o.unanswered() > 0) {
    for (const serve::Served& s : o.requests)
      if (s.entry < 0) std::fprintf(stderr, "pack preview: not in the package: %s\n", s.url.c_str());
    return 1;
  }
  return 0;
}
