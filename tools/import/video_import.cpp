#include "import/video_import.h"

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "common/file.h"
#include "import/stream.h"
#include "pack/stub/carried_movies.h"
#include "pack/video.h"

namespace capture {

bool is_flv_item(const Item& item) {
  char head[3] = {};
  common::File f = common::open_file(item.file, "rb");
  if (!f) return false;
  const size_t n = std::fread(head, 1, sizeof head, f.get());
  return n == sizeof head && !std::memcmp(head, "FLV", 3);
}

namespace {

// The carried movie as a file beside the payloads, so that a manifest
// written from the result names it like the FLV.
std::string write_movie(const Options& options, const char* name, pack::CarriedMovie movie) {
  const std::string path = (std::filesystem::path(options.work_dir) / name).string();
  common::File f = common::open_file(path, "wb");
  bool ok = f && std::fwrite(movie.data, 1, movie.size, f.get()) == movie.size;
  if (!f.close() || !ok) throw Fault(common::Error{path, 0, -1, std::string("cannot write the ") + name});
  return path;
}

}  // namespace

void make_video_result(const Item& flv, const Options& options, Result* result) {
  pack::FlvInfo info;
  common::Error flv_error;
  if (!pack::inspect_flv(flv.file, &info, &flv_error)) {
    flv_error.file = flv.url + " (" + flv.where.place() + ")";
    throw Fault(flv_error);
  }
  // Damage is shown as every import warning is, and refuses under --strict
  // as pack video --strict refuses it.
  for (common::Error p : info.problems) {
    p.file = flv.url;
    if (options.strict) throw Fault(with_message(p, p.message + " (--strict)"));
    warn(options, result, p.text());
  }
  pack::VideoSource source;
  source.flv_path = flv.file;
  source.width = options.width;
  source.height = options.height;
  if (pack::carried_player_movie().size && pack::carried_skin_movie().size) {
    source.player_path = write_movie(options, "player.swf", pack::carried_player_movie());
    source.skin_path = write_movie(options, "skin.swf", pack::carried_skin_movie());
  }
  if (!pack::video_package(source, info, &result->package, &flv_error)) throw Fault(flv_error);
  result->notes.push_back("a video: " + pack::describe_flv(info));
  result->start_url = flv.url;
  result->entries = {flv};
}

}  // namespace capture
