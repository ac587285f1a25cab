// pack build: a player from a manifest.
#include <cstdio>
#include <string>

#include "cli/commands.h"
#include "cli/options.h"
#include "pack/build.h"
#include "pack/manifest.h"

namespace {

const cli::Help kHelp = {
    "build",
    "usage: pack build [--stub STUB.exe] [--strict] [--no-browser] -o OUT.exe MANIFEST.toml\n",
    "Makes a player: the stub followed by the package that MANIFEST describes\n"
    "(see pack --help for the manifest). Every problem is reported with the\n"
    "manifest's line before anything is written.\n",
    18,
    "Exit codes: 0 written (perhaps with warnings), 1 refused or failed,\n"
    "2 usage error.\n"};

}  // namespace

const cli::Help& build_help() { return kHelp; }

int command_build(int argc, char** argv) {
  pack::BuildOptions options;
  std::string manifest;
  bool no_browser = false;
  const std::vector<cli::Option> table = {
      {"-o, --output", "OUT.exe",
       "the player to write; it is written whole or not at all,\nand may not be one of the inputs", nullptr,
       &options.out_path, "needs a file name"},
      {"--stub", "STUB.exe", "another player stub than the one this packer carries", nullptr,
       &options.stub_path, "needs a file name"},
      {"--strict", nullptr, "warnings refuse the build too", &options.strict},
      cli::no_browser_option(&no_browser),
  };
  auto operand = [&](const char* a, common::Error* error) {
    if (!manifest.empty()) return cli::misuse(error, std::string("one manifest only; \"") + a + "\" is a second");
    manifest = a;
    return true;
  };
  int rc = 0;
  if (!cli::parse_options(kHelp, table, argc, argv, operand, &rc)) return rc;
  if (options.out_path.empty()) return cli::usage_error(kHelp, "missing -o OUT.exe");
  if (manifest.empty()) return cli::usage_error(kHelp, "missing MANIFEST.toml");

  pack::Package package;
  common::Error error;
  if (!pack::read_manifest(manifest, &package, &error)) {
    std::fprintf(stderr, "%s\n", error.text().c_str());
    return 1;
  }
  options.source = manifest;
  options.browser = !no_browser;
  options.inputs = {{manifest, "the manifest"}};
  pack::BuildResult result;
  common::Progress progress("pack build", 0);
  options.progress = &progress;
  const bool built = pack::build_player_file(std::move(package), options, &result, &error);
  if (built) progress.finish();
  for (const pack::Note& n : result.notes) std::fputs(pack::format_note(options.source, n).c_str(), stderr);
  if (!built) {
    std::fprintf(stderr, "pack: %s\n", error.text().c_str());
    return 1;
  }
  std::printf("%s: %lld bytes, %s\n", options.out_path.c_str(), static_cast<long long>(result.size),
              result.contents.c_str());
  return 0;
}
