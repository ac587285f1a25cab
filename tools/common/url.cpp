#include "common/url.h"

#include <cctype>
#include <vector>

#include "common/utf.h"

namespace common {
namespace {

// The colon that ends the URL's scheme, or npos when it has none.
size_t scheme_end(const std::string& u) {
  for (size_t k = 0; k < u.size(); ++k) {
    char c = u[k];
    if (c == ':') return k > 0 ? k : std::string::npos;
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.'))
      return std::string::npos;
  }
  return std::string::npos;
}

std::string remove_dots(const std::string& path) {
  std::vector<std::string> segs;
  size_t k = 0;
  bool trailing = false;
  while (k <= path.size()) {
    size_t s = path.find('/', k);
    if (s == std::string::npos) s = path.size();
    std::string seg = path.substr(k, s - k);
    trailing = false;
    if (seg == "..") {
      if (segs.size() > 1) segs.pop_back();
      trailing = true;
    } else if (seg == ".") {
      trailing = true;
    } else {
      segs.push_back(seg);
    }
    k = s + 1;
  }
  std::string out;
  for (size_t j = 0; j < segs.size(); ++j) out += (j ? "/" : "") + segs[j];
  if (trailing && (out.empty() || out.back() != '/')) out += '/';
  return out;
}

// rel's path (without query and fragment) merged with base's folder.
std::string merged_path(const std::string& base_path, const std::string& rel_path, bool absolute) {
  if (absolute) return rel_path;
  size_t slash = base_path.rfind('/');
  return (slash == std::string::npos ? "/" : base_path.substr(0, slash + 1)) + rel_path;
}

}  // namespace

std::string join_url(const std::string& base, const std::string& rel) {
  if (scheme_end(rel) != std::string::npos) return rel;
  size_t se = scheme_end(base);
  if (se == std::string::npos) return rel;
  if (rel.compare(0, 2, "//") == 0) return base.substr(0, se + 1) + rel;
  size_t auth_end = se + 1;
  if (base.compare(se + 1, 2, "//") == 0) {
    auth_end = base.find_first_of("/?#", se + 3);
    if (auth_end == std::string::npos) auth_end = base.size();
  }
  const std::string authority = base.substr(0, auth_end);
  size_t path_end = base.find_first_of("?#", auth_end);
  if (path_end == std::string::npos) path_end = base.size();
  const std::string path = base.substr(auth_end, path_end - auth_end);
  if (rel.empty()) return base.substr(0, base.find('#'));
  if (rel[0] == '#') return base.substr(0, base.find('#')) + rel;
  if (rel[0] == '?') return authority + path + rel;
  size_t rel_path_end = rel.find_first_of("?#");
  std::string rest = rel_path_end == std::string::npos ? "" : rel.substr(rel_path_end);
  return authority + remove_dots(merged_path(path, rel.substr(0, rel_path_end), rel[0] == '/')) + rest;
}

bool is_web_url(const std::string& url) {
  std::string l = ascii_lower(url.substr(0, 8));
  return l.compare(0, 7, "http://") == 0 || l.compare(0, 8, "https://") == 0;
}

}  // namespace common
