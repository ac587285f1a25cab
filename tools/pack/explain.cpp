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

const char kUsage[] = "usage: pack explain PLAYER.exe URL [--post BODY | --post-file FILE] [--json]\n";

}  // namespace

int command_explain(int argc, char** argv) {
  const char* exe = nullptr;
  const char* url = nullptr;
  bool json = false;
  bool has_body = false;
  std::string body;
  for (int i = 0; i < argc; ++i) {
    const char* a = argv[i];
    if (!std::strcmp(a, "--json")) {
      json = true;
    } else if ((!std::strcmp(a, "--post") || !std::strcmp(a, "--post-file")) && i + 1 < argc) {
      if (has_body) {
        std::fputs("pack explain: give one POST body only\n", stderr);
        return 2;
      }
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
    } else if (!exe) {
      exe = a;
    } else if (!url) {
      url = a;
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (!exe || !url) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::u16string request;
  if (!utf8_to_utf16(url, &request)) {
    std::fputs("pack explain: the URL is not valid UTF-8\n", stderr);
    return 2;
  }
  std::string error;
  if (!load_player_exe(exe, &error)) {
    std::fprintf(stderr, "pack: %s\n", error.c_str());
    return 1;
  }
  ExplainResult r = explain_request(request, has_body ? &body : nullptr);
  std::string out = json ? explain_json(r) : explain_text(r);
  std::fwrite(out.data(), 1, out.size(), stdout);
  reset_player_state();
  return 0;
}
