#include "cli/drop.h"

#include <cstdio>
#include <cstring>

#include "cli/commands.h"
#include "common/paths.h"
#include "common/utf.h"
#include "import/formats.h"

namespace cli {
namespace {

using common::ascii_lower;
using common::folder_of;
using common::path_kind;
using common::PathKind;

bool ends_with(const std::string& s, const char* tail) {
  size_t n = std::strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

bool is_separator(char c) {
#ifdef _WIN32
  return c == '/' || c == '\\';
#else
  return c == '/';
#endif
}

std::string last_name(std::string path) {
  while (path.size() > 1 && is_separator(path.back())) path.pop_back();
  size_t k = path.size();
  while (k > 0 && !is_separator(path[k - 1]) && !(k == 2 && path[1] == ':')) --k;
  return path.substr(k);
}

// The folder of path and a separator, ready to take a name ("" for the current folder).
std::string folder_prefix(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && is_separator(trimmed.back())) trimmed.pop_back();
  std::string folder = folder_of(trimmed);
  if (folder.empty() || is_separator(folder.back()) || (folder.size() == 2 && folder[1] == ':'))
    return folder;
#ifdef _WIN32
  return folder + "\\";
#else
  return folder + "/";
#endif
}

std::string stem_of(const std::string& input) {
  std::string name = last_name(input);
  if (path_kind(input) == PathKind::folder) return name;
  std::string lower = ascii_lower(name);
  if (ends_with(lower, ".toml") && lower.size() > 5) return name.substr(0, name.size() - 5);
  const std::string stripped = capture::strip_capture_extension(name);
  if (stripped != name) return stripped;
  size_t dot = name.rfind('.');
  return dot == 0 || dot == std::string::npos ? name : name.substr(0, dot);
}

int run(int (*command)(int, char**), std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  return command(int(args.size()), argv.data());
}

// A title as a file name: what Windows refuses in one left out.
std::string file_name_of(const std::string& title) {
  std::string out;
  for (unsigned char c : title)
    if (c >= 32 && !std::strchr("<>:\"/\\|?*", c)) out += char(c);
  while (!out.empty() && (out.back() == ' ' || out.back() == '.')) out.pop_back();
  while (!out.empty() && out.front() == ' ') out.erase(0, 1);
  return out;
}

}  // namespace

std::string drop_help() {
  return "pack makes a Tessivo player (one .exe) from a captured Flash site.\n"
         "\n"
         "Drop onto pack.exe, or onto a shortcut to it:\n"
         "  captures (" + capture::format_names() + ")\n"
         "      the player is written beside the first, named after it\n"
         "      (site.warc.gz gives site.exe, or site (2).exe when that exists);\n"
         "  a manifest (.toml)   builds the player it describes, beside it;\n"
         "  a player (.exe)      lists what it holds and audits it.\n"
         "\n"
         "From a command prompt, pack --help shows every command and option.\n";
}

bool is_drop(int argc, char** argv) {
  return argc >= 2 && argv[1][0] != '-' && path_kind(argv[1]) != PathKind::missing;
}

std::string free_player_name(const std::string& input) {
  std::string stem = file_name_of(capture::capture_title(input));
  if (stem.empty()) stem = stem_of(input);
  // "capture/manifest.toml" gives "capture/capture.exe".
  if (ascii_lower(last_name(input)) == "manifest.toml") {
    std::string folder = last_name(folder_of(input));
    if (!folder.empty() && !is_separator(folder.back()) && folder.back() != ':' && folder != "." &&
        folder != "..")
      stem = folder;
  }
  if (stem.empty()) stem = "player";
  const std::string prefix = folder_prefix(input);
  for (int n = 1; n < 10000; ++n) {
    std::string name = prefix + stem + (n == 1 ? "" : " (" + std::to_string(n) + ")") + ".exe";
    if (path_kind(name) == PathKind::missing) return name;
  }
  return "";
}

int run_drop(int argc, char** argv) {
  std::vector<std::string> manifests, players, captures;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    std::string lower = ascii_lower(a);
    bool file = path_kind(a) == PathKind::file;
    if (file && ends_with(lower, ".toml")) manifests.push_back(a);
    else if (file && ends_with(lower, ".exe")) players.push_back(a);
    else captures.push_back(a);
  }
  int code = 0;
  auto worst = [&](int c) { code = c > code ? c : code; };
  for (const std::string& m : manifests) {
    std::string out = free_player_name(m);
    std::printf("Building %s\n", out.c_str());
    std::fflush(stdout);
    worst(run(command_build, {"-o", out, m}));
  }
  for (const std::string& p : players) {
    worst(run(command_list, {p}));
    std::printf("\n");
    std::fflush(stdout);
    worst(run(command_audit, {p}));
  }
  if (!captures.empty()) {
    std::string out = free_player_name(captures[0]);
    std::printf("Importing into %s\n", out.c_str());
    std::fflush(stdout);
    std::vector<std::string> args = captures;
    args.push_back("-o");
    args.push_back(out);
    worst(run(command_import, args));
  }
  return code;
}

}  // namespace cli
