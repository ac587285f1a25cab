// Content types the packer gives an entry whose manifest names none, from
// the file's extension. One table for every way of making a package.
#pragma once

#include <string>

namespace pack {

// The content type for a file name or URL by its extension (letter case
// ignored; a URL's query and fragment are not part of it), or null when
// the table has none.
const char* content_type_for_name(const std::string& name);

// The extension content_type_for_name looks at, without the dot ("" for none).
std::string extension_of(const std::string& name);

}  // namespace pack
