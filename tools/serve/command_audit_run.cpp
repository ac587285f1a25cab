// pack audit PLAYER.exe | MANIFEST.toml --run [--seconds N] [--json] [--strict]:
// the texts the movies hold, merged with what the movie asked for in Ruffle.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "pack/audit.h"
#include "pack/commands.h"
#include "pack/package_input.h"
#include "pack/utf.h"
#include "package/player_state.h"
#include "serve/chromium.h"
#include "serve/option_table.h"
#include "serve/preview.h"
#include "serve/serve_commands.h"

namespace {

const char kHelp[] =
    "usage: pack audit PLAYER.exe | MANIFEST.toml --run [--seconds N] [--json] [--strict]\n"
    "                  [--chromium PATH] [--ruffle DIR]\n"
    "\n"
    "The static audit (see pack audit --help) merged with a `pack preview` run of\n"
    "N seconds (default 10): each URL is marked as found in the movies, asked at\n"
    "run time in Ruffle, or both, with the entry that answers it. Texts found\n"
    "in the movies are joined to the base URL as the player joins them.\n"
    "Exit codes: 0 done; 1 the input can't be read, the preview can't run, or\n"
    "(--strict) a URL is not answered; 2 usage error. Not in pack.exe.\n";

struct Merged {
  std::string url;
  bool in_movie = false;
  bool at_run_time = false;
  int32_t entry = -1;
  std::string where;  // the static find: "[0] Push in DoAction"
};

bool same_url(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

Merged* find(std::vector<Merged>* list, const std::string& url) {
  for (Merged& m : *list)
    if (same_url(m.url, url)) return &m;
  return nullptr;
}

}  // namespace

namespace serve {

// The merged list: run-time requests in their order, then what only the
// movies name, the unanswered first.
std::vector<Merged> merge(const pack::AuditResult& audit, const PreviewOutcome& run);

}  // namespace serve

std::vector<Merged> serve::merge(const pack::AuditResult& audit, const PreviewOutcome& run) {
  std::vector<Merged> list;
  for (const Served& s : run.requests) {
    Merged* m = find(&list, s.url);
    if (!m) {
      list.push_back(Merged());
      m = &list.back();
      m->url = s.url;
    }
    m->at_run_time = true;
    if (s.entry >= 0) m->entry = s.entry;
  }
  size_t run_count = list.size();
  for (const pack::AuditSource& src : audit.sources) {
    for (const pack::AuditRequest& q : src.requests) {
      if (q.refused) continue;
      std::string url = utf16_to_utf8(q.request);
      Merged* m = find(&list, url);
      if (!m) {
        list.push_back(Merged());
        m = &list.back();
        m->url = url;
        m->entry = q.index;
      }
      m->in_movie = true;
      if (m->where.empty())
        m->where = "[" + std::to_string(src.entry) + "] " + q.field + " in " + q.tag;
    }
  }
  std::stable_partition(list.begin() + ptrdiff_t(run_count), list.end(),
                        [](const Merged& m) { return m.entry < 0; });
  return list;
}

int command_audit_with_run(int argc, char** argv) {
  bool run = false;
  for (int i = 0; i < argc; ++i) run = run || !std::strcmp(argv[i], "--run");
  if (!run) return command_audit(argc, argv);

  serve::ParsedArgs args;
  std::string error;
  if (!serve::parse_args(argc, argv,
                         {{"--run", false}, {"--seconds", true}, {"--json", false}, {"--strict", false},
                          {"--chromium", true}, {"--ruffle", true}},
                         &args, &error))
    return usage_error("audit", error);
  if (args.help) {
    std::fputs(kHelp, stdout);
    return 0;
  }
  if (args.positional.empty()) return usage_error("audit", "no player or manifest given");
  if (args.positional.size() > 1) return usage_error("audit", "one player or manifest at a time");
  serve::PreviewOptions po;
  if (const std::string* v = args.value("--seconds"))
    if (!serve::parse_seconds(v->c_str(), &po.seconds))
      return usage_error("audit", "--seconds needs a number above 0, at most 3600");
  if (const std::string* v = args.value("--chromium")) po.chromium = *v;
  if (const std::string* v = args.value("--ruffle")) po.ruffle_dir = *v;

  pack::PackageInput input;
  if (!input.open(args.positional[0], &error)) {
    std::fprintf(stderr, "pack: %s\n", error.c_str());
    return 1;
  }
  pack::AuditResult audit = pack::audit_package(
      [&input](int32_t i, size_t max, std::string* out) { return input.read(i, 0, max, out); });
  serve::catch_interrupts();
  serve::PreviewOutcome o;
  bool ok = serve::run_preview(input, po, &o, &error);
  reset_player_state();
  if (!ok) {
    std::fprintf(stderr, "pack audit: %s\n", error.c_str());
    return 1;
  }
  std::vector<Merged> list = serve::merge(audit, o);
  int unanswered = 0, both = 0, movie = 0, runtime = 0;
  for (const Merged& m : list) {
    unanswered += m.entry < 0;
    both += m.in_movie && m.at_run_time;
    movie += m.in_movie;
    runtime += m.at_run_time;
  }
  std::string out;
  if (args.has("--json")) {
    out = "{\"input\":" + json_quote(args.positional[0]) + ",\"seconds\":" + std::to_string(po.seconds) +
          ",\"first_frame_ms\":" +
          (o.first_frame_ms < 0 ? std::string("null") : std::to_string(int64_t(o.first_frame_ms))) +
          ",\"unanswered\":" + std::to_string(unanswered) + ",\"unlisted_run_time\":" + std::to_string(o.unlisted) +
          ",\"requests\":[";
    for (size_t i = 0; i < list.size(); ++i) {
      const Merged& m = list[i];
      out += std::string(i ? "," : "") + "\n  {\"url\":" + json_quote(m.url) +
             ",\"found_in_movie\":" + (m.in_movie ? "true" : "false") +
             ",\"asked_at_run_time\":" + (m.at_run_time ? "true" : "false") + ",\"entry\":" + std::to_string(m.entry) +
             ",\"found_at\":" + (m.where.empty() ? std::string("null") : json_quote(m.where)) + "}";
    }
    out += "]}\n";
  } else {
    out = args.positional[0] + ": the movies' texts and a run of " + std::to_string(int(po.seconds)) +
          " s in Ruffle\n";
    for (const Merged& m : list) {
      std::string answer = m.entry < 0 ? "NOT ANSWERED" : "entry " + std::to_string(m.entry);
      const char* how = m.in_movie && m.at_run_time ? "movie + run time" : m.in_movie ? "movie only" : "run time only";
      char head[64];
      std::snprintf(head, sizeof head, "  %-13s %-17s ", answer.c_str(), how);
      out += head + m.url + "\n";
      if (!m.where.empty()) out += std::string(34, ' ') + "found at " + m.where + "\n";
    }
    if (o.unlisted) out += "  ... and " + std::to_string(o.unlisted) + " more run-time requests, not listed\n";
    out += std::to_string(list.size()) + " URL(s): " + std::to_string(movie) + " found in the movies, " +
           std::to_string(runtime) + " asked at run time, " + std::to_string(both) + " both; " +
           std::to_string(unanswered) + " not answered\n";
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  if (args.has("--strict") && unanswered > 0) {
    for (const Merged& m : list)
      if (m.entry < 0) std::fprintf(stderr, "pack audit: not answered: %s\n", m.url.c_str());
    return 1;
  }
  return 0;
}
