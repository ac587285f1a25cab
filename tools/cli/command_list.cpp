// pack list: the package inside a player.
#include <cstdio>
#include <string>

#include "cli/commands.h"
#include "cli/options.h"
#include "package/player_state.h"
#include "pack/list.h"
#include "pack/loaded_player.h"

namespace {

const cli::Help kHelp = {
    "list",
    "usage: pack list [--json] PLAYER.exe\n",
    "Prints the package inside a player: mode, nominal size, the first movie's\n"
    "FlashVars and Base, and every entry numbered from 0 as the player holds it.\n"
    "When the file ends early the player serves the entries that are whole; list\n"
    "says how many.\n",
    10,
    "Exit codes: 0 listed, 1 the player refuses the package or the file cannot\n"
    "be read, 2 usage error.\n"};

}  // namespace

const cli::Help& list_help() { return kHelp; }

int command_list(int argc, char** argv) {
  bool as_json = false;
  const char* exe = nullptr;
  const std::vector<cli::Option> table = {
      {"--json", nullptr, "the same fields as one JSON object", &as_json},
  };
  auto operand = [&](const char* a, common::Error* error) {
    if (exe) return cli::misuse(error, "one player only");
    exe = a;
    return true;
  };
  int rc = 0;
  if (!cli::parse_options(kHelp, table, argc, argv, operand, &rc)) return rc;
  if (!exe) return cli::usage_error(kHelp, "missing PLAYER.exe");
  pack::LoadedPlayer player;
  common::Error error;
  if (!player.load_exe(exe, &error)) {
    std::fprintf(stderr, "pack: %s\n", error.text().c_str());
    return 1;
  }
  if (player.declared_entries() > entry_count())
    std::fprintf(stderr, "pack: %s: the package declares %d entries, %d are present; the player serves the %d\n",
                 exe, player.declared_entries(), entry_count(), entry_count());
  const std::string s = as_json ? pack::list_json(player) : pack::list_text(player);
  std::fwrite(s.data(), 1, s.size(), stdout);
  return 0;
}
