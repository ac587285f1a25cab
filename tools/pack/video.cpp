#include "pack/video.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "common/file.h"
#include "common/json.h"
#include "common/paths.h"
#include "pack/package_writer.h"
#include "pack/stub/carried_movies.h"
#include "package/player_state.h"

namespace pack {
namespace {

bool in_range(double v) { return v >= 1 && v <= pack::kMaxNominalSize && v == std::floor(v); }

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", v);
  std::string s = text;
  while (s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  return s;
}

// A file's path and size. Refuses what is not a plain file, whose size a
// seek does not tell (a folder, a pipe), before anything is written.
bool file_data(const std::string& path, const char* what, Data* out, common::Error* error) {
  common::File f = common::open_file(path, "rb");
  if (!f) {
    *error = common::errno_error(path);
    error->message = std::string("cannot open ") + what + ": " + error->message;
    return false;
  }
  const int64_t size = common::path_kind(path) == common::PathKind::file ? common::file_size(f) : -1;
  if (size < 0) {
    *error = common::Error{path, 0, -1, std::string("cannot read ") + what + ": not a file"};
    return false;
  }
  out->path = path;
  out->size = size;
  return true;
}

bool movie(const std::string& path, CarriedMovie carried, const char* what, Data* out,
           common::Error* error) {
  if (!path.empty()) return file_data(path, what, out, error);
  if (carried.size == 0) {
    error->message = std::string("this packer was built without ") + what + "; give one";
    return false;
  }
  out->bytes.assign(carried.data, carried.data + carried.size);
  return true;
}

}  // namespace

bool inspect_flv(const std::string& path, FlvInfo* info, common::Error* error) {
  common::File f = common::open_file(path, "rb");
  if (!f) {
    *error = common::errno_error(path);
    return false;
  }
  std::vector<uint8_t> prefix(kFlvPrefix);
  prefix.resize(std::fread(prefix.data(), 1, prefix.size(), f.get()));
  if (std::ferror(f.get())) {
    *error = common::errno_error(path);
    return false;
  }
  const bool ok = read_flv(prefix.data(), prefix.size(), info, error);
  error->file = path;
  for (common::Error& p : info->problems) p.file = path;
  return ok;
}

bool video_package(const VideoSource& source, const FlvInfo& info, Package* out, common::Error* error) {
  Package pkg;
  pkg.mode = PLAYBACK_VIDEO;
  if (source.width && source.height) {
    pkg.width = source.width;
    pkg.height = source.height;
  } else if (in_range(info.width) && in_range(info.height)) {
    pkg.width = uint32_t(info.width);
    pkg.height = uint32_t(info.height);
  }
  if (!movie(source.player_path, carried_player_movie(), "the video player movie", &pkg.player, error) ||
      !movie(source.skin_path, carried_skin_movie(), "the skin movie", &pkg.skin, error))
    return false;
  if (!file_data(source.flv_path, "the video", &pkg.video, error)) return false;
  *out = std::move(pkg);
  return true;
}

std::string describe_flv(const FlvInfo& info) {
  std::string s = info.duration >= 0 ? number(info.duration) + " s" : "duration unknown";
  s += ", ";
  s += info.width > 0 && info.height > 0 ? number(info.width) + "x" + number(info.height) : "size unknown";
  if (info.frame_rate > 0) s += ", " + number(info.frame_rate) + " fps";
  s += std::string(", video ") + flv_video_codec_name(info.video_codec);
  s += std::string(", audio ") + flv_audio_codec_name(info.audio_codec);
  return s;
}

std::string flv_json(const FlvInfo& info) {
  auto num = [](double v, bool known) { return known ? number(v) : std::string("null"); };
  std::string s = "\"duration\":" + num(info.duration, info.duration >= 0);
  s += ",\"width\":" + num(info.width, info.width > 0) + ",\"height\":" + num(info.height, info.height > 0);
  s += ",\"frame_rate\":" + num(info.frame_rate, info.frame_rate > 0);
  s += ",\"video_codec\":" + common::json_quote(flv_video_codec_name(info.video_codec));
  s += ",\"audio_codec\":" + common::json_quote(flv_audio_codec_name(info.audio_codec));
  s += ",\"problems\":[";
  for (size_t i = 0; i < info.problems.size(); ++i)
    s += std::string(i ? "," : "") + "{\"offset\":" + std::to_string(info.problems[i].offset) +
         ",\"message\":" + common::json_quote(info.problems[i].message) + "}";
  return s + "]";
}

}  // namespace pack
