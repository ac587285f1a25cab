// pack import: captures to a player, a manifest, or both.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "cli/options.h"
#include "common/file.h"
#include "common/paths.h"
#include "common/progress.h"
#include "common/utf.h"
#include "import/capture.h"
#include "import/formats.h"
#include "import/cdx.h"
#include "pack/build.h"
#include "pack/manifest.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

using capture::Fault;
using common::utf16_to_utf8;

// The formats' lines come from the importer's table of formats.
const cli::Help& help() {
  static const std::string about =
      "Makes a player (-o) and/or an editable manifest folder (--manifest, for\n"
      "pack build) from captures:\n" +
      capture::format_help() +
      "Records are streamed, never held whole. A damaged record, request or\n"
      "response (a WARC digest or HTTP Content-Length that does not match, a cut\n"
      "or broken gzip member, a file cut short, a WACZ member failing its CRC-32),\n"
      "a faulty HAR entry and a response without a sure request (its POST key\n"
      "unknown) are skipped with a warning and reading goes on; --strict refuses\n"
      "instead.\n";
  static const cli::Help h = {
      "import",
      "usage: pack import CAPTURE... [-o OUT.exe] [--manifest DIR] [--stub STUB.exe]\n"
      "                   [--start URL] [--size WxH] [--mode page|page-post]\n"
      "                   [--scheme http|https] [--include PREFIX]... [--exclude PREFIX]...\n"
      "                   [--prefix URL]... [--cdx INDEX]...\n"
      "                   [--strict] [--no-browser] [--json]\n",
      about.c_str(),
      20,
    "Kept: status 200 (203, and 206 only when it holds the whole file), bodies\n"
    "with chunked transfer coding and gzip or deflate content coding undone"
#ifdef TESSIVO_HAVE_BROTLI
    " (and br)"
#else
    " (this build\n"
    "cannot undo br)"
#endif
    "; the last capture of a URL wins; a redirect becomes\n"
    "its target's alternate URL where it can.\n"
    "\n"
    "Exit codes: 0 done, 1 the import failed (nothing written), 2 bad usage.\n"};
  return h;
}

struct Request {
  capture::Options options;
  std::vector<std::string> inputs;
  std::string out_path, stub_path, manifest_dir;
  bool json = false, no_browser = false;
  bool size_given = false, mode_given = false;
  std::string size, mode;
  std::vector<std::string> cdx, prefixes;
  capture::IndexedRead indexed;  // bytes read, when an index chose them
  bool by_index = false;
};

// The values that the table cannot check itself; false with the usage error.
bool check_values(Request* r, common::Error* error) {
  if (r->size_given) {
    if (!cli::parse_size(r->size, 0, &r->options.width, &r->options.height))
      return cli::misuse(error, "--size needs WIDTHxHEIGHT, each at most 32767, e.g. 800x600");
  }
  if (r->mode_given) {
    if (r->mode != "page" && r->mode != "page-post") return cli::misuse(error, "--mode is page or page-post");
    r->options.mode = r->mode == "page" ? 0 : 2;
  }
  if (r->options.scheme != "http" && r->options.scheme != "https")
    return cli::misuse(error, "--scheme is http or https");
  if (r->inputs.empty()) return cli::misuse(error, "no capture given");
  r->options.includes.insert(r->options.includes.end(), r->prefixes.begin(), r->prefixes.end());
  r->by_index = !r->cdx.empty() || !r->prefixes.empty();
  if (r->by_index && r->options.includes.empty()) return cli::misuse(error, "--cdx needs --prefix or --include");
  if (r->out_path.empty() && r->manifest_dir.empty())
    return cli::misuse(error, "give -o OUT.exe, --manifest DIR or both");
  return true;
}

