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

bool is_licence(const char16_t* name) {
  const std::string n = utf16_to_utf8(name);
  return n.compare(0, 7, "LICENSE") == 0 || n.compare(0, 7, "LICENCE") == 0 || n.compare(0, 7, "COPYING") == 0;
}

std::string runtime_text() {
  if (!runtime_file_count()) return "browser runtime: none\n";
  int64_t bytes = 0;
  std::string licences;
  for (int32_t i = 0; i < runtime_file_count(); ++i) {
    const RuntimeFile& f = *runtime_file(i);
    bytes += f.size;
    if (is_licence(f.name)) licences += (licences.empty() ? "" : ", ") + utf16_to_utf8(f.name);
  }
  std::string s = "browser runtime: " + show(runtime_description()) + ", " + std::to_string(runtime_file_count()) +
                  " files, " + std::to_string(bytes) + " bytes; licences: " + (licences.empty() ? "-" : licences) +
                  "\n";
  for (int32_t i = 0; i < runtime_file_count(); ++i) {
    const RuntimeFile& f = *runtime_file(i);
    s += "  " + utf16_to_utf8(f.name) + ": " + std::to_string(f.size) + " bytes, " + utf16_to_utf8(f.content_type) +
         (f.coding[0] ? ", " + utf16_to_utf8(f.coding) : std::string()) + ", at " + std::to_string(f.data_offset) +
         "\n";
  }
  return s;
}

std::string runtime_json() {
  if (!runtime_file_count()) return ",\"browser_runtime\":null";
  std::string licences, files;
  for (int32_t i = 0; i < runtime_file_count(); ++i) {
    const RuntimeFile& f = *runtime_file(i);
    if (is_licence(f.name)) licences += (licences.empty() ? "" : ",") + json(f.name);
    files += std::string(i ? "," : "") + "{\"name\":" + json(f.name) + ",\"content_type\":" + json(f.content_type) +
             ",\"coding\":" + json(f.coding) + ",\"size\":" + std::to_string(f.size) +
             ",\"data_offset\":" + std::to_string(f.data_offset) + "}";
  }
  return ",\"browser_runtime\":{\"description\":" + json(runtime_description()) + ",\"licences\":[" + licences +
         "],\"files\":[" + files + "]}";
}

}  // namespace

std::string list_text(const LoadedPlayer& player) {
  const int32_t declared = player.declared_entries();
  std::string s = "mode: " + std::to_string(playback_mode()) + " (" + mode_name(playback_mode()) + ")\n";
  s += "nominal size: " + std::to_string(nominal_width()) + " x " + std::to_string(nominal_height()) + "\n";
  s += "first movie: " + required_player_text() + "\n";
  s += "flash vars: " + show(flash_vars()) + "\n";
  s += "base: " + show(movie_base()) + "\n";
  s += runtime_text();
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
  s += runtime_json();
  s += ",\"declared_entries\":" + std::to_string(player.declared_entries()) + ",\"entries\":[";
  for (int32_t i = 0; i < entry_count(); ++i) s += entry_json(i, resource_table()[i]);
  return s + "]}\n";
}

}  // namespace pack
