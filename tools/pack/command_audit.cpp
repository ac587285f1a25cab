// pack audit PLAYER.exe | MANIFEST.toml [--json] [--strict]
#include <cstdio>
#include <cstring>
#include <string>

#include "audit.h"
#include "commands.h"
#include "package/player_state.h"
#include "package_input.h"

namespace {

const char kUsage[] =
    "usage: pack audit PLAYER.exe | MANIFEST.toml [--json] [--strict]\n"
    "Lists the files that the packaged movies name and what the player answers for each.\n"
    "Exit code: 0; 1 when the input can't be read or, with --strict, when a likely\n"
    "request is not answered; 2 for a usage error.\n";

}  // namespace

int command_audit(int argc, char** argv) {
  const char* input = nullptr;
  bool json = false, strict = false;
  for (int i = 0; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--json")) {
      json = true;
    } else if (!std::strcmp(argv[i], "--strict")) {
      strict = true;
    } else if (is_help(argv[i])) {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (argv[i][0] == '-') {
      return usage_error("audit", "unknown option \"" + std::string(argv[i]) + "\"");
    } else if (input) {
      return usage_error("audit", "one player or manifest at a time");
    } else {
      input = argv[i];
    }
  }
  if (!input) return usage_error("audit", "no player or manifest given");
  std::string error;
  pack::PackageInput package;
  if (!package.open(input, &error)) {
    std::fprintf(stderr, "pack: %s\n", error.c_str());
    return 1;
  }
  pack::EntryReader reader = [&package](int32_t i, size_t max, std::string* out) {
    return package.read(i, 0, max, out);
  };
  pack::AuditResult result = pack::audit_package(reader);
  std::string out = json ? pack::audit_json(result) : pack::audit_text(result);
  std::fwrite(out.data(), 1, out.size(), stdout);
  reset_player_state();
  return strict && result.unanswered > 0 ? 1 : 0;
}
