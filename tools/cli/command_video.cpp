// pack video: a video player from one FLV.
#include <cstdio>
#include <string>

#include "cli/commands.h"
#include "cli/options.h"
#include "common/json.h"
#include "pack/build.h"
#include "pack/video.h"

namespace {

const cli::Help kHelp = {
    "video",
    "usage: pack video MOVIE.flv -o OUT.exe [--size WxH] [--player P.swf --skin S.swf]\n"
    "                  [--stub STUB.exe] [--strict] [--no-browser] [--json]\n",
    "Makes a video player: one FLV with the video player movie and skin this\n"
    "packer carries. Prints what it read from the FLV (duration, size, codecs).\n"
    "A file that is not an FLV is refused and nothing is written.\n",
    24,
    "Exit codes: 0 written, 1 refused or failed, 2 usage error.\n"};

// Reads the FLV, says what it holds, and writes the player.
int build_video(const pack::VideoSource& source, pack::BuildOptions build, bool json) {
  pack::FlvInfo info;
  common::Error error;
  if (!pack::inspect_flv(source.flv_path, &info, &error)) {
    std::fprintf(stderr, "pack: %s; no player written\n", error.text().c_str());
    return 1;
  }
  for (const common::Error& p : info.problems) std::fprintf(stderr, "pack: warning: %s\n", p.text().c_str());
  if (build.strict && !info.problems.empty()) {
    std::fprintf(stderr, "pack: no player written: the FLV is damaged (--strict)\n");
    return 1;
  }
  pack::Package pkg;
  if (!pack::video_package(source, info, &pkg, &error)) {
    std::fprintf(stderr, "pack: %s; no player written\n", error.text().c_str());
    return 1;
  }
  const uint32_t width = pkg.width, height = pkg.height;
  if (!json)
    std::printf("%s: %s\nnominal size: %u x %u%s\n", source.flv_path.c_str(), pack::describe_flv(info).c_str(),
                width, height, source.width ? " (--size)" : width ? " (from the metadata)" : " (none)");
  build.source = source.flv_path;
  pack::BuildResult result;
  const bool built = pack::build_player_file(std::move(pkg), build, &result, &error);
  for (const pack::Note& n : result.notes) std::fputs(pack::format_note(build.source, n).c_str(), stderr);
  if (!built) {
    std::fprintf(stderr, "pack: %s\n", error.text().c_str());
    return 1;
  }
  if (json)
    std::printf("{\"output\":%s,\"size\":%lld,\"width\":%u,\"height\":%u,\"flv\":{%s}}\n",
                common::json_quote(build.out_path).c_str(), static_cast<long long>(result.size), width, height,
                pack::flv_json(info).c_str());
  else
    std::printf("%s: %lld bytes, %s\n", build.out_path.c_str(), static_cast<long long>(result.size),
                result.contents.c_str());
  return 0;
}

}  // namespace

const cli::Help& video_help() { return kHelp; }

int command_video(int argc, char** argv) {
  pack::VideoSource source;
  pack::BuildOptions build;
  std::string size;
  bool json = false, no_browser = false;
  const std::vector<cli::Option> table = {
      {"-o, --output", "OUT.exe", "the player to write, whole or not at all", nullptr, &build.out_path,
       "needs a file name"},
      {"--size", "WxH",
       "the nominal video size in pixels (1 to 32767);\ndefault: width and height of the FLV's metadata",
       nullptr, &size, "needs WxH"},
      {"--player", "P.swf",
       "another video player movie (it must answer the\nFLVSetVolume, FLVSetSkin, FLVSetVideo and FLVplay calls)",
       nullptr, &source.player_path, "needs a file name"},
      {"--skin", "S.swf", "another skin movie", nullptr, &source.skin_path, "needs a file name"},
      {"--stub", "STUB.exe", "another player stub than the one this packer carries", nullptr,
       &build.stub_path, "needs a file name"},
      {"--strict", nullptr, "warnings (a damaged FLV) refuse the build too", &build.strict},
      {"--json", nullptr, "what was read from the FLV as one JSON object", &json},
      cli::no_browser_option(&no_browser),
  };
  auto operand = [&](const char* a, common::Error* error) {
    if (!source.flv_path.empty()) return cli::misuse(error, std::string("one FLV only; \"") + a + "\" is a second");
    source.flv_path = a;
    return true;
  };
  int rc = 0;
  if (!cli::parse_options(kHelp, table, argc, argv, operand, &rc)) return rc;
  if (source.flv_path.empty()) return cli::usage_error(kHelp, "missing MOVIE.flv");
  if (build.out_path.empty()) return cli::usage_error(kHelp, "missing -o OUT.exe");
  if (!size.empty() && !cli::parse_size(size, 1, &source.width, &source.height))
    return cli::usage_error(kHelp, "--size takes WxH, each from 1 to 32767 (\"" + size + "\")");

  build.browser = !no_browser;
  return build_video(source, build, json);
}
