// What real capture writers differ in, and the decoders' edge cases; whole
// captures are covered by import_test.py.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#ifdef TESSIVO_TEST_BROTLI_ENCODER
#include <brotli/encode.h>
#endif

#include "import/capture.h"
#include "import/html.h"
#include "import/record.h"
#include "import/stream.h"
#include "import/warc.h"

using namespace capture;

namespace {

std::vector<uint8_t> bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

std::string hex(size_t n) {
  char buf[20];
  std::snprintf(buf, sizeof buf, "%zx", n);
  return buf;
}

std::string compress(const std::string& s, int window_bits) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY);
  std::vector<uint8_t> out(s.size() + 64);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(s.data()));
  z.avail_in = uInt(s.size());
  z.next_out = out.data();
  z.avail_out = uInt(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return std::string(out.begin(), out.end());
}

TEST(WarcRecord, WritersVariants) {
  const std::string block = "HTTP/1.1 200 OK\r\n\r\nbody";
  struct Case {
    const char* name;
    std::string text;
    std::string uri, type;
    size_t block_size;
  } cases[] = {
      {"angle brackets, WARC 1.0", "WARC/1.0\r\nWARC-Type: response\r\nWARC-Target-URI: <http://a.test/x>\r\n"
                                   "Content-Length: 23\r\n\r\n" + block + "\r\n\r\n",
       "http://a.test/x", "response", 23},
      {"any case, folded, LF only", "WARC/1.1\nwarc-type:  Resource\nwarc-target-uri:\n http://a.test/y\n"
                                    "content-length: 4\n\nabcd\n\n",
       "http://a.test/y", "resource", 4},
      // The record's length is the truth, whatever the HTTP message says.
      {"record length wins", "WARC/1.1\r\nWARC-Type: response\r\nContent-Length: 10\r\n\r\n"
                             "HTTP/1.1 2\r\n\r\n",
       "", "response", 10},
  };
  for (const Case& c : cases) {
    MemoryInput in(reinterpret_cast<const uint8_t*>(c.text.data()), c.text.size());
    RecordReader records(&in, common::Error{"t", 0, -1, ""});
    RecordHead r;
    ASSERT_TRUE(records.next(&r)) << c.name;
    EXPECT_EQ(r.target_uri(), c.uri) << c.name;
    EXPECT_EQ(r.type(), c.type) << c.name;
    EXPECT_EQ(r.length, c.block_size) << c.name;
    EXPECT_FALSE(records.next(&r)) << c.name;
  }
}

