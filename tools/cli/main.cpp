// pack: makes Tessivo player executables from captured files, and reads them.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#endif

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/drop.h"
#include "cli/options.h"
#include "common/sha.h"
#include "common/utf.h"
#include "pack/stub/carried_movies.h"
#include "pack/stub/carried_ruffle.h"
#include "pack/stub/carried_stub.h"

namespace {

int command_version(int, char**) {
  std::printf("pack %s\n", TESSIVO_PACK_VERSION);
  if (pack::carried_stub_size() == 0)
    std::printf("carried stub: none (give --stub to build)\n");
  else
    std::printf("carried stub: %zu bytes, sha256 %s\n", pack::carried_stub_size(),
                common::sha256_hex(pack::carried_stub_data(), pack::carried_stub_size()).c_str());
  std::printf("carried video player movie: %zu bytes, skin: %zu bytes\n", pack::carried_player_movie().size,
              pack::carried_skin_movie().size);
  // What players carry for their user's browser unless built with --no-browser.
  size_t bytes = 0;
  std::string licences;
  for (size_t i = 0; i < pack::kCarriedRuffleFiles; ++i) {
    const pack::CarriedFile& f = pack::carried_ruffle()[i];
    bytes += f.size;
    if (!std::strncmp(f.name, "LICENSE", 7)) licences += (licences.empty() ? "" : ", ") + std::string(f.name);
  }
  std::printf("carried browser runtime: %s, %zu bytes; licences: %s\n", pack::carried_ruffle_description(), bytes,
              licences.c_str());
  return 0;
}

#ifndef TESSIVO_HAVE_SERVE
int command_linux_only(int, char**) {
  std::fprintf(stderr, "pack: serve and preview are in the Linux pack only, not in this build\n");
  return 1;
}
#endif

struct Command {
  const char* name;
  int (*run)(int argc, char** argv);
  const cli::Help& (*help)();  // its usage; null: synopsis instead
  const char* synopsis;        // for pack --help when no help; null: not listed there
  const char* summary;         // lines joined by '\n'
};

// One row per command.
const Command kCommands[] = {
    {"build", command_build, build_help, nullptr,
     "Makes a player: the package that MANIFEST describes, appended to the\n"
     "player stub this packer carries (or to STUB.exe)."},
    {"list", command_list, list_help, nullptr, "Prints the package inside a player."},
    {"explain", command_explain, explain_help, nullptr, "Tells what the player would answer for a request, and why."},
    {"import", command_import, import_help, nullptr,
     "Makes a player from captures of a site (pack import --help lists the\nformats it reads)."},
    {"audit", command_audit, audit_help, nullptr,
     "Lists the files the packaged movies name and what the player answers;\n"
     "--run merges what the movie asks for in Ruffle (Linux pack only)."},
    {"video", command_video, video_help, nullptr,
     "Makes a video player from one FLV with the carried player and skin."},
#ifdef TESSIVO_HAVE_SERVE
    {"serve", command_serve, serve_help, nullptr,
     "Answers web requests from the package on 127.0.0.1, as an HTTP proxy\n(Linux pack only)."},
    {"preview", command_preview, preview_help, nullptr,
     "Plays the first movie in Ruffle in headless Chromium and lists every\nrequest it made with its answer (Linux pack only)."},
#else
    {"serve", command_linux_only, nullptr, "and preview: not in this build",
     "serve, preview and audit --run are in the Linux pack only."},
    {"preview", command_linux_only, nullptr, nullptr, nullptr},
#endif
    {"fetch", command_fetch, fetch_help, nullptr,
     "Makes a player straight from a web archive, finding what the movie asks\nfor (pack fetch --help)."},
    {"--version", command_version, nullptr, nullptr, nullptr},
};

// After the commands in pack --help.
const char kUsageTail[] =
    "\n"
    "  pack --version   the packer's version and the stub it carries\n"
    "  pack FILE...     no command, as when files are dropped on pack.exe: captures\n"
    "                   are imported into a player beside the first (site.warc.gz:\n"
    "                   site.exe, or site (2).exe ...), a manifest is built, a\n"
    "                   player is listed and audited\n"
    "\n"
    "Page modes (choose one per player):\n"
    "  page       the player serves a request only when an entry stores exactly\n"
    "             its URL (letter case aside); POST bodies are ignored.\n"
    "  page-post  also joins relative requests to the base URL and walks up its\n"
    "             folders, takes the best match when no URL is equal (same\n"
    "             folder, most query values alike, other host) and tells POST\n"
    "             requests apart by their bodies. Recommended for captures.\n"
    "  video      a video player movie, its skin and one FLV; no entries.\n"
    "\n"
    "A manifest (TOML, paths relative to the manifest's folder):\n"
    "\n"
    "  mode = \"page-post\"        # see the page modes above\n"
    "  width = 640               # nominal video size in pixels, at most 32767 (0 or absent: none)\n"
    "  height = 480\n"
    "  flash_vars = \"lang=en\"    # FlashVars and Base of the first movie (optional)\n"
    "  base = \"http://example.test/site/\"\n"
    "\n"
    "  [[entry]]                 # entry 0 is the first movie (a SWF file)\n"
    "  url = \"http://example.test/site/main.swf\"\n"
    "  file = \"main.swf\"         # content type from the extension when none is given\n"
    "\n"
    "  [[entry]]\n"
    "  url = \"http://example.test/site/data.php\"\n"
    "  alternate_url = \"http://example.test/site/data.php?v=2\"\n"
    "  post_body = \"id=5\"        # or post_body_file = \"body.bin\", or post_key = \"aWQ9NQ==\" (base64)\n"
    "  content_type = \"text/xml\" # \"\" for none\n"
    "  file = \"data-5.xml\"\n"
    "\n"
    "A video manifest:\n"
    "\n"
    "  mode = \"video\"\n"
    "  width = 640\n"
    "  height = 480\n"
    "  [video]\n"
    "  player = \"player.swf\"\n"
    "  skin = \"skin.swf\"\n"
    "  flv = \"movie.flv\"\n"
    "\n"
    "Example:\n"
    "  pack build -o intro.exe capture/manifest.toml\n"
    "  pack list intro.exe\n"
    "\n"
    "Exit codes: 0 done, 1 refused or failed (explain: also when the player\n"
    "answers with nothing), 2 usage error.\n";

std::string usage() {
  std::string s = "usage: pack COMMAND [ARGS]   (pack COMMAND --help for each)\n\nCommands:\n";
  for (const Command& c : kCommands) {
    if (!c.help && !c.synopsis) continue;
    s += std::string("  ") + c.name + " " + (c.help ? cli::synopsis(c.help()) : c.synopsis) + "\n        ";
    for (const char* p = c.summary; *p; ++p) s += *p == '\n' ? std::string("\n        ") : std::string(1, *p);
    s += "\n";
  }
  return s + kUsageTail;
}

int run(int argc, char** argv) {
  // Started by Explorer: a double click gives no arguments, a drop gives paths.
  if (argc < 2 && cli::console_is_own()) {
    std::fputs(cli::drop_help().c_str(), stdout);
    cli::wait_if_own_console();
    return 0;
  }
  if (argc < 2 || cli::is_help(argv[1]) || !std::strcmp(argv[1], "help")) {
    std::fputs(usage().c_str(), argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  for (const Command& c : kCommands)
    if (!std::strcmp(argv[1], c.name)) return c.run(argc - 2, argv + 2);
  if (cli::is_drop(argc, argv)) {
    int code = cli::run_drop(argc, argv);
    cli::wait_if_own_console();
    return code;
  }
  std::fprintf(stderr, "pack: unknown command \"%s\" (see pack --help)\n", argv[1]);
  return 2;
}

// As git's run_builtin: output that could not be written is a failure, never 0.
int check_output(int rc) {
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return rc;
  std::fprintf(stderr, "pack: cannot write the output: %s\n", std::strerror(errno));
  return rc ? rc : 1;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  // Arguments as UTF-8 from the wide command line, whatever the code page.
  std::vector<std::string> utf8;
  int wargc = 0;
  if (wchar_t** wargv = CommandLineToArgvW(GetCommandLineW(), &wargc)) {
    for (int i = 0; i < wargc; ++i) utf8.push_back(common::narrow(wargv[i]));
    LocalFree(wargv);
  }
  std::vector<char*> args;
  for (std::string& a : utf8) args.push_back(&a[0]);
  args.push_back(nullptr);
  if (wargc > 0) {
    argc = wargc;
    argv = args.data();
  }
#endif
  cli::use_utf8_console();
  return check_output(run(argc, argv));
}
