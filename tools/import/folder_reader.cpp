#include <algorithm>
#include <filesystem>

#include "common/paths.h"
#include "import/intake.h"
#include "import/readers.h"
#include "pack/content_type.h"

namespace fs = std::filesystem;

namespace capture {

std::string folder_url(const std::string& scheme, const std::string& rel) {
  std::string path = rel;
  size_t slash = path.rfind('/');
  size_t name_at = slash == std::string::npos ? 0 : slash + 1;
  // wget keeps a query in the file name, after '?', or after '@' when it
  // writes names Windows can hold; "x@2x.png" is no query.
  size_t q = path.find('?', name_at);
  if (q == std::string::npos) {
    size_t at = path.find('@', name_at);
    if (at != std::string::npos && path.find('=', at) != std::string::npos &&
        path.find('.', name_at) < at)
      path[at] = '?';
  }
  // Where a file name cannot hold ':', wget writes a port as "HOST+PORT",
  // httrack as "HOST_PORT".
  size_t host_end = path.find('/');
  size_t plus = path.find_last_of("+_", host_end);
  if (plus != std::string::npos && plus + 1 < host_end &&
      path.find_first_not_of("0123456789", plus + 1) == host_end)
    path[plus] = ':';
  std::string out = scheme + "://";
  for (char c : path) {
    if (c == ' ') out += "%20";
    else out += c;
  }
  return out;
}

void read_folder(Intake* intake, const std::string& path) {
  std::vector<std::string> files;
  const fs::path root(common::fs_path(path));
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
    if (it->is_regular_file()) files.push_back(it->path().lexically_relative(root).generic_u8string());
  std::sort(files.begin(), files.end());
  for (const std::string& rel : files) {
    const std::string where = common::utf8_path(root / fs::u8path(rel));
    // httrack's cache and log sit beside the host folders.
    if (rel.find('/') == std::string::npos || starts_with(rel, "hts-cache/")) {
      intake->accepted(where, "outside a host folder", "not under a HOST folder; left out");
      intake->skip("outside a host folder");
      continue;
    }
    FileInput in(where);
    Reader body(&in);
    Captured c;
    c.url = folder_url(intake->options().scheme, rel);
    c.where.file = where;
    if (const char* type = pack::content_type_for_name(c.url)) c.content_type = type;
    c.body = &body;
    c.coded = false;
    Item item;
    Intake::Payload payload;
    if (!intake->take(c, &item, &payload)) continue;
    // wget saves "dir/" as "dir/index.html"; a movie may ask for either.
    if (ends_with(rel, "/index.html")) item.alternate = item.url.substr(0, item.url.size() - 10);
    intake->keep(item);
    intake->read_whole(uint64_t(item.size));
  }
}

}  // namespace capture
