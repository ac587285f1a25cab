#include "common/sha.h"

#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#include <bcrypt.h>
#else
#include <nettle/sha1.h>
#include <nettle/sha2.h>
#endif

namespace common {

#ifdef _WIN32
namespace {

BCRYPT_ALG_HANDLE open_provider(const wchar_t* name) {
  BCRYPT_ALG_HANDLE h = nullptr;
  if (BCryptOpenAlgorithmProvider(&h, name, nullptr, 0) < 0) {
    // Present on every Windows that runs pack.exe: nothing sensible to go on with.
    std::fputs("pack: the system's SHA provider (bcrypt.dll) cannot be opened\n", stderr);
    std::abort();
  }
  return h;
}

// A provider is costly to open and serves any number of hashes, so each is
// opened once for the process.
BCRYPT_ALG_HANDLE provider(Sha::Kind kind) {
  static const BCRYPT_ALG_HANDLE sha1 = open_provider(BCRYPT_SHA1_ALGORITHM);
  static const BCRYPT_ALG_HANDLE sha256 = open_provider(BCRYPT_SHA256_ALGORITHM);
  return kind == Sha::SHA1 ? sha1 : sha256;
}

void check(NTSTATUS status) {
  if (status < 0) {
    std::fprintf(stderr, "pack: hashing failed (NTSTATUS 0x%08lx)\n", static_cast<unsigned long>(status));
    std::abort();
  }
}

}  // namespace

struct Sha::State {
  BCRYPT_HASH_HANDLE hash = nullptr;
  size_t length = 0;
  ~State() {
    if (hash) BCryptDestroyHash(hash);
  }
};

Sha::Sha(Kind kind) : s_(new State) {
  s_->length = kind == SHA1 ? 20 : 32;
  check(BCryptCreateHash(provider(kind), &s_->hash, nullptr, 0, nullptr, 0, 0));
}

void Sha::update(const uint8_t* data, size_t n) {
  while (n) {
    ULONG k = n > 0x40000000 ? 0x40000000 : ULONG(n);
    check(BCryptHashData(s_->hash, const_cast<PUCHAR>(data), k, 0));
    data += k, n -= k;
  }
}

std::vector<uint8_t> Sha::finish() {
  std::vector<uint8_t> out(s_->length);
  check(BCryptFinishHash(s_->hash, out.data(), ULONG(out.size()), 0));
  return out;
}

#else

struct Sha::State {
  Kind kind;
  union {
    sha1_ctx sha1;
    sha256_ctx sha256;
  };
};

Sha::Sha(Kind kind) : s_(new State) {
  s_->kind = kind;
  if (kind == SHA1) sha1_init(&s_->sha1);
  else sha256_init(&s_->sha256);
}

void Sha::update(const uint8_t* data, size_t n) {
  if (s_->kind == SHA1) sha1_update(&s_->sha1, n, data);
  else sha256_update(&s_->sha256, n, data);
}

std::vector<uint8_t> Sha::finish() {
  std::vector<uint8_t> out(s_->kind == SHA1 ? SHA1_DIGEST_SIZE : SHA256_DIGEST_SIZE);
  if (s_->kind == SHA1) sha1_digest(&s_->sha1, out.size(), out.data());
  else sha256_digest(&s_->sha256, out.size(), out.data());
  return out;
}

#endif

Sha::~Sha() = default;

std::string sha256_hex(const uint8_t* data, size_t n) {
  Sha sha(Sha::SHA256);
  sha.update(data, n);
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : sha.finish()) out += hex[b >> 4], out += hex[b & 15];
  return out;
}

}  // namespace common
