// Prints per-request times of resolution over tables of realistic URLs.
// Not a test: figures only, nothing is asserted. --quick: small tables and
// short timings, to see that it still runs.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/text.h"
#include "package/player_state.h"
#include "resolve/best_match.h"
#include "resolve/resolve.h"

namespace {

using u16 = std::u16string;

u16 to16(const std::string& s) { return u16(s.begin(), s.end()); }

std::vector<u16> make_urls(int count, std::mt19937& rng) {
  const char* hosts[] = {"www.example.test", "cdn1.example.test", "static.media.test", "ads.other.test",
                         "img.example.test"};
  const char* dirs[] = {"swf", "data", "assets/img", "assets/snd", "games/level", "xml/config", "api"};
  const char* names[] = {"main.swf", "loader.swf", "data.xml", "config.php", "sprite.png", "music.mp3",
                         "gateway.php", "list.aspx"};
  std::vector<u16> urls;
  for (int i = 0; i < count; ++i) {
    std::string u = "http://";
    u += hosts[rng() % 5];
    u += "/";
    u += dirs[rng() % 7];
    u += "/" + std::to_string(rng() % 50) + "/";
    u += names[rng() % 8];
    if (rng() % 2) u += "?id=" + std::to_string(i) + "&lang=en&v=" + std::to_string(rng() % 9);
    urls.push_back(to16(u));
  }
  return urls;
}

void load(const std::vector<u16>& urls) {
  reset_player_state();
  alloc_resource_table(int32_t(urls.size()));
  for (size_t i = 0; i < urls.size(); ++i)
    set_entry_url(urls[i].c_str(), int32_t(i), int32_t(urls[i].size()));
  set_playback_mode(PLAYBACK_PAGE_POST);
  set_base_url(text::dup(u"http://www.example.test/site/swf/deep/er/"));
}

double g_timing_us = 200000;  // how long each figure is timed at least

template <typename F>
double per_call_us(const std::vector<u16>& requests, F f) {
  using clock = std::chrono::steady_clock;
  volatile int32_t sink = 0;
  size_t rounds = 1;
  for (;;) {
    auto t0 = clock::now();
    for (size_t r = 0; r < rounds; ++r)
      for (const u16& q : requests) sink = sink + f(q.c_str());
    double us = std::chrono::duration<double, std::micro>(clock::now() - t0).count();
    if (us > g_timing_us || rounds > (1u << 20)) return us / double(rounds * requests.size());
    rounds *= 2;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  if (quick) g_timing_us = 5000;
  std::printf("%-8s %12s %14s %14s %16s %16s %16s\n", "entries", "index build", "exact hit",
              "exact (walk)", "miss->best match", "miss->none", "relative walk");
  std::printf("%-8s %12s %14s %14s %16s %16s %16s\n", "", "ms", "us/request", "us/request",
              "us/request", "us/request", "us/request");
  for (int count : {100, 1000, 10000, 100000}) {
    if (quick && count > 1000) break;
    std::mt19937 rng(42);
    std::vector<u16> urls = make_urls(count, rng);
    load(urls);
    std::vector<u16> hits, near, none, relative;
    for (int i = 0; i < 64; ++i) {
      const u16& u = urls[rng() % urls.size()];
      hits.push_back(u);
      // Same address, another parameter value: exact miss, best match finds it.
      u16 n = u;
      size_t q = n.find(u'?');
      n = q == u16::npos ? n + u"?cache=" + to16(std::to_string(i)) : n.substr(0, q) + u"?id=x&lang=en";
      near.push_back(n);
      none.push_back(u"http://nowhere.example.test/zz/" + to16(std::to_string(i)) + u"/q.bin");
      relative.push_back(u"missing/" + to16(std::to_string(i)) + u".xml");
    }
    auto resolve = [](const char16_t* u) {
      int32_t i = -1;
      resolve_with_key(u, nullptr, &i);
      return i;
    };
    double build_ms = 1e30;
    for (int r = 0; r < 3; ++r) {
      drop_exact_index();
      auto b0 = std::chrono::steady_clock::now();
      prepare_resolution_index();
      double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - b0).count();
      if (ms < build_ms) build_ms = ms;
    }
    double exact = per_call_us(hits, resolve);
    set_exact_index_enabled(false);
    double walk = per_call_us(hits, [](const char16_t* u) { return find_exact_entry(u, nullptr); });
    set_exact_index_enabled(true);
    double best = per_call_us(near, resolve);
    double miss = per_call_us(none, resolve);
    double rel = per_call_us(relative, resolve);
    std::printf("%-8d %12.1f %14.2f %14.2f %16.1f %16.1f %16.1f\n", count, build_ms, exact, walk, best,
                miss, rel);
  }
  reset_player_state();
  drop_exact_index();
  return 0;
}