TEST(WarcRecord, FramingFaultsNameTheOffset) {
  struct Case {
    std::string text, message;
  } cases[] = {
      {"\r\n\r\nHTTP/1.1 200 OK\r\n", "at byte 4: not a WARC record"},
      {"WARC/1.0\r\nContent-Length: 3\r\n", "at byte 0: the header block has no blank line"},
      {"WARC/1.0\r\nContent-Length: 30\r\n\r\nabc", "30 bytes run past the end"},
      {"WARC/1.0\r\nContent-Length: x\r\n\r\n", "no valid Content-Length"},
  };
  for (const Case& c : cases) {
    MemoryInput in(reinterpret_cast<const uint8_t*>(c.text.data()), c.text.size());
    RecordReader records(&in, common::Error{"f.warc", 0, -1, ""});
    RecordHead r;
    try {
      while (records.next(&r)) {
      }
      ADD_FAILURE() << "no error for " << c.message;
    } catch (const Fault& e) {
      EXPECT_EQ(std::string(e.what()).rfind("f.warc: at byte ", 0), 0u) << e.what();
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
}

TEST(HttpBody, CodingsAndCompleteness) {
  const std::string text = "hello, capture";
  const std::string gz = compress(text, 16 + MAX_WBITS);
  struct Case {
    const char* name;
    std::string message;
    std::string entity;
    bool complete;
    bool error;
  } cases[] = {
      {"plain", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", "hello", true, false},
      {"shorter than Content-Length", "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nhello", "hello", false, false},
      {"chunked with extension", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                                 "3;x=y\r\nhel\r\n2\r\nlo\r\n0\r\n\r\n", "hello", true, false},
      {"chunked without last chunk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nhel\r\n",
       "hel", false, false},
      {"gzip", "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n" + gz, text, true, false},
      {"gzip, chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Encoding: x-gzip\r\n\r\n" +
                            hex(gz.size()) + "\r\n" + gz + "\r\n0\r\n\r\n", text, true, false},
      {"deflate, zlib wrapper", "HTTP/1.1 200 OK\r\nContent-Encoding: deflate\r\n\r\n" + compress(text, MAX_WBITS),
       text, true, false},
      {"deflate, raw", "HTTP/1.1 200 OK\r\nContent-Encoding: Deflate\r\n\r\n" + compress(text, -MAX_WBITS),
       text, true, false},
      {"gzip cut short", "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n" + gz.substr(0, gz.size() - 6),
       text, false, false},
      {"damaged gzip", std::string("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n\x1f\x8b\x08\0\0\0\0\0\0\x03\x07zz", 56), "", true, true},
      {"unknown coding", "HTTP/1.1 200 OK\r\nContent-Encoding: zstd\r\n\r\nxx", "", true, true},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> block = bytes(c.message), out;
    HttpMessage m;
    ASSERT_EQ(parse_http(block, &m), "") << c.name;
    bool complete;
    std::string error = decode_body(m, block.data() + m.body_offset, block.size() - m.body_offset, &out, &complete);
    EXPECT_EQ(!error.empty(), c.error) << c.name << ": " << error;
    if (c.error) continue;
    EXPECT_EQ(std::string(out.begin(), out.end()).substr(0, c.complete ? std::string::npos : 3),
              c.entity.substr(0, c.complete ? std::string::npos : 3)) << c.name;
    EXPECT_EQ(complete, c.complete) << c.name;
  }
}

#ifdef TESSIVO_TEST_BROTLI_ENCODER
TEST(HttpBody, Brotli) {
  const std::string text = "brotli-coded body, brotli-coded body";
  std::vector<uint8_t> coded(text.size() + 64);
  size_t n = coded.size();
  ASSERT_TRUE(BrotliEncoderCompress(5, 22, BROTLI_MODE_TEXT, text.size(),
                                    reinterpret_cast<const uint8_t*>(text.data()), &n, coded.data()));
  coded.resize(n);
  bool complete = true;
  std::vector<uint8_t> data = coded;
  EXPECT_EQ(decode_content("br", &data, &complete, 1 << 20), "");
  EXPECT_EQ(std::string(data.begin(), data.end()), text);
  EXPECT_TRUE(complete);
  data.assign(coded.begin(), coded.end() - 2);
  EXPECT_EQ(decode_content("br", &data, &complete, 1 << 20), "");
  EXPECT_FALSE(complete);
}
#endif

TEST(Embedding, ObjectEmbedAndParams) {
  struct Case {
    const char* name;
    std::string html;
    std::string movie, vars, base;
    uint32_t w, h;
  } cases[] = {
      {"object with params", "<OBJECT width='550' height=400><PARAM NAME=Movie VALUE=\"a.swf\">"
                             "<param name=\"FlashVars\" value=\"x=1&amp;y=&lt;2&gt;&#x41;\">"
                             "<param name=base value=\"data/\"></OBJECT>",
       "a.swf", "x=1&y=<2>A", "data/", 550, 400},
      {"embed fills an object's gaps", "<object data=\"b.swf\"><embed src=\"c.swf\" flashvars=\"k=v\" "
                                       "width=\"100%\" height=\"300px\"></object>",
       "b.swf", "k=v", "", 0, 300},
      {"comment skipped, lone embed", "<!-- <embed src=\"no.swf\"> --><embed src='yes.swf' width=10 height=20>",
       "yes.swf", "", "", 10, 20},
  };
  for (const Case& c : cases) {
    Embedding e;
    ASSERT_TRUE(find_embedding(c.html, &e)) << c.name;
    EXPECT_EQ(e.movie, c.movie) << c.name;
    EXPECT_EQ(e.flash_vars, c.vars) << c.name;
    EXPECT_EQ(e.base, c.base) << c.name;
    EXPECT_EQ(e.width, c.w) << c.name;
    EXPECT_EQ(e.height, c.h) << c.name;
  }
  Embedding e;
  EXPECT_FALSE(find_embedding("<p>no movie</p><param name=movie value=x.swf>", &e));
}

TEST(Urls, JoinAndMirroredNames) {
  const char* base = "http://h.test/a/b/page.html?q=1";
  struct {
    const char* rel;
    const char* joined;
  } joins[] = {
      {"m.swf", "http://h.test/a/b/m.swf"}, {"../m.swf?v=2", "http://h.test/a/m.swf?v=2"},
      {"/x/./y/../z.swf", "http://h.test/x/z.swf"}, {"//o.test/p", "http://o.test/p"},
      {"?z=3", "http://h.test/a/b/page.html?z=3"}, {".", "http://h.test/a/b/"},
      {"https://s.test/", "https://s.test/"}, {"../../../../r", "http://h.test/r"},
  };
  for (const auto& j : joins) EXPECT_EQ(join_url(base, j.rel), j.joined) << j.rel;
  // RFC 3986's own examples (section 5.4), normal and abnormal.
  const char* rfc[][2] = {
      {"g:h", "g:h"}, {"g", "http://a/b/c/g"}, {"./g", "http://a/b/c/g"}, {"g/", "http://a/b/c/g/"},
      {"/g", "http://a/g"}, {"//g", "http://g"}, {"?y", "http://a/b/c/d;p?y"}, {"g?y", "http://a/b/c/g?y"},
      {"#s", "http://a/b/c/d;p?q#s"}, {"g#s", "http://a/b/c/g#s"}, {"g?y#s", "http://a/b/c/g?y#s"},
      {";x", "http://a/b/c/;x"}, {"g;x", "http://a/b/c/g;x"}, {"g;x?y#s", "http://a/b/c/g;x?y#s"},
      {"", "http://a/b/c/d;p?q"}, {".", "http://a/b/c/"}, {"./", "http://a/b/c/"}, {"..", "http://a/b/"},
      {"../", "http://a/b/"}, {"../g", "http://a/b/g"}, {"../..", "http://a/"}, {"../../", "http://a/"},
      {"../../g", "http://a/g"}, {"../../../g", "http://a/g"}, {"../../../../g", "http://a/g"},
      {"/./g", "http://a/g"}, {"/../g", "http://a/g"}, {"g.", "http://a/b/c/g."}, {".g", "http://a/b/c/.g"},
      {"g..", "http://a/b/c/g.."}, {"..g", "http://a/b/c/..g"}, {"./../g", "http://a/b/g"},
      {"./g/.", "http://a/b/c/g/"}, {"g/./h", "http://a/b/c/g/h"}, {"g/../h", "http://a/b/c/h"},
      {"g;x=1/./y", "http://a/b/c/g;x=1/y"}, {"g;x=1/../y", "http://a/b/c/y"},
      {"g?y/./x", "http://a/b/c/g?y/./x"}, {"g?y/../x", "http://a/b/c/g?y/../x"},
      {"g#s/./x", "http://a/b/c/g#s/./x"}, {"g#s/../x", "http://a/b/c/g#s/../x"}, {"http:g", "http:g"},
  };
  for (const auto& j : rfc) EXPECT_EQ(join_url("http://a/b/c/d;p?q", j[0]), j[1]) << j[0];
  struct {
    const char* rel;
    const char* url;
  } names[] = {
      {"h.test/g/data.php?id=1", "http://h.test/g/data.php?id=1"},
      {"h.test/g/data.php@id=1", "http://h.test/g/data.php?id=1"},
      {"h.test/g/icon@2x.png", "http://h.test/g/icon@2x.png"},
      {"h.test/my file.txt", "http://h.test/my%20file.txt"},
      {"h.test+8080/a+1.txt", "http://h.test:8080/a+1.txt"},
  };
  for (const auto& n : names) EXPECT_EQ(folder_url("http", n.rel), n.url) << n.rel;
}

// A saved body's text read by the JSON parser (short) and by the spill's own
// unescaping (long): the same bytes, or the same fault at the same byte.
TEST(Har, SpilledTextAsTheParserReadsIt) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("tessivo-har-" + std::to_string(getpid()));
  struct Case {
    const char* text;      // the value of content.text, as written in the file
    std::string expected;  // the payload; else "entry": the string is bad, "file": the JSON is
  } cases[] = {
      {R"("caf\u00e9 \u20AC \ud83d\ude00 caf)" "\xc3\xa9" R"(")",
       "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 caf\xc3\xa9"},
      {R"("a\/b\\c\"d\b\f\n\r\t\u0000e")", std::string("a/b\\c\"d\b\f\n\r\t\0e", 14)},
      {R"("plain text, long enough to spill")", "plain text, long enough to spill"},
      {R"("bad \x escape")", "entry"},
      {R"("bad \u12G4 hex")", "entry"},
      {R"("lone high \ud83d")", "entry"},
      {R"("high then text \ud83dx")", "entry"},
      {R"("high then not low \ud83d\u0041")", "entry"},
      {R"("lone low \ude00 here")", "entry"},
      {"\"control \x01 character\"", "entry"},
      {"\"overlong \xc0\x80 UTF-8\"", "entry"},
      {"\"surrogate \xed\xa0\x80 in UTF-8\"", "entry"},
      {"\"cut \xe2\x82\" short\"", "file"},  // the quote ends the string
      {"\"beyond U+10FFFF \xf4\x90\x80\x80\"", "entry"},
      {R"("a string followed by" x)", "file"},
      {R"("never closed)", "file"},
  };
  for (const Case& c : cases) {
    const std::string har = std::string(
        "{\"log\": {\"entries\": [\n{\"request\": {\"url\": \"http://h.test/m.swf\"}, \"response\": "
        "{\"status\": 200, \"content\": {\"mimeType\": \"application/x-shockwave-flash\",\n\"text\": ") +
        c.text + "}}}]}}";
    std::string seen[2];
    for (int spill = 0; spill < 2; ++spill) {
      fs::remove_all(dir);
      fs::create_directories(dir);
      Options options;
      options.work_dir = dir.u8string();
      options.strict = true;  // the fault, as refused
      Importer importer(options);
      try {
        importer.add_har_text(har, "t.har", spill ? 8 : 1 << 16);
        Result result = importer.finish();
        std::ifstream in(fs::u8path(result.entries.at(0).file), std::ios::binary);
        std::stringstream bytes;
        bytes << in.rdbuf();
        seen[spill] = "payload " + bytes.str();
      } catch (const Fault& e) {
        seen[spill] = e.what();
      }
    }
    EXPECT_EQ(seen[1], seen[0]) << c.text;
    if (c.expected == "file") EXPECT_NE(seen[0].find("t.har:3: not valid JSON (byte "), std::string::npos) << seen[0];
    else if (c.expected == "entry")
      EXPECT_TRUE(seen[0].rfind("t.har: at byte ", 0) == 0 &&
                  seen[0].find(" (entries[0]): a string is not valid JSON text (") != std::string::npos)
          << seen[0];
    else EXPECT_EQ(seen[0], "payload " + c.expected) << c.text;
  }
  fs::remove_all(dir);
}

}  // namespace
