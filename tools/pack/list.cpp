#include "pack/list.h"

#include "common/json.h"
#include "common/utf.h"
#include "package/flash_version.h"
#include "package/player_state.h"
#include "pack/explain.h"
#include "pack/manifest.h"

namespace pack {
namespace {

using common::json_quote;
using common::utf16_to_utf8;

std::string show(const char16_t* s) { return s ? "\"" + utf16_to_utf8(s) + "\"" : "-"; }
std::string json(const char16_t* s) { return s ? json_quote(utf16_to_utf8(s)) : "null"; }

std::string entry_text(int32_t i, const ResourceEntry& e) {
  std::string s = "\n[" + std::to_string(i) + "]\n";
  s += "  url: " + show(e.url) + "\n";
  s += "  alternate url: " + show(e.alternate_url) + "\n";
  s += "  post key: " + std::string(e.post_key ? e.post_key : "-") + "\n";
  s += "  content type: " + show(e.content_type) + "\n";
  s += "  size: " + std::to_string(e.size) + "\n";
  s += "  data offset: " + std::to_string(e.data_offset) + "\n";
  return s;
}

std::string entry_json(int32_t i, const ResourceEntry& e) {
  return std::string(i ? "," : "") + "{\"index\":" + std::to_string(i) + ",\"url\":" + json(e.url) +
         ",\"alternate_url\":" + json(e.alternate_url) +
         ",\"post_key\":" + (e.post_key ? json_quote(e.post_key) : "null") +
         ",\"content_type\":" + json(e.content_type) + ",\"size\":" + std::to_string(e.size) +
         ",\"data_offset\":" + std::to_string(e.data_offset) + "}";
}

}  // namespace

std::string list_text(const LoadedPlayer& player) {
  const int32_t declared = player.declared_entries();
  std::string s = "mode: " + std::to_string(playback_mode()) + " (" + mode_name(playback_mode()) + ")\n";
  s += "nominal size: " + std::to_string(nominal_width()) + " x " + std::to_string(nominal_height()) + "\n";
  s += "first movie: " + required_player_text() + "\n";
  s += "flash vars: " + show(flash_vars()) + "\n";
  s += "base: " + show(movie_base()) + "\n";
  s += "entries: " + std::to_string(entry_count());
  if (declared > entry_count()) s += " (the package declares " + std::to_string(declared) + ")";
  s += "\n";
  for (int32_t i = 0; i < entry_count(); ++i) s += entry_text(i, resource_table()[i]);
  return s;
}

std::string list_json(const LoadedPlayer& player) {
  std::string s = "{\"mode\":" + std::to_string(playback_mode());
  s += ",\"mode_name\":\"" + std::string(mode_name(playback_mode())) + "\"";
  s += ",\"width\":" + std::to_string(nominal_width()) + ",\"height\":" + std::to_string(nominal_height());
  s += ",\"required_player_version\":" + std::to_string(required_swf_version());
  s += required_player_json();
  s += ",\"flash_vars\":" + json(flash_vars()) + ",\"base\":" + json(movie_base());
  s += ",\"declared_entries\":" + std::to_string(player.declared_entries()) + ",\"entries\":[";
  for (int32_t i = 0; i < entry_count(); ++i) s += entry_json(i, resource_table()[i]);
  return s + "]}\n";
}

}  // namespace pack
