// pack explain PLAYER.exe URL [--post BODY | --post-file FILE] [--json]
#include <cstdio>
#include <cstring>
#include <string>

#include "commands.h"
#include "explain_request.h"
#include "file_source.h"
#include "package/player_state.h"
#include "utf.h"

namespace {

const char kHelp[] =
    "usage: pack explain PLAYER.exe URL [--post BODY | --post-file FILE] [--json]\n"
    "\n"
    "Tells which entry the player answers a request with, by which rule, and\n"
    "every URL it tried on the way, by running the player's own lookup.\n"
    "\n"
    "  --post BODY       the request's POST body (page-post looks it up as a key)\n"
    "  --post-file FILE  the POST body from a file\n"
    "  --json            the answer and the rule's precise terms and scores\n"
    "\n"
    "Exit codes: 0 an entry answers, 1 the player answers with nothing (or\n"
    "refuses the URL, or the player file cannot be read), 2 usage error.\n";

}  // namespace

int command_explain(int argc, char** argv) {
  const char* exe = nullptr;
  const char* url = nullptr;
  bool json = false;
  bool has_body = false;
  std::string body;
  for (int i = 0; i < argc; ++i) {
    const char* a = argv[i];
    if (is_help(a)) {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (!std::strcmp(a, "--json")) {
      json = true;
    } else if (!std::strcmp(a, "--post") || !std::strcmp(a, "--post-file")) {
      if (i + 1 >= argc) return usage_error("explain", std::string(a) + " needs a value");
      if (has_body) return usage_error("explain", "give one POST body only");
      has_body = true;
      if (a[6] == 0) {
        body = argv[++i];
      } else {
        std::string error;
        if (!read_whole_file(argv[++i], &body, &error)) {
          std::fprintf(stderr, "pack explain: %s\n", error.c_str());
          return 1;
        }
      }
    } else if (a[0] == '-' && a[1]) {
      return usage_error("explain", std::string("unknown option ") + a);
    } else if (!exe) {
      exe = a;
    } else if (!url) {
      url = a;
    } else {
      return usage_error("explain", std::string("unexpected argument \"") + a + "\"");
    }
  }
  if (!exe) return usage_error("explain", "missing PLAYER.exe");
  if (!url) return usage_error("explain", "missing URL");
  std::u16string request;
  if (!utf8_to_utf16(url, &request)) return usage_error("explain", "the URL is not valid UTF-8");
  std::string error;
  if (!load_player_exe(exe, &error)) {
    std::fprintf(stderr, "pack: %s\n", error.c_str());
    return 1;
  }
  ExplainResult r = explain_request(request, has_body ? &body : nullptr);
  std::string out = json ? explain_json(r) : explain_text(r);
  std::fwrite(out.data(), 1, out.size(), stdout);
  reset_player_state();
  return r.refused || r.index < 0 ? 1 : 0;
}