// Fills r from the arguments; false with the exit code when the command ends here.
bool parse(int argc, char** argv, Request* r, int* rc) {
  const std::vector<cli::Option> table = {
      {"-o", "OUT.exe",
       "the player to write, checked as pack build checks it;\nwritten whole or not at all, never onto an input\n"
       "nor inside a mirrored folder given as a capture",
       nullptr, &r->out_path, "needs a file name"},
      {"--stub", "STUB.exe", "pack onto this stub instead of the one the packer carries", nullptr,
       &r->stub_path, "needs a file name"},
      {"--manifest", "DIR", "write DIR/manifest.toml and the payload files; DIR must\nnot exist or be empty",
       nullptr, &r->manifest_dir, "needs a folder"},
      {"--start", "URL",
       "the first movie; default: the movie the first captured\nHTML page embeds, else the first SWF in the capture,\n"
       "else its only FLV; an FLV makes a video player with\nthe carried video player movie and skin",
       nullptr, &r->options.start, "needs a URL"},
      {"--size", "WxH", "nominal size; default: the embedding's width and height", &r->size_given, &r->size,
       "needs WIDTHxHEIGHT, e.g. 800x600"},
      {"--mode", "MODE",
       "page-post (default: requests keyed by POST body, near\nmisses resolved) or page (exact URLs only)",
       &r->mode_given, &r->mode, "is page or page-post"},
      {"--scheme", "S", "scheme of mirrored folders' URLs (default http)", nullptr, &r->options.scheme,
       "is http or https"},
      {"--include", "PREFIX", "keep only URLs that start with one of these prefixes\n(repeatable)",
       nullptr, nullptr, "needs a URL prefix", nullptr, nullptr, &r->options.includes},
      {"--exclude", "PREFIX", "leave out URLs that start with this prefix (repeatable)", nullptr, nullptr,
       "needs a URL prefix", nullptr, nullptr, &r->options.excludes},
      {"--prefix", "URL",
       "like --include, and reads only those records of WARC\nfiles, by their places in a CDX or CDXJ index (repeatable)",
       nullptr, nullptr, "needs a URL prefix", nullptr, nullptr, &r->prefixes},
      {"--cdx", "INDEX",
       "the CDX or CDXJ index of the WARC files (repeatable);\ndefault with --prefix: *.cdx and *.cdxj beside them, or\n"
       "indexes/index.cdx(j) beside their archive/ folder; a\nWACZ uses its own",
       nullptr, nullptr, "needs an index file", nullptr, nullptr, &r->cdx},
      {"--strict", nullptr, "a damaged or bad record, or a warning of the\nplayer's checks, fails the import",
       &r->options.strict},
      {"--json", nullptr, "print the summary as one JSON object", &r->json},
      cli::no_browser_option(&r->no_browser),
  };
  auto operand = [&](const char* a, common::Error*) {
    r->inputs.push_back(a);
    return true;
  };
  if (!cli::parse_options(help(), table, argc, argv, operand, rc)) return false;
  common::Error error;
  if (check_values(r, &error)) return true;
  *rc = cli::usage_error(help(), error.text());
  return false;
}

// The build of the player, shared with pack build: the captures and the
// stub are its inputs, never replaced.
pack::BuildOptions build_options(const Request& r) {
  pack::BuildOptions o;
  o.source = r.inputs[0];
  if (r.inputs.size() > 1) o.source += " and " + std::to_string(r.inputs.size() - 1) + " more";
  for (const std::string& in : r.inputs) o.inputs.push_back({in, "the capture"});
  o.stub_path = r.stub_path;
  o.out_path = r.out_path;
  o.strict = r.options.strict;
  o.browser = !r.no_browser;
  return o;
}

// Names the process that fills a work folder, so that a later run can
// tell one left by a dead process (removed) from one being written.
const char kOwnerFile[] = ".pack-import-owner";
const char kTempPrefix[] = "tessivo-import-";

bool process_alive(unsigned long pid) {
#ifdef _WIN32
  HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid));
  if (!h) return false;
  bool alive = WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
  CloseHandle(h);
  return alive;
#else
  return kill(pid_t(pid), 0) == 0 || errno == EPERM;
#endif
}

unsigned long own_pid() {
#ifdef _WIN32
  return GetCurrentProcessId();
#else
  return (unsigned long)getpid();
#endif
}

