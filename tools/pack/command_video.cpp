// pack video MOVIE.flv -o OUT.exe [--size WxH] [--player P.swf] [--skin S.swf]
//   [--stub STUB.exe] [--strict] [--json]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "build.h"
#include "commands.h"
#include "utf.h"
#include "video.h"

namespace {

const char kHelp[] =
    "usage: pack video MOVIE.flv -o OUT.exe [--size WxH] [--player P.swf --skin S.swf]\n"
    "                  [--stub STUB.exe] [--strict] [--json]\n"
    "\n"
    "Makes a video player: one FLV with the video player movie and skin this\n"
    "packer carries. Prints what it read from the FLV (duration, size, codecs).\n"
    "A file that is not an FLV is refused and nothing is written.\n"
    "\n"
    "  -o, --output OUT.exe  the player to write, whole or not at all\n"
    "  --size WxH            the nominal video size in pixels (1 to 32767);\n"
    "                        default: width and height of the FLV's metadata\n"
    "  --player P.swf        another video player movie (it must answer the\n"
    "                        FLVSetVolume, FLVSetSkin, FLVSetVideo and FLVplay calls)\n"
    "  --skin S.swf          another skin movie\n"
    "  --stub STUB.exe       another player stub than the one this packer carries\n"
    "  --strict              warnings refuse the build too\n"
    "  --json                what was read from the FLV as one JSON object\n"
    "\n"
    "Exit codes: 0 written, 1 refused or failed, 2 usage error.\n";

struct Options {
  pack::VideoSource source;
  pack::BuildOptions build;
  std::string size;
  bool json = false;
};

// The options that take a value, each once, with where the value goes.
struct PathRow {
  const char* name;
  std::string* (*target)(Options&);
};

const PathRow kPaths[] = {
    {"--player", [](Options& o) { return &o.source.player_path; }},
    {"--skin", [](Options& o) { return &o.source.skin_path; }},
    {"--stub", [](Options& o) { return &o.build.stub_path; }},
    {"--output", [](Options& o) { return &o.build.out_path; }},
    {"-o", [](Options& o) { return &o.build.out_path; }},
    {"--size", [](Options& o) { return &o.size; }},
};

bool parse_size(const std::string& text, uint32_t* w, uint32_t* h) {
  char* end = nullptr;
  const long a = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || (*end != 'x' && *end != 'X')) return false;
  const char* second = end + 1;
  const long b = std::strtol(second, &end, 10);
  if (end == second || *end || a < 1 || b < 1 || a > 32767 || b > 32767) return false;
  *w = uint32_t(a);
  *h = uint32_t(b);
  return true;
}

}  // namespace

int command_video(int argc, char** argv) {
  Options o;
  for (int i = 0; i < argc; ++i) {
    const char* a = argv[i];
    if (is_help(a)) {
      std::fputs(kHelp, stdout);
      return 0;
    }
    const PathRow* row = nullptr;
    for (const PathRow& r : kPaths)
      if (!std::strcmp(a, r.name)) row = &r;
    if (row) {
      if (i + 1 >= argc) return usage_error("video", std::string(a) + " needs a value");
      *row->target(o) = argv[++i];
    } else if (!std::strcmp(a, "--json")) {
      o.json = true;
    } else if (!std::strcmp(a, "--strict")) {
      o.build.strict = true;
    } else if (a[0] == '-' && a[1]) {
      return usage_error("video", std::string("unknown option ") + a);
    } else if (!o.source.flv_path.empty()) {
      return usage_error("video", std::string("one FLV only; \"") + a + "\" is a second");
    } else {
      o.source.flv_path = a;
    }
  }
  if (o.source.flv_path.empty()) return usage_error("video", "missing MOVIE.flv");
  if (o.build.out_path.empty()) return usage_error("video", "missing -o OUT.exe");
  if (!o.size.empty() && !parse_size(o.size, &o.source.width, &o.source.height))
    return usage_error("video", "--size takes WxH, each from 1 to 32767 (\"" + o.size + "\")");

  pack::FlvInfo info;
  std::string error;
  if (!pack::inspect_flv(o.source.flv_path, &info, &error)) {
    std::fprintf(stderr, "pack: %s; no player written\n", error.c_str());
    return 1;
  }
  for (const std::string& p : info.problems)
    std::fprintf(stderr, "%s: warning: %s\n", o.source.flv_path.c_str(), p.c_str());
  pack::Package pkg;
  if (!pack::video_package(o.source, info, &pkg, &error)) {
    std::fprintf(stderr, "pack: %s; no player written\n", error.c_str());
    return 1;
  }
  if (o.build.strict && !info.problems.empty()) {
    std::fprintf(stderr, "pack: no player written: the FLV is damaged (--strict)\n");
    return 1;
  }
  const uint32_t width = pkg.width, height = pkg.height;
  if (!o.json)
    std::printf("%s: %s\nnominal size: %u x %u%s\n", o.source.flv_path.c_str(),
                pack::describe_flv(info).c_str(), pkg.width, pkg.height,
                o.source.width ? " (--size)" : pkg.width ? " (from the metadata)" : " (none)");
  o.build.source = o.source.flv_path;
  o.build.quiet = o.json;
  const int code = pack::build_player_file(std::move(pkg), o.build);
  if (code == 0 && o.json)
    std::printf("{\"output\":%s,\"width\":%u,\"height\":%u,\"flv\":{%s}}\n",
                json_quote(o.build.out_path).c_str(), width, height, pack::flv_json(info).c_str());
  return code;
}
