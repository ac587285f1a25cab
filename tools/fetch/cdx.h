// The Wayback interface of a web archive: its capture index (CDX) in the
// two JSON dialects archives answer with, and raw replay URLs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/error.h"

namespace fetch {

// ia: one JSON array of arrays, the first row naming the fields, at
// ARCHIVE/cdx/search/cdx; replay at ARCHIVE/web/TSid_/URL.
// pywb: one JSON object per line at ARCHIVE/cdx; replay at ARCHIVE/TSid_/URL;
// POST captures carry method and requestBody.
enum class Dialect { unknown, ia, pywb };
const char* dialect_name(Dialect d);

struct CdxLine {
  std::string urlkey, timestamp, url, mime, status, digest, method, request_body;
  bool fuzzy = false;
  bool post() const;
  bool revisit() const { return mime == "warc/revisit"; }
};

// The index query for url; prefix asks for every capture under it.
std::string cdx_query(const std::string& archive, Dialect d, const std::string& url, bool prefix);
// Parses either dialect; the shape of the text tells which. False with a
// message when it is neither.
bool parse_cdx(const std::string& text, std::vector<CdxLine>* out, Dialect* shape, common::Error* error);

// The raw replay URL (id_) of url at timestamp.
std::string replay_url(const std::string& archive, Dialect d, const std::string& timestamp, const std::string& url);
// When answer is a replay URL of this archive: its timestamp and original URL.
bool parse_replay_url(const std::string& archive, Dialect d, const std::string& answer, std::string* timestamp,
                      std::string* url);

// The key captures are matched by: scheme, user info, a leading "www.", the
// default port and letter case folded, host labels reversed, query
// parameters sorted, fragment dropped ("com,example)/a?b=1&c=2").
std::string url_key(const std::string& url);
// The URL without its query and fragment; "" when it has none.
std::string without_query(const std::string& url);

// 14-digit timestamps: seconds since 1970 (UTC), -1 when malformed.
int64_t timestamp_seconds(const std::string& ts);
// YYYYMMDD[hhmmss] (partial times allowed) padded to 14 digits; "" if bad.
std::string full_timestamp(const std::string& given);
// An HTTP date (Memento-Datetime) as a 14-digit timestamp; "" if bad.
std::string http_date_timestamp(const std::string& date);
// A 14-digit timestamp as the WARC writes dates: 2024-01-02T03:04:05Z.
std::string warc_date(const std::string& ts);
// And back: a WARC date as a 14-digit timestamp.
std::string warc_date_timestamp(const std::string& date);

}  // namespace fetch
