// pack: makes Tessivo player executables from captured files, and reads them.
#include <cstdio>
#include <cstring>

#include "commands.h"

namespace {

const char kUsage[] =
    "Usage: pack COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  build --stub STUB.exe -o OUT.exe MANIFEST.toml\n"
    "        Appends the package that MANIFEST describes to the player stub.\n"
    "  list PLAYER.exe\n"
    "        Prints the package inside a player executable.\n"
    "  explain PLAYER.exe URL [--post BODY | --post-file FILE] [--json]\n"
    "        Tells what the player would answer for a request, and why.\n"
    "  audit PLAYER.exe | MANIFEST.toml [--json] [--strict]\n"
    "        Lists the files the packaged movies name and what the player answers.\n"
    "\n"
    "A manifest (TOML, paths relative to the manifest's folder):\n"
    "\n"
    "  mode = \"page\"            # \"page\", \"page-post\" (requests keyed by POST body) or \"video\"\n"
    "  width = 640               # nominal video size in pixels (0 or absent: none)\n"
    "  height = 480\n"
    "  flash_vars = \"lang=en\"    # FlashVars and Base of the first movie (optional)\n"
    "  base = \"http://example.test/site/\"\n"
    "\n"
    "  [[entry]]                 # the first entry is the first movie\n"
    "  url = \"http://example.test/site/main.swf\"\n"
    "  content_type = \"application/x-shockwave-flash\"\n"
    "  file = \"main.swf\"\n"
    "\n"
    "  [[entry]]\n"
    "  url = \"http://example.test/site/data.php\"\n"
    "  alternate_url = \"http://example.test/site/data.php?v=2\"\n"
    "  post_body = \"id=5\"        # or post_body_file = \"body.bin\", or post_key = \"aWQ9NQ==\"\n"
    "  content_type = \"text/xml\"\n"
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
    "  pack build --stub tessivo-stub.exe -o intro.exe capture/manifest.toml\n"
    "  pack list intro.exe\n";

struct Command {
  const char* name;
  int (*run)(int argc, char** argv);
};

const Command kCommands[] = {
    {"build", command_pack},
    {"list", command_list},
    {"explain", command_explain},
    {"audit", command_audit},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") ||
      !std::strcmp(argv[1], "help")) {
    std::fputs(kUsage, argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  for (const Command& c : kCommands)
    if (!std::strcmp(argv[1], c.name)) return c.run(argc - 2, argv + 2);
  std::fprintf(stderr, "pack: unknown command \"%s\" (try pack --help)\n", argv[1]);
  return 2;
}
