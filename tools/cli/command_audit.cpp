// pack audit PLAYER.exe | MANIFEST.toml [--json] [--strict]
#include <cstdio>
#include <string>

#include "cli/commands.h"
#include "cli/options.h"
#include "common/utf.h"
#include "pack/audit.h"
#include "pack/loaded_player.h"

namespace {

const cli::Help kHelp = {
    "audit",
    "usage: pack audit PLAYER.exe | MANIFEST.toml [--json] [--strict]\n",
    "Lists the files that the packaged movies name and what the player answers for each.\n",
    12,
    "Exit codes: 0 done; 1 when the input can't be read or, with --strict, when a\n"
    "likely request is not answered; 2 usage error.\n"};

bool is_manifest(const std::string& path) {
  return path.size() >= 5 && common::ascii_lower(path.substr(path.size() - 5)) == ".toml";
}

}  // namespace

int command_audit(int argc, char** argv) {
  const char* input = nullptr;
  bool json = false, strict = false;
  const std::vector<cli::Option> table = {
      {"--json", nullptr, "the same as one JSON object", &json},
      {"--strict", nullptr, "exit with 1 when a likely request is not answered", &strict},
  };
  auto operand = [&](const char* a) -> std::string {
    if (input) return "one player or manifest at a time";
    input = a;
    return "";
  };
  int rc = 0;
  if (!cli::parse_options(kHelp, table, argc, argv, operand, &rc)) return rc;
  if (!input) return cli::usage_error("audit", "no player or manifest given");
  pack::LoadedPlayer player;
  common::Error error;
  if (!(is_manifest(input) ? player.load_manifest(input, &error) : player.load_exe(input, &error))) {
    std::fprintf(stderr, "pack: %s\n", error.text().c_str());
    return 1;
  }
  pack::AuditResult result = pack::audit_package(
      [&player](int32_t i, size_t max, std::string* out) { return player.read_entry(i, max, out); });
  std::string out = json ? pack::audit_json(result) : pack::audit_text(result);
  std::fwrite(out.data(), 1, out.size(), stdout);
  return strict && result.unanswered > 0 ? 1 : 0;
}
