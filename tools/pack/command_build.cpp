// pack build [--stub STUB.exe] [--strict] -o OUT.exe MANIFEST.toml
#include <cstdio>
#include <cstring>
#include <string>

#include "build.h"
#include "commands.h"
#include "manifest.h"

namespace {

const char kHelp[] =
    "usage: pack build [--stub STUB.exe] [--strict] -o OUT.exe MANIFEST.toml\n"
    "\n"
    "Makes a player: the stub followed by the package that MANIFEST describes\n"
    "(see pack --help for the manifest). Every problem is reported with the\n"
    "manifest's line before anything is written.\n"
    "\n"
    "  -o, --output OUT.exe\n"
    "                  the player to write; it is written whole or not at all,\n"
    "                  and may not be one of the inputs\n"
    "  --stub STUB.exe another player stub than the one this packer carries\n"
    "  --strict        warnings refuse the build too\n"
    "\n"
    "Exit codes: 0 written (perhaps with warnings), 1 refused or failed,\n"
    "2 usage error.\n";

}  // namespace

int usage_error(const char* command, const std::string& message) {
  std::fprintf(stderr, "pack %s: %s (see pack %s --help)\n", command, message.c_str(), command);
  return 2;
}

bool is_help(const char* arg) { return !std::strcmp(arg, "--help") || !std::strcmp(arg, "-h"); }

int command_build(int argc, char** argv) {
  pack::BuildOptions options;
  std::string manifest;
  for (int i = 0; i < argc; ++i) {
    const char* a = argv[i];
    if (is_help(a)) {
      std::fputs(kHelp, stdout);
      return 0;
    }
    const bool out = !std::strcmp(a, "-o") || !std::strcmp(a, "--output");
    if (out || !std::strcmp(a, "--stub")) {
      if (i + 1 >= argc) return usage_error("build", std::string(a) + " needs a file name");
      (out ? options.out_path : options.stub_path) = argv[++i];
    } else if (!std::strcmp(a, "--strict")) {
      options.strict = true;
    } else if (a[0] == '-' && a[1]) {
      return usage_error("build", std::string("unknown option ") + a);
    } else if (!manifest.empty()) {
      return usage_error("build", std::string("one manifest only; \"") + a + "\" is a second");
    } else {
      manifest = a;
    }
  }
  if (options.out_path.empty()) return usage_error("build", "missing -o OUT.exe");
  if (manifest.empty()) return usage_error("build", "missing MANIFEST.toml");

  pack::Package package;
  std::string error;
  if (!pack::read_manifest(manifest, &package, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  options.source = manifest;
  options.manifest_path = manifest;
  return pack::build_player_file(std::move(package), options);
}
