// pack serve: the package behind a local web server.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "cli/commands.h"
#include "cli/options.h"
#include "common/error.h"
#include "package/player_state.h"
#include "pack/loaded_player.h"
#include "serve/chromium.h"
#include "serve/package_server.h"
#include "serve/preview.h"

namespace {

const cli::Help kHelp = {
    "serve",
    "usage: pack serve PLAYER.exe | MANIFEST.toml [--port N] [--ruffle DIR]\n"
    "       pack serve PLAYER.exe --browser-mode [--port N]\n",
    "Answers web requests from the package, on 127.0.0.1 only, with the player's\n"
    "own lookup, until Ctrl-C. It is an HTTP proxy: a browser whose proxy is\n"
    "127.0.0.1:PORT asks it for absolute URLs, which it answers as the player\n"
    "would (a 200 with the entry's bytes and content type, or a 404 and a line\n"
    "\"not in the package: URL\" on stderr); nothing goes to the network.\n"
    "Entries are streamed; one byte range gets a 206, several the whole entry.\n"
    "A request without an absolute URL is answered only under the server's own\n"
    "name (Host 127.0.0.1:PORT), else 421; only the start page's origin may read\n"
    "answers from a script. Limits: POST bodies 1 MiB (413), request line and\n"
    "headers 64 KiB (414, 431), 100 header fields (431), 10 s to send a request\n"
    "(an idle kept-alive connection closes then), 15 s with nothing moving,\n"
    "1,000 connections. It also serves a start page in the first movie's folder\n"
    "that plays the movie in Ruffle as the player embeds it (FlashVars, base,\n"
    "size, background).\n"
    "https reaches it only through `pack preview`, whose browser hands those\n"
    "requests over; a browser that asks this proxy to tunnel https gets an error.\n"
    "With --browser-mode it serves a player as the player serves itself to its\n"
    "user's browser where no Flash control is installed: the start page and\n"
    "Ruffle that the player carries, at http://127.0.0.1:PORT/TOKEN/ (printed),\n"
    "and each request of the movie as TOKEN/req?URL, answered by the same lookup.\n",
    16,
    "Exit codes: 0 stopped by Ctrl-C; 1 the input or the port can't be used;\n"
    "2 usage error. The Linux pack only: pack.exe has no serve.\n"};

}  // namespace

const cli::Help& serve_help() { return kHelp; }

int command_serve(int argc, char** argv) {
  const char* input = nullptr;
  std::string port_text, ruffle;
  bool browser_mode = false;
  const std::vector<cli::Option> table = {
      {"--port", "N", "listen on port N (default: any free port, printed)", nullptr, &port_text, "needs a number"},
      {"--ruffle", "DIR", "the Ruffle package's folder (default: as scripts/setup\ninstalls it, or $TESSIVO_RUFFLE_DIR)",
       nullptr, &ruffle, "needs a folder"},
      {"--browser-mode", nullptr, "serve the player's own start page and Ruffle to any\nbrowser, as the player does", &browser_mode},
  };
  int rc = 0;
  if (!cli::parse_options(kHelp, table, argc, argv, cli::one_input(&input), &rc)) return rc;
  if (!input) return cli::usage_error(kHelp, "missing PLAYER.exe or MANIFEST.toml");
  int port = 0;
  if (!port_text.empty() && !cli::parse_count(port_text, 1, 65535, &port))
    return cli::usage_error(kHelp, "--port needs a number from 1 to 65535");
  common::Error error;
  serve::ServerOptions so;
  so.browser_mode = browser_mode;
  if (browser_mode && !ruffle.empty()) return cli::usage_error(kHelp, "--browser-mode serves the player's own Ruffle, not --ruffle");
  if (!browser_mode && !serve::find_ruffle(ruffle, &so.ruffle_dir, &error)) {
    std::fprintf(stderr, "pack serve: note: %s; the start page will not play\n", error.text().c_str());
    so.ruffle_dir.clear();
  }
  so.print_served = true;
  pack::LoadedPlayer player;
  common::Error load_error;
  if (!load_player_or_manifest(&player, input, &load_error)) {
    std::fprintf(stderr, "pack: %s\n", load_error.text().c_str());
    return 1;
  }
  if (browser_mode && runtime_file_count() == 0) {
    std::fprintf(stderr, "pack serve: %s carries no browser runtime (a manifest, or a player built with --no-browser)\n", input);
    return 1;
  }
  serve::catch_interrupts();
  serve::PackageServer server(player, so);
  if (!server.start(port, &error)) {
    std::fprintf(stderr, "pack serve: %s\n", error.text().c_str());
    return 1;
  }
  common::Error why;
  if (!server.playable(&why))
    std::fprintf(stderr, "pack serve: note: %s; the start page will not play\n", why.text().c_str());
  if (browser_mode)
    std::printf("Serving %s on 127.0.0.1:%d (Ctrl-C stops).\nOpen %s\n", input, server.port(),
                server.start_url().c_str());
  else
    std::printf("Serving %s on 127.0.0.1:%d (Ctrl-C stops).\n"
                "Set a browser's HTTP proxy to 127.0.0.1:%d and open %s\n",
                input, server.port(), server.port(), server.start_url().c_str());
  std::fflush(stdout);
  while (!serve::interrupted()) usleep(100000);
  server.stop();
  std::printf("Stopped after %zu requests.\n", server.served().size() + server.unlisted());
  return 0;
}
