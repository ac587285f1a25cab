// The importer's decisions after reading, in one table: which movie comes
// first and why, what becomes of redirects, what the filters keep. Captures are HAR text
// made here; only the rules' outcomes are compared.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "import/capture.h"

using namespace capture;
namespace fs = std::filesystem;

namespace {

struct Response {
  std::string url;
  int status;
  std::string mime, text, redirect;
};

std::string har(const std::vector<Response>& responses) {
  std::string out = "{\"log\": {\"entries\": [";
  for (const Response& r : responses) {
    if (out.back() == '}') out += ',';
    out += "{\"request\": {\"method\": \"GET\", \"url\": \"" + r.url + "\"}, \"response\": {\"status\": " +
           std::to_string(r.status) + ", \"redirectURL\": \"" + r.redirect + "\", \"content\": {\"mimeType\": \"" +
           r.mime + "\", \"text\": \"" + r.text + "\"}}}";
  }
  return out + "]}}";
}

const char kSwf[] = "application/x-shockwave-flash";
const char kHtml[] = "text/html";

TEST(Decisions, FirstMovieAndRedirects) {
  struct Case {
    const char* rule;
    std::vector<Response> capture;
    std::string start;  // --start
    std::string first, reason;
    std::vector<std::string> entries;  // "URL" or "URL <- ALTERNATE", as packed
    std::vector<std::string> said;     // in notes or redirects, each a part of one
    std::vector<std::string> include = {}, exclude = {};
  };
  const std::string page = "<object data='m/missing.swf' width='10' height='10'></object>";
  const std::vector<Case> cases = {
      {"a page embedding a movie not captured: the first SWF, with a note",
       {{"http://h.test/", 200, kHtml, page, ""}, {"http://h.test/b.swf", 200, kSwf, "FWS b", ""},
        {"http://h.test/c.swf", 200, kSwf, "FWS c", ""}},
       "", "http://h.test/b.swf", "the first SWF response in the capture",
       {"http://h.test/b.swf", "http://h.test/", "http://h.test/c.swf"},
       {"embeds http://h.test/m/missing.swf, which is not in the capture"}},
      {"--start over the page's movie",
       {{"http://h.test/", 200, kHtml, "<embed src='a.swf'>", ""}, {"http://h.test/a.swf", 200, kSwf, "FWS a", ""},
        {"http://h.test/b.swf", 200, kSwf, "FWS b", ""}},
       "http://H.test/b.swf", "http://h.test/b.swf", "given by --start",
       {"http://h.test/b.swf", "http://h.test/", "http://h.test/a.swf"}, {}},
      {"a chain of redirects: its first URL the target's alternate, the next one not",
       {{"http://h.test/r1", 302, "", "", "http://h.test/r2"}, {"http://h.test/r2", 301, "", "", "/a.swf"},
        {"http://h.test/a.swf", 200, kSwf, "FWS a", ""}},
       "", "http://h.test/a.swf", "the first SWF response in the capture",
       {"http://h.test/a.swf <- http://h.test/r1"},
       {"http://h.test/r1 -> http://h.test/r2: kept as the alternate URL of http://h.test/a.swf",
        "http://h.test/r2 -> http://h.test/a.swf: not kept: the target has an alternate URL already"}},
      {"redirects to nothing captured, and from a URL served: not kept",
       {{"http://h.test/gone", 302, "", "", "http://h.test/nowhere"}, {"http://h.test/a.swf", 302, "", "", "b.swf"},
        {"http://h.test/a.swf", 200, kSwf, "FWS a", ""}, {"http://h.test/b.swf", 200, kSwf, "FWS b", ""}},
       "", "http://h.test/a.swf", "the first SWF response in the capture",
       {"http://h.test/a.swf", "http://h.test/b.swf"},
       {"http://h.test/gone -> http://h.test/nowhere: not kept: the target is not in the capture",
        "http://h.test/a.swf -> http://h.test/b.swf: not kept: that URL is served already"}},
      {"an exclude inside an include wins",
       {{"http://h.test/a.swf", 200, kSwf, "FWS a", ""}, {"http://h.test/x/b.swf", 200, kSwf, "FWS b", ""},
        {"http://o.test/c.swf", 200, kSwf, "FWS c", ""}},
       "", "http://h.test/a.swf", "the first SWF response in the capture", {"http://h.test/a.swf"}, {},
       {"http://h.test/"}, {"http://H.TEST/x/"}},
      {"a redirect from a URL left out is no alternate",
       {{"http://h.test/old", 301, "", "", "http://h.test/a.swf"}, {"http://h.test/a.swf", 200, kSwf, "FWS a", ""}},
       "", "http://h.test/a.swf", "the first SWF response in the capture", {"http://h.test/a.swf"}, {}, {},
       {"http://h.test/old"}},
  };
  const fs::path dir = fs::temp_directory_path() / ("decisions-test-" + std::to_string(getpid()));
  for (const Case& c : cases) {
    fs::create_directories(dir);
    Options options;
    options.work_dir = dir.string();
    options.start = c.start;
    options.includes = c.include;
    options.excludes = c.exclude;
    Importer importer(options);
    importer.add_har_text(har(c.capture), "t.har");
    const Result r = importer.finish();
    EXPECT_EQ(r.start_url, c.first) << c.rule;
    EXPECT_EQ(r.start_reason, c.reason) << c.rule;
    std::vector<std::string> entries;
    for (const Item& e : r.entries) entries.push_back(e.url + (e.alternate.empty() ? "" : " <- " + e.alternate));
    EXPECT_EQ(entries, c.entries) << c.rule;
    std::string said;
    for (const auto* list : {&r.notes, &r.redirects})
      for (const std::string& s : *list) said += s + "\n";
    for (const std::string& s : c.said) EXPECT_NE(said.find(s), std::string::npos) << c.rule << ": " << said;
    fs::remove_all(dir);
  }
}

}  // namespace
