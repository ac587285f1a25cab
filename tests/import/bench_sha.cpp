// SHA-1 and SHA-256 throughput of the packer's hasher, as import feeds it
// (64 KiB pieces). Prints MB/s; asserts nothing.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/sha.h"

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  const size_t total = quick ? (8u << 20) : (512u << 20), piece = 64 << 10;
  std::vector<uint8_t> buf(piece);
  for (size_t i = 0; i < piece; ++i) buf[i] = uint8_t(i * 131 + (i >> 9));
  const struct { const char* name; common::Sha::Kind kind; } rows[] = {
      {"SHA-1", common::Sha::SHA1}, {"SHA-256", common::Sha::SHA256}};
  for (const auto& row : rows) {
    auto t0 = std::chrono::steady_clock::now();
    common::Sha sha(row.kind);
    for (size_t done = 0; done < total; done += piece) sha.update(buf.data(), piece);
    uint8_t first = sha.finish()[0];
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%-8s %5zu MiB in 64 KiB pieces: %8.1f MB/s  (digest %02x..)\n", row.name, total >> 20,
                double(total) / 1e6 / s, first);
  }
  // Many small records: the per-hasher set-up shows here.
  const int small = quick ? 2000 : 200000;
  auto t0 = std::chrono::steady_clock::now();
  for (int k = 0; k < small; ++k) {
    common::Sha sha(common::Sha::SHA1);
    sha.update(buf.data(), 512);
    sha.finish();
  }
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("SHA-1    %d digests of 512 bytes: %8.2f us each\n", small, s * 1e6 / small);
  return 0;
}
