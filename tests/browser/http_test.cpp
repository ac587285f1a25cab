#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "browser/http.h"

using namespace browser;

namespace {

const char ORIGIN[] = "127.0.0.1:4321";
const char TOKEN[] = "0123456789abcdef0123456789abcdef";

Decision route(const std::string& head) {
  RequestHead h;
  if (!parse_head(head.data(), int32_t(head.size()), &h)) return Decision{-1, ROUTE_RUNTIME, {}, {}};
  return route_request(h, ORIGIN, TOKEN);
}

std::string in(const Text& t) { return std::string(t.p, size_t(t.n)); }

TEST(BrowserHttp, RoutesAndRefusals) {
  const std::string t = std::string("/") + TOKEN + "/";
  struct Case {
    std::string head;
    int32_t status;
    Route route;
    std::string name_or_query;
  } cases[] = {
      {"GET " + t + " HTTP/1.1\r\nHost: 127.0.0.1:4321\r\n\r\n", 0, ROUTE_RUNTIME, "index.html"},
      {"GET " + t + "sw.js HTTP/1.1\r\nhost:127.0.0.1:4321\r\n\r\n", 0, ROUTE_RUNTIME, "sw.js"},
      {"POST " + t + "req?http%3A%2F%2Fa.test%2F HTTP/1.1\r\nHost: 127.0.0.1:4321\r\n\r\n", 0,
       ROUTE_REQUEST, "http%3A%2F%2Fa.test%2F"},
      {"HEAD " + t + "req?x HTTP/1.0\r\nHost: 127.0.0.1:4321\r\n\r\n", 0, ROUTE_REQUEST, "x"},
      {"POST " + t + "volume HTTP/1.1\r\nHost: 127.0.0.1:4321\r\n\r\n", 0, ROUTE_VOLUME, ""},
      {"GET " + t + "first-frame HTTP/1.1\r\nHost: 127.0.0.1:4321\r\nSec-Fetch-Site: same-origin\r\n\r\n",
       0, ROUTE_FIRST_FRAME, ""},
      // Refusals, in their order: Host, Sec-Fetch-Site, method, path.
      {"GET " + t + " HTTP/1.1\r\nHost: evil.example:4321\r\n\r\n", 421, ROUTE_RUNTIME, ""},
      {"GET " + t + " HTTP/1.1\r\nHost: 127.0.0.1:4321\r\nHost: 127.0.0.1:4321\r\n\r\n", 421,
       ROUTE_RUNTIME, ""},
      {"GET " + t + " HTTP/1.1\r\n\r\n", 421, ROUTE_RUNTIME, ""},
      {"PUT / HTTP/1.1\r\nHost: evil.example\r\nSec-Fetch-Site: cross-site\r\n\r\n", 421,
       ROUTE_RUNTIME, ""},
      {"PUT / HTTP/1.1\r\nHost: 127.0.0.1:4321\r\nSec-Fetch-Site: cross-site\r\n\r\n", 403,
       ROUTE_RUNTIME, ""},
      {"GET " + t + " HTTP/1.1\r\nHost: 127.0.0.1:4321\r\nSec-Fetch-Site: same-site\r\n\r\n", 403,
       ROUTE_RUNTIME, ""},
      {"PUT / HTTP/1.1\r\nHost: 127.0.0.1:4321\r\n\r\n", 405, ROUTE_RUNTIME, ""},
      {"POST " + t + "ruffle.js HTTP/1.1\r\nHost: 127.0.0.1:4321\r\n\r\n", 405, ROUTE_RUNTIME, ""},
      {"GET / HTTP/1.1\r\nHost: 127.0.0.1:4321\r\n\r\n", 404, ROUTE_RUNTIME, ""},
      {"GET /" + std::string(TOKEN, 31) + "/ HTTP/1.1\r\nHost: 127.0.0.1:4321\r\n\r\n", 404,
       ROUTE_RUNTIME, ""},
      {"GET " + t + ".env HTTP/1.1\r\nHost: 127.0.0.1:4321\r\n\r\n", 404, ROUTE_RUNTIME, ""},
      {"GET " + t + "a/b HTTP/1.1\r\nHost: 127.0.0.1:4321\r\n\r\n", 404, ROUTE_RUNTIME, ""},
      {"GET " + t + " HTTP/2.0\r\nHost: 127.0.0.1:4321\r\n\r\n", -1, ROUTE_RUNTIME, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.head);
    Decision d = route(c.head);
    EXPECT_EQ(d.status, c.status);
    if (c.status == 0) {
      EXPECT_EQ(d.route, c.route);
      if (c.route == ROUTE_RUNTIME) {
        EXPECT_EQ(in(d.name), c.name_or_query);
      } else if (c.route == ROUTE_REQUEST) {
        EXPECT_EQ(in(d.query), c.name_or_query);
      }
    }
  }
}

TEST(BrowserHttp, HeadFields) {
  std::string head = "POST /x HTTP/1.1\r\nHost: h\r\nContent-Length: 12\r\nConnection: Close\r\n"
                     "Transfer-Encoding: chunked\r\n\r\nbody";
  EXPECT_EQ(head_length(head.data(), int32_t(head.size())), int32_t(head.size()) - 4);
  EXPECT_EQ(head_length(head.data(), 20), 0);
  RequestHead h;
  ASSERT_TRUE(parse_head(head.data(), int32_t(head.size()) - 4, &h));
  EXPECT_EQ(h.content_length, 12);
  EXPECT_TRUE(h.close);
  EXPECT_TRUE(h.chunked);
  for (const char* bad : {"Content-Length: 1x", "Content-Length: -1", "Content-Length: 1\r\nContent-Length: 2"}) {
    std::string b = std::string("POST /x HTTP/1.1\r\n") + bad + "\r\n\r\n";
    ASSERT_TRUE(parse_head(b.data(), int32_t(b.size()), &h));
    EXPECT_TRUE(h.bad_length) << bad;
  }
}

TEST(BrowserHttp, Codings) {
  struct Case {
    const char* accept;
    const char16_t* coding;
    bool ok;
  } cases[] = {
      {"gzip, deflate, br, zstd", u"br", true}, {"gzip", u"br", false},
      {"BR;q=0.5", u"br", true},                {"br;q=0, gzip", u"br", false},
      {"br;q=0.0", u"br", false},               {"*", u"gzip", true},
      {"", u"", true},                          {"brotli", u"br", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(accepts_coding(Text{c.accept, int32_t(std::strlen(c.accept))}, c.coding), c.ok)
        << c.accept;
}

TEST(BrowserHttp, DecodesForwardedUrls) {
  struct Case {
    const char* query;
    std::u16string url;
  } cases[] = {
      {"http%3A%2F%2Fa.test%2Fb%20c.xml%3Fq%3D1%2B2", u"http://a.test/b c.xml?q=1+2"},
      {"caf%C3%A9%F0%9F%8E%AC", u"caf\u00e9\U0001F3AC"},
      {"bad%C3%28%ZZ%4", u"bad\uFFFD(%ZZ%4"},
      {"%ED%A0%80%C0%AF", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},  // a surrogate, an overlong form
  };
  for (const Case& c : cases) {
    char16_t* url = decode_query(Text{c.query, int32_t(std::strlen(c.query))});
    ASSERT_NE(url, nullptr);
    EXPECT_EQ(std::u16string(url), c.url) << c.query;
    std::free(url);
  }
}

}  // namespace
