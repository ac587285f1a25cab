// The loopback server's HTTP/1.1 side that needs no system: finding and
// reading a request's head, deciding what it asks for, and decoding the
// URL that the page forwards. Portable, so that it is tested everywhere.
#pragma once

#include <cstdint>

namespace browser {

constexpr int32_t HEAD_LIMIT = 16 * 1024;
constexpr int32_t BODY_LIMIT = 16 * 1024 * 1024;

// A piece of the head buffer; not terminated.
struct Text {
  const char* p;
  int32_t n;
};

struct RequestHead {
  Text method, target, host, fetch_site, accept_encoding;
  bool has_host, has_fetch_site;
  bool http10;          // an HTTP/1.0 request closes unless it asks to stay
  bool close, keep_alive;
  bool chunked;         // a body without a length: refused
  int64_t content_length;  // -1: none given
  bool bad_length;      // not a plain decimal, or given twice differently
};

// The length of the head with its blank line, or 0 while it is incomplete.
int32_t head_length(const char* data, int32_t n);

// Reads the head in data[0, n); false when it is no HTTP request at all.
bool parse_head(const char* data, int32_t n, RequestHead* out);

enum Route : int32_t {
  ROUTE_RUNTIME,      // a file of the runtime, by name
  ROUTE_REQUEST,      // a movie's request, forwarded by the page
  ROUTE_VOLUME,
  ROUTE_FIRST_FRAME,
};

struct Decision {
  int32_t status;  // 0: answered by the route, else the refusal's status
  Route route;
  Text name;       // ROUTE_RUNTIME: the file's name ("index.html" for the folder)
  Text query;      // ROUTE_REQUEST: the encoded URL
};

// What a request gets: refusals in the order Host, Sec-Fetch-Site, method,
// path. origin is "127.0.0.1:PORT", token the server's secret path part.
Decision route_request(const RequestHead& head, const char* origin, const char* token);

bool text_is(Text t, const char* s);

// Whether an Accept-Encoding value lists coding (any letter case, not with q=0);
// an empty coding is always accepted.
bool accepts_coding(Text accept_encoding, const char16_t* coding);

// The percent-decoded query as UTF-16 (bad UTF-8 becomes U+FFFD), in a new
// malloc block, or null when out of memory.
char16_t* decode_query(Text query);

}  // namespace browser
