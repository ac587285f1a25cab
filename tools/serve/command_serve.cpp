// pack serve PLAYER.exe | MANIFEST.toml [--port N] [--ruffle DIR]
#include <unistd.h>

#include <cstdio>
#include <string>

#include "pack/commands.h"
#include "package/player_state.h"
#include "pack/package_input.h"
#include "serve/chromium.h"
#include "serve/serve_commands.h"
#include "serve/option_table.h"
#include "serve/package_server.h"
#include "serve/preview.h"

namespace {

const char kHelp[] =
    "usage: pack serve PLAYER.exe | MANIFEST.toml [--port N] [--ruffle DIR]\n"
    "\n"
    "Answers web requests from the package, on 127.0.0.1 only, with the player's\n"
    "own lookup, until Ctrl-C. Use it as an HTTP proxy: a browser whose proxy is\n"
    "127.0.0.1:PORT asks it for absolute URLs, which it answers as the player\n"
    "would (a 200 with the entry's bytes and content type, or a 404 and a line\n"
    "\"not in the package: URL\" on stderr); nothing goes to the network. It also\n"
    "serves a start page in the first movie's folder, which plays the movie in\n"
    "Ruffle as the player embeds it (FlashVars, base, size, background).\n"
    "https requests reach it only through `pack preview`, whose browser hands\n"
    "them over; a browser that asks this proxy to tunnel https gets an error.\n"
    "\n"
    "  --port N      listen on port N (default: any free port, printed)\n"
    "  --ruffle DIR  the Ruffle package's folder (default: the one scripts/setup\n"
    "                installs, or $TESSIVO_RUFFLE_DIR)\n"
    "\n"
    "Exit codes: 0 stopped by Ctrl-C, 1 the input or the port can't be used,\n"
    "2 usage error. Not in pack.exe.\n";

}  // namespace

int command_serve(int argc, char** argv) {
  serve::ParsedArgs args;
  std::string error;
  if (!serve::parse_args(argc, argv, {{"--port", true}, {"--ruffle", true}}, &args, &error))
    return usage_error("serve", error);
  if (args.help) {
    std::fputs(kHelp, stdout);
    return 0;
  }
  if (args.positional.empty()) return usage_error("serve", "missing PLAYER.exe or MANIFEST.toml");
  if (args.positional.size() > 1) return usage_error("serve", "one player or manifest at a time");
  int port = 0;
  if (const std::string* p = args.value("--port"))
    if (!serve::parse_port(p->c_str(), &port)) return usage_error("serve", "--port needs a number from 1 to 65535");
  serve::ServerOptions so;
  if (!serve::find_ruffle(args.value("--ruffle") ? *args.value("--ruffle") : "", &so.ruffle_dir, &error)) {
    std::fprintf(stderr, "pack serve: note: %s; the start page will not play\n", error.c_str());
    so.ruffle_dir.clear();
  }
  so.print_served = true;
  pack::PackageInput input;
  if (!input.open(args.positional[0], &error)) {
    std::fprintf(stderr, "pack: %s\n", error.c_str());
    return 1;
  }
  serve::catch_interrupts();
  int rc = 0;
  {
    serve::PackageServer server(input, so);
    if (!server.start(port, &error)) {
      std::fprintf(stderr, "pack serve: %s\n", error.c_str());
      rc = 1;
    } else {
      std::printf("Serving %s on 127.0.0.1:%d (Ctrl-C stops).\n"
                  "Set a browser's HTTP proxy to 127.0.0.1:%d and open %s\n",
                  args.positional[0].c_str(), server.port(), server.port(), server.start_url().c_str());
      std::fflush(stdout);
      while (!serve::interrupted()) usleep(100000);
      server.stop();
      size_t n = server.served().size() + server.unlisted();
      std::printf("Stopped after %zu requests.\n", n);
    }
  }
  reset_player_state();
  return rc;
}
