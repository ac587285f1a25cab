#include "import/accept.h"

#include <cstdio>

#include "import/html.h"

namespace capture {

Decision decide(const std::string& url, int status, const Headers& headers, const std::string& location) {
  Decision d;
  if (status == 301 || status == 302 || status == 303 || status == 307 || status == 308) {
    std::string to = location.empty() ? header(headers, "Location") : location;
    if (to.empty()) {
      d.reason = "status " + std::to_string(status);
      return d;
    }
    d.verdict = Verdict::redirect;
    d.reason = "redirect";
    d.target = join_url(url, to);
    return d;
  }
  if (status != 200 && status != 203 && status != 206) {
    d.reason = "status " + std::to_string(status);
    return d;
  }
  d.verdict = Verdict::keep;
  return d;
}

bool keeps_body(int status, const Headers& headers, uint64_t size) {
  if (status != 206) return true;
  unsigned long long a = 0, b = 0, total = 0;
  return std::sscanf(header(headers, "Content-Range").c_str(), "bytes %llu-%llu/%llu", &a, &b, &total) == 3 &&
         a == 0 && b + 1 == total && size == total;
}

}  // namespace capture
