// pack fetch: a player straight from a web archive.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/commands.h"
#include "cli/options.h"
#include "common/url.h"
#include "fetch/cdx.h"
#include "fetch/fetch.h"

namespace {

const cli::Help kHelp = {
    "fetch",
    "usage: pack fetch URL --archive ARCHIVE [--at YYYYMMDD[hhmmss]] -o OUT.exe\n"
    "                  [--warc OUT.warc.gz] [--manifest DIR] [--rounds N] [--max-urls N]\n"
    "                  [--seconds N] [--jobs N] [--cdx ia|pywb] [--strict] [--json]\n",
    "Makes a player from a web archive that speaks the Wayback interface (a CDX\n"
    "index and raw replay): https://web.archive.org, or a pywb collection such as\n"
    "http://127.0.0.1:8080/COLL. URL is the movie to start from. Each round looks\n"
    "up and fetches what the package so far asks for: the files its movies and\n"
    "configuration files name (as pack audit finds them) and the requests it makes\n"
    "while it plays in Ruffle (as pack preview runs it), until a round adds\n"
    "nothing. Every file is the capture nearest to the start movie's (its latest\n"
    "200 capture, or the one nearest to --at). Everything fetched is kept in a\n"
    "WARC, and the player is made from it as pack import makes one; a rerun with\n"
    "the same WARC fetches only what is not in it yet. Where no browser can play\n"
    "it (pack.exe; chromium or Ruffle missing), only the files the movies and their\n"
    "texts name are followed.\n",
    22,
    "Exit codes: 0 done; 1 the archive can't be reached or has no capture of URL,\n"
    "interrupted (the WARC keeps what was fetched), the build refused, or\n"
    "(--strict) a file the movie asks for is missing; 2 usage error.\n"};

std::string default_warc(const std::string& out, const std::string& manifest) {
#ifdef _WIN32
  const char* separators = "/\\";
#else
  const char* separators = "/";
#endif
  std::string base = !out.empty() ? out : manifest;
  while (base.size() > 1 && std::strchr(separators, base.back())) base.pop_back();
  const size_t slash = base.find_last_of(separators);
  const size_t dot = base.find_last_of('.');
  if (!out.empty() && dot != std::string::npos && (slash == std::string::npos || dot > slash)) base.resize(dot);
  return base + ".warc.gz";
}

}  // namespace

const cli::Help& fetch_help() { return kHelp; }

int command_fetch(int argc, char** argv) {
  fetch::FetchOptions o;
  const char* url = nullptr;
  std::string rounds, max_urls, seconds, jobs, cdx, timeout;
  bool json = false, no_run = false;
  const std::vector<cli::Option> table = {
      {"--archive", "ARCHIVE", "the archive's Wayback base (required)", nullptr, &o.archive, "needs a URL"},
      {"--at", "TIME", "the capture time to aim for, YYYYMMDD[hhmmss]; default:\nthe start movie's latest 200 capture",
       nullptr, &o.at, "needs YYYYMMDD[hhmmss]"},
      {"-o", "OUT.exe", "the player to write", nullptr, &o.out_path, "needs a file name"},
      {"--warc", "FILE", "where everything fetched is kept (default: beside the\noutput, OUT.warc.gz); an existing one is continued",
       nullptr, &o.warc_path, "needs a file name"},
      {"--manifest", "DIR", "also write DIR/manifest.toml and the payload files", nullptr, &o.manifest_dir,
       "needs a folder"},
      {"--rounds", "N", "discovery rounds at most (default 8)", nullptr, &rounds, "needs a number"},
      {"--max-urls", "N", "URLs looked up at most (default 1000)", nullptr, &max_urls, "needs a number"},
      {"--seconds", "N", "how long each round plays in Ruffle (default 10)", nullptr, &seconds, "needs a number"},
      {"--jobs", "N", "requests to the archive at once (default 4)", nullptr, &jobs, "needs a number"},
      {"--timeout", "N", "seconds without a byte before a read gives up\n(default 30)", nullptr, &timeout,
       "needs a number"},
      {"--cdx", "DIALECT", "ia or pywb; default: told from the archive's answers", nullptr, &cdx, "is ia or pywb"},
      {"--no-run", nullptr, "follow only the movies' texts, without playing them", &no_run},
      {"--stub", "STUB.exe", "pack onto this stub instead of the carried one", nullptr, &o.stub_path,
       "needs a file name"},
      {"--chromium", "PATH", "the browser, as in pack preview", nullptr, &o.chromium, "needs a program"},
      {"--ruffle", "DIR", "Ruffle's folder, as in pack preview", nullptr, &o.ruffle_dir, "needs a folder"},
      {"--strict", nullptr, "fail, writing no player, when a file the movie asks\nfor is missing", &o.strict},
      {"--json", nullptr, "print the summary as one JSON object", &json},
  };
  int rc = 0;
  if (!cli::parse_options(kHelp, table, argc, argv, cli::one_input(&url), &rc)) return rc;
  if (!url) return cli::usage_error(kHelp, "no movie URL given");
  o.start_url = url;
  if (!common::is_web_url(o.start_url)) return cli::usage_error(kHelp, "URL must be an http or https URL");
  if (!common::is_web_url(o.archive)) return cli::usage_error(kHelp, "--archive needs the archive's http or https base");
  if (o.out_path.empty() && o.manifest_dir.empty() && o.warc_path.empty())
    return cli::usage_error(kHelp, "give -o OUT.exe, --manifest DIR or --warc FILE");
  if (!o.at.empty() && fetch::full_timestamp(o.at).empty())
    return cli::usage_error(kHelp, "--at needs YYYYMMDD or YYYYMMDDhhmmss (a real date)");
  if (!rounds.empty() && !cli::parse_count(rounds, 0, 1000, &o.rounds))
    return cli::usage_error(kHelp, "--rounds needs a number from 0 to 1000");
  if (!max_urls.empty() && !cli::parse_count(max_urls, 1, 10000000, &o.max_urls))
    return cli::usage_error(kHelp, "--max-urls needs a number from 1");
  if (!jobs.empty() && !cli::parse_count(jobs, 1, 64, &o.jobs))
    return cli::usage_error(kHelp, "--jobs needs a number from 1 to 64");
  if (!seconds.empty() && !cli::parse_seconds(seconds, &o.seconds))
    return cli::usage_error(kHelp, "--seconds needs a number above 0, at most 3600");
  if (!timeout.empty() && !cli::parse_seconds(timeout, &o.timeout))
    return cli::usage_error(kHelp, "--timeout needs a number above 0, at most 3600");
  if (!cdx.empty()) {
    if (cdx != "ia" && cdx != "pywb") return cli::usage_error(kHelp, "--cdx is ia or pywb");
    o.dialect = cdx == "ia" ? fetch::Dialect::ia : fetch::Dialect::pywb;
  }
  if (o.warc_path.empty()) o.warc_path = default_warc(o.out_path, o.manifest_dir);
  o.play = !no_run;
  o.version = TESSIVO_PACK_VERSION;
  o.command_line = "pack fetch";
  for (int i = 0; i < argc; ++i) o.command_line += std::string(" ") + argv[i];

  fetch::FetchSummary s;
  common::Error error;
  const bool ok = fetch::run_fetch(o, &s, &error);
  if (!s.urls.empty()) {
    const std::string out = json ? fetch::summary_json(s) : fetch::summary_text(s);
    std::fwrite(out.data(), 1, out.size(), stdout);
  }
  if (!ok) {
    std::fflush(stdout);
    std::fprintf(stderr, "pack fetch: %s\n", error.text().c_str());
    return 1;
  }
  return 0;
}
