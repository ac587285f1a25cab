// Benchmark: pack audit over a 100 MB package of 50 movies, half of them
// zlib-compressed, each with actions, an ABC string pool and a large binary
// tag. Prints figures; asserts nothing.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "audit.h"
#include "file_source.h"
#include "package/player_state.h"
#include "package_writer.h"
#include "swf/swf_writer.h"
#include "utf.h"

using namespace swft;

int main() {
  const int kMovies = 50;
  const size_t kMovieBytes = size_t(2) << 20;
  pack::Package pkg;
  pkg.mode = 0;
  std::string names;
  for (int i = 0; i < 200; ++i) names += cstr("data/file" + std::to_string(i) + ".xml");
  for (int m = 0; m < kMovies; ++m) {
    std::vector<std::string> pushes, strings;
    for (int i = 0; i < 200; ++i) pushes.push_back("level" + std::to_string(m) + "/part" + std::to_string(i) + ".swf");
    for (int i = 0; i < 2000; ++i) strings.push_back("com.example.Class" + std::to_string(i));
    strings.push_back("http://bench.test/site/asset" + std::to_string(m) + ".png");
    std::string tags = background(1, 2, 3) + do_action(push(pushes) + get_url2()) + do_abc2(abc(strings));
    // Binary data that compresses no better than the images movies carry.
    std::string blob;
    uint32_t x = 2463534242u + uint32_t(m);
    while (blob.size() < kMovieBytes - tags.size()) {
      x ^= x << 13, x ^= x >> 17, x ^= x << 5;
      blob += char(x >> 8);
    }
    tags += tag(87, u16(1) + u32(0) + blob, true) + end_tag();
    std::string movie = m % 2 ? cws(10, tags) : fws(10, tags);
    pack::PageEntry e;
    std::u16string url;
    utf8_to_utf16("http://bench.test/site/movie" + std::to_string(m) + ".swf", &url);
    e.url = url;
    e.data.bytes.assign(movie.begin(), movie.end());
    pkg.entries.push_back(std::move(e));
  }
  char path[] = "/tmp/bench-audit-XXXXXX";
  int fd = mkstemp(path);
  std::FILE* f = fdopen(fd, "wb");
  pack::FileSink sink(f);
  std::string error = pack::write_player(std::vector<uint8_t>(40000, 0), pkg, &sink);
  std::fclose(f);
  pkg.entries.clear();
  if (!error.empty()) {
    std::fprintf(stderr, "bench_audit: %s\n", error.c_str());
    return 1;
  }
  for (int run = 0; run < 3; ++run) {
    auto start = std::chrono::steady_clock::now();
    if (!load_player_exe(path, &error)) {
      std::fprintf(stderr, "bench_audit: %s\n", error.c_str());
      return 1;
    }
    std::shared_ptr<std::FILE> file(std::fopen(path, "rb"), std::fclose);
    pack::AuditResult r = pack::audit_package([&](int32_t i, size_t max, std::string* out) {
      const ResourceEntry* e = resource_entry(i);
      size_t n = std::min(size_t(e->size), max);
      out->resize(n);
      fseeko(file.get(), e->data_offset, SEEK_SET);
      return std::fread(&(*out)[0], 1, n, file.get()) == n;
    });
    std::string text = pack::audit_text(r);
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("audit of %.1f MB, %d movies (25 zlib): %.0f ms; %d likely requests, %d not answered\n",
                double(sink.position()) / 1e6, kMovies, ms, r.likely, r.unanswered);
    reset_player_state();
  }
  std::remove(path);
  return 0;
}
