// pack list [--json] PLAYER.exe
#include <cstdio>
#include <cstring>
#include <string>

#include "commands.h"
#include "explain_request.h"
#include "file_source.h"
#include "manifest.h"
#include "package/flash_version.h"
#include "package/player_state.h"
#include "utf.h"

namespace {

const char kHelp[] =
    "usage: pack list [--json] PLAYER.exe\n"
    "\n"
    "Prints the package inside a player: mode, nominal size, the first movie's\n"
    "FlashVars and Base, and every entry numbered from 0 as the player holds it.\n"
    "When the file ends early the player serves the entries that are whole; list\n"
    "says how many.\n"
    "\n"
    "  --json  the same fields as one JSON object\n"
    "\n"
    "Exit codes: 0 listed, 1 the player refuses the package or the file cannot\n"
    "be read, 2 usage error.\n";

std::string show(const char16_t* s) { return s ? "\"" + utf16_to_utf8(s) + "\"" : "-"; }
std::string json(const char16_t* s) { return s ? json_quote(utf16_to_utf8(s)) : "null"; }

}  // namespace

int command_list(int argc, char** argv) {
  bool as_json = false;
  const char* exe = nullptr;
  for (int i = 0; i < argc; ++i) {
    if (is_help(argv[i])) {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (!std::strcmp(argv[i], "--json")) as_json = true;
    else if (argv[i][0] == '-' && argv[i][1]) return usage_error("list", std::string("unknown option ") + argv[i]);
    else if (exe) return usage_error("list", "one player only");
    else exe = argv[i];
  }
  if (!exe) return usage_error("list", "missing PLAYER.exe");
  std::string error;
  if (!load_player_exe(exe, &error)) {
    std::fprintf(stderr, "pack: %s\n", error.c_str());
    return 1;
  }
  const int32_t declared = playback_mode() == PLAYBACK_VIDEO ? entry_count() : declared_entry_count(exe);
  if (declared > entry_count())
    std::fprintf(stderr, "pack: %s: the package declares %d entries, %d are present; the player serves the %d\n",
                 exe, declared, entry_count(), entry_count());
  std::string s;
  if (as_json) {
    s += "{\"mode\":" + std::to_string(playback_mode());
    s += ",\"mode_name\":\"" + std::string(pack::mode_name(playback_mode())) + "\"";
    s += ",\"width\":" + std::to_string(nominal_width()) + ",\"height\":" + std::to_string(nominal_height());
    s += ",\"required_player_version\":" + std::to_string(required_swf_version());
    s += required_player_json();
    s += ",\"flash_vars\":" + json(flash_vars()) + ",\"base\":" + json(movie_base());
    s += ",\"declared_entries\":" + std::to_string(declared) + ",\"entries\":[";
  } else {
    s += "mode: " + std::to_string(playback_mode()) + " (" + pack::mode_name(playback_mode()) + ")\n";
    s += "nominal size: " + std::to_string(nominal_width()) + " x " + std::to_string(nominal_height()) + "\n";
    s += "first movie: " + required_player_text() + "\n";
    s += "flash vars: " + show(flash_vars()) + "\n";
    s += "base: " + show(movie_base()) + "\n";
    s += "entries: " + std::to_string(entry_count());
    if (declared > entry_count()) s += " (the package declares " + std::to_string(declared) + ")";
    s += "\n";
  }
  for (int32_t i = 0; i < entry_count(); ++i) {
    const ResourceEntry& e = resource_table()[i];
    if (as_json) {
      s += std::string(i ? "," : "") + "{\"index\":" + std::to_string(i) + ",\"url\":" + json(e.url) +
           ",\"alternate_url\":" + json(e.alternate_url) +
           ",\"post_key\":" + (e.post_key ? json_quote(e.post_key) : "null") +
           ",\"content_type\":" + json(e.content_type) + ",\"size\":" + std::to_string(e.size) +
           ",\"data_offset\":" + std::to_string(e.data_offset) + "}";
    } else {
      s += "\n[" + std::to_string(i) + "]\n";
      s += "  url: " + show(e.url) + "\n";
      s += "  alternate url: " + show(e.alternate_url) + "\n";
      s += "  post key: " + std::string(e.post_key ? e.post_key : "-") + "\n";
      s += "  content type: " + show(e.content_type) + "\n";
      s += "  size: " + std::to_string(e.size) + "\n";
      s += "  data offset: " + std::to_string(e.data_offset) + "\n";
    }
  }
  if (as_json) s += "]}\n";
  std::fwrite(s.data(), 1, s.size(), stdout);
  reset_player_state();
  return 0;
}
