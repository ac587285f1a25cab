#include "video_import.h"

#include <cstring>

#include "paths.h"
#include "stream.h"
#include "video.h"

namespace capture {

bool is_flv_item(const Item& item) {
  char head[3] = {};
  std::FILE* f = pack::open_file(item.file, "rb");
  if (!f) return false;
  const size_t n = std::fread(head, 1, sizeof head, f);
  std::fclose(f);
  return n == sizeof head && !std::memcmp(head, "FLV", 3);
}

void make_video_result(const Item& flv, const Options& options, Result* result) {
  pack::FlvInfo info;
  std::string error;
  if (!pack::inspect_flv(flv.file, &info, &error))
    throw ImportError(flv.url + " (" + flv.where + "): " + error.substr(flv.file.size() + 2));
  for (const std::string& p : info.problems) result->warnings.push_back(flv.url + ": " + p);
  pack::VideoSource source;
  source.flv_path = flv.file;
  source.width = options.width;
  source.height = options.height;
  if (!pack::video_package(source, info, &result->package, &error)) throw ImportError(error);
  result->notes.push_back("a video: " + pack::describe_flv(info));
  result->start_url = flv.url;
  result->entries = {flv};
}

}  // namespace capture
