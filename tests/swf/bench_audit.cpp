// Benchmark: pack audit over 100 MB packages of 50 movies, each with
// actions, an ABC string pool and a large binary tag as incompressible as
// the images movies carry: one package of uncompressed and zlib movies,
// one with a third LZMA. Prints figures; asserts nothing. --quick: a few
// small movies, to see that it still runs.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unistd.h>
#include <string>

#include "common/utf.h"
#include "package/player_state.h"
#include "pack/audit.h"
#include "pack/loaded_player.h"
#include "pack/package_writer.h"
#include "swf/swf_writer.h"

using namespace swft;

namespace {

int g_movies = 50;
size_t g_movie_bytes = size_t(2) << 20;

// Writes the package to path; kinds cycles through 'F', 'C' and 'Z'.
bool write_package(const char* path, const std::string& kinds, int64_t* bytes) {
  pack::Package pkg;
  for (int m = 0; m < g_movies; ++m) {
    std::vector<std::string> pushes, strings;
    for (int i = 0; i < 200; ++i) pushes.push_back("level" + std::to_string(m) + "/part" + std::to_string(i) + ".swf");
    for (int i = 0; i < 2000; ++i) strings.push_back("com.example.Class" + std::to_string(i));
    strings.push_back("http://bench.test/site/asset" + std::to_string(m) + ".png");
    std::string tags = background(1, 2, 3) + do_action(push(pushes) + get_url2()) + do_abc2(abc(strings));
    std::string blob;
    uint32_t x = 2463534242u + uint32_t(m);
    while (blob.size() < g_movie_bytes - tags.size()) {
      x ^= x << 13, x ^= x >> 17, x ^= x << 5;
      blob += char(x >> 8);
    }
    tags += tag(87, u16(1) + u32(0) + blob, true) + end_tag();
    char kind = kinds[size_t(m) % kinds.size()];
    std::string movie = kind == 'C' ? cws(10, tags) : fws(10, tags);
#ifdef TESSIVO_HAVE_LZMA
    if (kind == 'Z') movie = zws(13, tags, 1);
#endif
    pack::PageEntry e;
    common::utf8_to_utf16("http://bench.test/site/movie" + std::to_string(m) + ".swf", &e.url);
    e.data.bytes.assign(movie.begin(), movie.end());
    pkg.entries.push_back(std::move(e));
  }
  std::FILE* f = std::fopen(path, "wb");
  if (!f) return false;
  pack::FileSink sink(f);
  common::Error error;
  const bool written = pack::write_player(std::vector<uint8_t>(40000, 0), pkg, &sink, &error);
  *bytes = sink.position();
  return std::fclose(f) == 0 && written;
}

void time_audit(const char* path, const char* what, int64_t bytes) {
  for (int run = 0; run < 2; ++run) {
    auto start = std::chrono::steady_clock::now();
    pack::LoadedPlayer player;
    common::Error error;
    if (!player.load_exe(path, &error)) {
      std::fprintf(stderr, "bench_audit: %s\n", error.text().c_str());
      return;
    }
    pack::AuditResult r = pack::audit_package(
        [&](int32_t i, size_t max, std::string* out) { return player.read_entry(i, max, out); });
    std::string text = pack::audit_text(r);
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("audit of %.1f MB, %d movies %s: %.0f ms, %d likely requests\n", double(bytes) / 1e6,
                g_movies, what, ms, r.likely);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--quick") == 0) {
    g_movies = 6;
    g_movie_bytes = size_t(256) << 10;
  }
  char path[] = "/tmp/bench-audit-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return 1;
  close(fd);
  int64_t bytes = 0;
  if (write_package(path, "FC", &bytes)) time_audit(path, "(FWS and CWS in turn)", bytes);
#ifdef TESSIVO_HAVE_LZMA
  if (write_package(path, "FCZ", &bytes)) time_audit(path, "(FWS, CWS and ZWS in turn)", bytes);
#endif
  std::remove(path);
  return 0;
}
