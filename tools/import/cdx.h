// Reading part of a web-archive collection through its CDX or CDXJ index:
// only the records under the wanted URL prefixes, by their byte ranges, so
// that one game out of a crawl of many gigabytes costs its own records.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "import/capture.h"

namespace capture {

// One line of an index: a record of a WARC file.
struct IndexLine {
  std::string urlkey, timestamp, url, mime, status, digest, filename, method;
  int64_t offset = -1, length = -1;
};

// Parses one line of an index: the classic CDX (fields as a " CDX ..."
// header names them, else the 11 of "N b a m s k r M S V g") or CDXJ
// ("urlkey timestamp {json}"). False for lines that name no record
// (headers, comments, blank lines, records without a place).
bool parse_index_line(const std::string& text, const std::vector<char>& fields, IndexLine* out);
// The fields a " CDX ..." header names, as its letters; empty when text is
// no such header.
std::vector<char> cdx_header(const std::string& text);

// The sort-friendly key of a URL, as replay tools index it: scheme, user
// info, a leading "www.", the default port and case folded, host labels
// reversed, query arguments sorted ("com,example)/path?a=1&b=2").
std::string surt(const std::string& url);

// Reads an index file (plain or gzip). Throws a Fault.
std::vector<IndexLine> read_index(const std::string& path);

// Indexes found beside a WARC: *.cdx and *.cdxj in its folder, and a
// collection's indexes/index.cdx(j) above an archive/ folder.
std::vector<std::string> indexes_beside(const std::string& warc);

struct IndexedRead {
  uint64_t read = 0;   // bytes read of the capture files
  uint64_t total = 0;  // their size
  std::vector<std::string> warnings;  // to show once the import is finished
};

// Adds the inputs to the importer: WARC files that the indexes cover by the
// records under options.includes (and the originals their revisits name,
// found by digest, plus the unindexed records next to them: requests), the
// rest whole. A file whose index does not match it is read whole, with a
// warning (refused under --strict). indexes empty: found beside each WARC.
IndexedRead add_indexed(Importer* importer, const Options& options, const std::vector<std::string>& inputs,
                        const std::vector<std::string>& indexes);

}  // namespace capture
