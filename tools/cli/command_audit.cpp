// pack audit: what the packaged movies will ask for, and the answers.
#include <cstdio>
#include <string>

#include "cli/commands.h"
#include "cli/options.h"
#include "common/error.h"
#include "common/utf.h"
#include "pack/audit.h"
#include "pack/loaded_player.h"
#ifdef TESSIVO_HAVE_SERVE
#include "serve/audit_run.h"
#include "serve/chromium.h"
#endif

namespace {

const cli::Help kHelp = {
    "audit",
    "usage: pack audit PLAYER.exe | MANIFEST.toml [--json] [--strict] [--run [--seconds N]]\n",
    "Lists the files that the packaged movies name and what the player answers for each.\n"
    "With --run, merges what the movie asks for while it runs in Ruffle (as\n"
    "`pack preview`): each URL is marked as found in the movies, asked at run\n"
    "time, or both, with the entry that answers it (the Linux pack only).\n",
    12,
    "Exit codes: 0 done; 1 when the input can't be read or, with --strict, when a\n"
    "likely request (with --run: any URL) is not answered, or the run failed or\n"
    "played nothing;\n"
    "2 usage error.\n"};

bool is_manifest(const std::string& path) {
  return path.size() >= 5 && common::ascii_lower(path.substr(path.size() - 5)) == ".toml";
}

#ifdef TESSIVO_HAVE_SERVE
// --run: plays the movie and merges what it asked for into the audit.
int run_audit(const pack::LoadedPlayer& player, const serve::PreviewOptions& po, const pack::AuditResult& result,
              const char* input, bool json, bool strict) {
  serve::catch_interrupts();
  serve::PreviewOutcome o;
  common::Error run_error;
  if (!serve::run_preview(player, po, &o, &run_error)) {
    std::fprintf(stderr, "pack audit: %s\n", run_error.text().c_str());
    return 1;
  }
  serve::MergedAudit m = serve::merge_audit(result, o);
  std::string out = json ? serve::merged_json(input, po.seconds, m, o) : serve::merged_text(input, po.seconds, m, o);
  std::fwrite(out.data(), 1, out.size(), stdout);
  if (!strict) return 0;
  for (const serve::MergedRequest& q : m.requests)
    if (q.unanswered())
      std::fprintf(stderr, "pack audit: not answered: %s\n", q.url.c_str());
  common::Error why;
  const bool played = serve::played(o, &why);
  if (!played) std::fprintf(stderr, "pack audit: %s\n", why.text().c_str());
  return m.unanswered > 0 || !played ? 1 : 0;
}
#endif

}  // namespace

bool load_player_or_manifest(pack::LoadedPlayer* player, const std::string& path, common::Error* error) {
  return is_manifest(path) ? player->load_manifest(path, error) : player->load_exe(path, error);
}

const cli::Help& audit_help() { return kHelp; }

int command_audit(int argc, char** argv) {
  const char* input = nullptr;
  bool json = false, strict = false;
  std::vector<cli::Option> table = {
      {"--json", nullptr, "the same as one JSON object", &json},
      {"--strict", nullptr, "exit with 1 when a likely request is not answered", &strict},
  };
#ifdef TESSIVO_HAVE_SERVE
  bool run = false;
  std::string seconds, chromium, ruffle;
  table.push_back({"--run", nullptr, "also run the movie in Ruffle and merge its requests", &run});
  table.push_back({"--seconds", "N", "how long the movie runs (default 10)", nullptr, &seconds, "needs a number"});
  table.push_back({"--chromium", "PATH", "the browser, as in pack preview", nullptr, &chromium, "needs a program"});
  table.push_back({"--ruffle", "DIR", "Ruffle's folder, as in pack preview", nullptr, &ruffle, "needs a folder"});
#endif
  int rc = 0;
  if (!cli::parse_options(kHelp, table, argc, argv, cli::one_input(&input), &rc)) return rc;
  if (!input) return cli::usage_error(kHelp, "no player or manifest given");
#ifdef TESSIVO_HAVE_SERVE
  serve::PreviewOptions po;
  po.chromium = chromium;
  po.ruffle_dir = ruffle;
  if (!seconds.empty() && !cli::parse_seconds(seconds, &po.seconds))
    return cli::usage_error(kHelp, "--seconds needs a number above 0, at most 3600");
  if (!run && (!seconds.empty() || !chromium.empty() || !ruffle.empty()))
    return cli::usage_error(kHelp, "--seconds, --chromium and --ruffle go with --run");
#endif
  pack::LoadedPlayer player;
  common::Error error;
  if (!load_player_or_manifest(&player, input, &error)) {
    std::fprintf(stderr, "pack: %s\n", error.text().c_str());
    return 1;
  }
  pack::AuditResult result = pack::audit_package(
      [&player](int32_t i, size_t max, std::string* out) { return player.read_entry(i, max, out); });
#ifdef TESSIVO_HAVE_SERVE
  if (run) return run_audit(player, po, result, input, json, strict);
#endif
  std::string out = json ? pack::audit_json(result) : pack::audit_text(result);
  std::fwrite(out.data(), 1, out.size(), stdout);
  return strict && result.unanswered > 0 ? 1 : 0;
}
