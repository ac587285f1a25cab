// The one URL join of the packer: the importer resolves links and redirects
// with it, the audit the relative texts a movie names.
#pragma once

#include <string>

namespace common {

// rel resolved against the absolute URL base (RFC 3986, section 5.2).
std::string join_url(const std::string& base, const std::string& rel);

// Whether url is absolute http or https, scheme in any letter case.
bool is_web_url(const std::string& url);

}  // namespace common