// Where the payload files go: DIR.part beside the manifest folder, renamed
// onto it at the end, or a temporary folder; removed unless kept.
class WorkFolder {
 public:
  ~WorkFolder() { remove(); }
  void remove() {
    unlock();
    std::error_code ec;
    if (!path.empty()) fs::remove_all(common::fs_path(path), ec);
    path.clear();
  }
  // Writes the owner file, held locked while the run lives: the lock, unlike
  // a process number, goes with the process however it ends. The number
  // is written under the lock, so a file without one is not yet owned.
  void own() {
    const std::string owner = common::utf8_path(common::fs_path(path) / kOwnerFile);
#ifndef _WIN32
    lock_ = open(owner.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (lock_ < 0 || flock(lock_, LOCK_EX) != 0) throw Fault(common::Error{path, 0, -1, "cannot write in it"});
#endif
    common::File f = common::open_file(owner, "wb");
    if (!f || std::fprintf(f.get(), "%lu\n", own_pid()) < 0 || !f.close())
      throw Fault(common::Error{path, 0, -1, "cannot write in it"});
  }
  void unlock() {
#ifndef _WIN32
    if (lock_ >= 0) close(lock_);
    lock_ = -1;
#endif
  }
  std::string path;

 private:
  int lock_ = -1;
};

// Whether the run that wrote a temporary folder's owner file is gone. A
// folder without one may be a run's that has not written it yet: kept.
bool owner_dead(const fs::path& folder) {
  const std::string owner = common::utf8_path(folder / kOwnerFile);
#ifdef _WIN32
  common::File f = common::open_file(owner, "rb");
  unsigned long pid = 0;
  return f && std::fscanf(f.get(), "%lu", &pid) == 1 && !process_alive(pid);
#else
  const int fd = open(owner.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[32] = {};
  const bool dead = flock(fd, LOCK_EX | LOCK_NB) == 0 && read(fd, text, sizeof text - 1) > 0 &&
                    std::strchr(text, '\n');
  close(fd);
  return dead;
#endif
}

// Temporary folders of runs that were killed (nothing else removes them).
void remove_dead_runs_folders() {
  std::error_code ec;
  const fs::path temp = fs::temp_directory_path(ec);
  if (ec) return;
  for (fs::directory_iterator it(temp, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = common::utf8_path(it->path().filename());
    std::error_code dir_ec;
    if (name.compare(0, sizeof kTempPrefix - 1, kTempPrefix) != 0 || !it->is_directory(dir_ec) ||
        it->is_symlink(dir_ec) || !owner_dead(it->path()))
      continue;
    fs::remove_all(it->path(), dir_ec);
  }
}

std::string fresh_temp_dir() {
  std::random_device rd;
  for (int k = 0; k < 100; ++k) {
    fs::path p = fs::temp_directory_path() / (kTempPrefix + std::to_string(rd()));
    if (fs::create_directory(p)) return common::utf8_path(p);
  }
  throw capture::fault_of("cannot make a temporary folder");
}

std::string claim_part_folder(const std::string& part) {
  std::error_code ec;
  if (fs::exists(common::fs_path(part), ec)) {
    common::File f = common::open_file(common::utf8_path(common::fs_path(part) / kOwnerFile), "rb");
    unsigned long pid = 0;
    if (!f || std::fscanf(f.get(), "%lu", &pid) != 1)
      throw Fault(common::Error{part, 0, -1, "left from an earlier run, not by pack import; remove it first"});
    if (process_alive(pid) && pid != own_pid())
      throw Fault(common::Error{part, 0, -1, "being written by process " + std::to_string(pid) +
                                                 "; wait for it or choose another --manifest folder"});
    f.reset();
    fs::remove_all(common::fs_path(part), ec);
    if (ec) throw Fault(common::Error{part, 0, -1, "left by a run that stopped; cannot remove it: " + ec.message()});
  }
  fs::create_directories(common::fs_path(part));
  return part;
}

std::string make_work_folder(const std::string& manifest_dir) {
  if (manifest_dir.empty()) return fresh_temp_dir();
  std::error_code ec;
  const fs::path dir = common::fs_path(manifest_dir);
  if (fs::exists(dir, ec) && !(fs::is_directory(dir, ec) && fs::is_empty(dir, ec)))
    throw Fault(common::Error{manifest_dir, 0, -1, "exists and is not an empty folder; not overwritten"});
  return claim_part_folder(manifest_dir + ".part");
}

// Whether path lies inside folder (a folder's ID compared with those of
// path's parents, so that other spellings of it are seen too).
bool lies_inside(const std::string& path, const common::FileId& folder) {
  std::error_code ec;
  fs::path p = fs::absolute(common::fs_path(path), ec).lexically_normal();
  if (ec) return false;
  for (fs::path up = p.parent_path(); !up.empty(); up = up.parent_path()) {
    common::FileId id;
    if (common::file_id(common::utf8_path(up), &id) && id == folder) return true;
    if (up == up.root_path()) break;
  }
  return false;
}

// A mirrored folder is read whole: an output inside it would be read as
// part of the capture (and by a later import of the same folder).
void refuse_outputs_inside_folders(const Request& r) {
  for (const std::string& in : r.inputs) {
    common::FileId folder;
    if (common::path_kind(in) != common::PathKind::folder || !common::file_id(in, &folder)) continue;
    for (const std::string& out : {r.out_path, r.manifest_dir})
      if (!out.empty() && lies_inside(out, folder))
        throw capture::fault_of("cannot write " + out + ": it lies inside the mirrored folder " + in +
                                ", which is read as the capture; choose another output");
  }
}

// A note of the build's checks as import words its warnings: the entry's
// capture record names where it came from.
std::string import_note(const pack::Note& n, const pack::BuildOptions& build, const capture::Result& result) {
  std::string s = build.source;
  if (n.entry >= 0 && size_t(n.entry) < result.entries.size())
    s = result.entries[size_t(n.entry)].where.place() + " (entry " + std::to_string(n.entry) + ")";
  return s + ": " + n.text;
}

// The player through the packer's build: checked before anything is
// written, then written beside the output and renamed into place.
void build_player(pack::BuildOptions build, capture::Result* result) {
  common::Progress progress("pack import: writing " + build.out_path, 0);
  build.progress = &progress;
  pack::BuildResult built;
  common::Error error;
  const bool ok = pack::build_player_file(result->package, build, &built, &error);
  if (ok) progress.finish();
  else progress.interrupt();
  for (const pack::Note& n : built.notes) {
    const std::string line = import_note(n, build, *result);
    std::fprintf(stderr, "pack: %s: %s\n", n.error ? "error" : "warning", line.c_str());
    if (!n.hint.empty()) std::fprintf(stderr, "  hint: %s\n", n.hint.c_str());
    if (!n.error) result->warnings.push_back(line);
  }
  if (!ok) throw Fault(error);
}

// Both outputs appear only once both are complete: the manifest waits in
// the .part folder while the player is built.
void write_outputs(const Request& r, capture::Result* result, WorkFolder* work) {
  common::Error error;
  if (!r.manifest_dir.empty() &&
      !pack::write_manifest(result->package, "Written by pack import; edit and rebuild with pack build.",
                            common::utf8_path(common::fs_path(work->path) / "manifest.toml"), &error))
    throw Fault(error);
  if (!r.out_path.empty()) build_player(build_options(r), result);
  if (!r.manifest_dir.empty()) {
    std::error_code ec;
    fs::remove(common::fs_path(work->path) / kOwnerFile, ec);
    fs::remove(common::fs_path(r.manifest_dir), ec);  // an empty folder only
    fs::rename(common::fs_path(work->path), common::fs_path(r.manifest_dir));
    work->path.clear();
  }
}

struct TypeCount {
  int count = 0;
  long long bytes = 0;
};

std::map<std::string, TypeCount> count_types(const capture::Result& r, long long* total) {
  std::map<std::string, TypeCount> types;
  *total = 0;
  for (const capture::Item& e : r.entries) {
    std::string t = e.content_type.substr(0, e.content_type.find(';'));
    if (t.empty()) t = "(none)";
    types[t].count++;
    types[t].bytes += e.size;
    *total += e.size;
  }
  return types;
}

void print_json_summary(const capture::Result& r, const Request& q) {
  long long total;
  const std::map<std::string, TypeCount> types = count_types(r, &total);
  const pack::Package& pkg = r.package;
  nlohmann::json j;
  j["start"] = r.start_url;
  j["start_reason"] = r.start_reason;
  j["flash_vars"] = utf16_to_utf8(pkg.flash_vars);
  j["base"] = utf16_to_utf8(pkg.base);
  j["width"] = pkg.width;
  j["height"] = pkg.height;
  j["mode"] = pack::mode_name(pkg.mode);
  j["entries"] = nlohmann::json::array();
  for (const capture::Item& e : r.entries)
    j["entries"].push_back({{"url", e.url}, {"alternate_url", e.alternate}, {"post_key", e.post_key},
                            {"content_type", e.content_type}, {"size", e.size}, {"from", e.where.place()}});
  j["bytes"] = total;
  j["by_type"] = nlohmann::json::object();
  for (const auto& [t, v] : types) j["by_type"][t] = {{"entries", v.count}, {"bytes", v.bytes}};
  j["skipped"] = r.skipped;
  j["dropped"] = r.dropped;
  j["redirects"] = r.redirects;
  j["warnings"] = r.warnings;
  j["notes"] = r.notes;
  j["output"] = q.out_path;
  j["manifest"] = q.manifest_dir;
  j["read_bytes"] = q.indexed.read;
  j["capture_bytes"] = q.indexed.total;
  std::printf("%s\n", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

void print_summary(const capture::Result& r, const Request& q) {
  long long total;
  const std::map<std::string, TypeCount> types = count_types(r, &total);
  const pack::Package& pkg = r.package;
  std::printf("first movie: %s (%s)\n", r.start_url.c_str(), r.start_reason.c_str());
  for (const std::string& n : r.notes) std::printf("  note: %s\n", n.c_str());
  if (!pkg.flash_vars.empty()) std::printf("flash vars: %s\n", utf16_to_utf8(pkg.flash_vars).c_str());
  if (!pkg.base.empty()) std::printf("base: %s\n", utf16_to_utf8(pkg.base).c_str());
  std::printf("nominal size: %u x %u\nmode: %s\n", pkg.width, pkg.height, pack::mode_name(pkg.mode));
  std::printf("entries: %zu, %lld bytes\n", r.entries.size(), total);
  for (const auto& [t, v] : types) std::printf("  %-40s %6d %14lld bytes\n", t.c_str(), v.count, v.bytes);
  if (!r.skipped.empty()) {
    std::printf("skipped:\n");
    for (const auto& [why, n] : r.skipped) std::printf("  %-40s %6d\n", why.c_str(), n);
  }
  for (const std::string& d : r.dropped) std::printf("duplicate: %s\n", d.c_str());
  for (const std::string& d : r.redirects) std::printf("redirect: %s\n", d.c_str());
  if (!r.warnings.empty()) std::printf("warnings: %zu (shown on stderr)\n", r.warnings.size());
  if (q.by_index)
    std::printf("read %llu of %llu bytes of the capture files\n", (unsigned long long)q.indexed.read,
                (unsigned long long)q.indexed.total);
  if (!q.out_path.empty()) std::printf("wrote %s\n", q.out_path.c_str());
  if (!q.manifest_dir.empty()) std::printf("wrote %s/manifest.toml\n", q.manifest_dir.c_str());
}

int run(Request* q) {
  WorkFolder work;
  try {
    common::Error error;
    if (!q->out_path.empty() && !pack::check_build_options(build_options(*q), &error))
      throw Fault(error);
    refuse_outputs_inside_folders(*q);
    remove_dead_runs_folders();
    work.path = make_work_folder(q->manifest_dir);
    work.own();
    q->options.work_dir = work.path;
    if (q->manifest_dir.empty()) q->options.files_per_folder = 256;
    uint64_t total = 0;
    for (const std::string& in : q->inputs) total += common::input_size(in);
    common::Progress progress("pack import", total);
    q->options.progress = &progress;
    q->options.warnings = stderr;
    capture::Importer importer(q->options);
    if (q->by_index) {
      q->indexed = capture::add_indexed(&importer, q->options, q->inputs, q->cdx);
    } else {
      for (const std::string& in : q->inputs) importer.add(in);
      q->indexed.read = q->indexed.total = total;
    }
    progress.finish();
    capture::Result result = importer.finish();
    for (const std::string& w : q->indexed.warnings) capture::warn(q->options, &result, w);
    write_outputs(*q, &result, &work);
    work.remove();
    if (q->json) print_json_summary(result, *q);
    else print_summary(result, *q);
    return 0;
  } catch (const std::bad_alloc&) {
    work.remove();
    std::fprintf(stderr, "pack import: out of memory\n");
    return 1;
  } catch (const std::exception& e) {
    work.remove();
    std::fprintf(stderr, "pack import: %s\n", e.what());
    return 1;
  }
}

}  // namespace

const cli::Help& import_help() { return help(); }

int command_import(int argc, char** argv) {
  Request request;
  int rc = 0;
  if (!parse(argc, argv, &request, &rc)) return rc;
  return run(&request);
}
