// pack explain: the player's answer to one request, and why.
#include <cstdio>
#include <string>

#include "cli/commands.h"
#include "cli/options.h"
#include "common/file.h"
#include "common/utf.h"
#include "pack/explain.h"
#include "pack/loaded_player.h"

namespace {

const cli::Help kHelp = {
    "explain",
    "usage: pack explain PLAYER.exe URL [--post BODY | --post-file FILE] [--json]\n",
    "Tells which entry the player answers a request with, by which rule, and\n"
    "every URL it tried on the way, by running the player's own lookup.\n",
    20,
    "Exit codes: 0 an entry answers, 1 the player answers with nothing (or\n"
    "refuses the URL, or the player file cannot be read), 2 usage error.\n"};

}  // namespace

const cli::Help& explain_help() { return kHelp; }

int command_explain(int argc, char** argv) {
  const char* exe = nullptr;
  const char* url = nullptr;
  bool json = false, has_body = false, body_from_file = false;
  std::string body, body_file;
  const char* const kOneBody = "give one POST body only";
  const std::vector<cli::Option> table = {
      {"--post", "BODY", "the request's POST body (page-post looks it up as a key)", nullptr, &body,
       "needs a value", &has_body, kOneBody},
      {"--post-file", "FILE", "the POST body from a file", &body_from_file, &body_file, "needs a value",
       &has_body, kOneBody},
      {"--json", nullptr, "the answer and the rule's precise terms and scores", &json},
  };
  auto operand = [&](const char* a, common::Error* error) {
    if (!exe) exe = a;
    else if (!url) url = a;
    else return cli::misuse(error, std::string("unexpected argument \"") + a + "\"");
    return true;
  };
  int rc = 0;
  if (!cli::parse_options(kHelp, table, argc, argv, operand, &rc)) return rc;
  if (!exe) return cli::usage_error(kHelp, "missing PLAYER.exe");
  if (!url) return cli::usage_error(kHelp, "missing URL");
  common::Error error;
  if (body_from_file && !common::read_whole_file(body_file, &body, &error)) {
    std::fprintf(stderr, "pack explain: %s\n", error.text().c_str());
    return 1;
  }
  std::u16string request;
  if (!common::utf8_to_utf16(url, &request)) return cli::usage_error(kHelp, "the URL is not valid UTF-8");
  pack::LoadedPlayer player;
  if (!player.load_exe(exe, &error)) {
    std::fprintf(stderr, "pack: %s\n", error.text().c_str());
    return 1;
  }
  pack::ExplainResult r = pack::explain_request(request, has_body ? &body : nullptr);
  std::string out = json ? pack::explain_json(r) : pack::explain_text(r);
  std::fwrite(out.data(), 1, out.size(), stdout);
  return r.refused || r.index < 0 ? 1 : 0;
}
