#include "base/text.h"

#include <cstdlib>
#include <cstring>

namespace text {

size_t length(const char16_t* s) {
  const char16_t* p = s;
  while (*p) ++p;
  return size_t(p - s);
}

size_t length(const char* s) { return std::strlen(s); }

char16_t* dup(const char16_t* s, size_t n) {
  if (n > (SIZE_MAX / sizeof(char16_t)) - 1) return nullptr;
  auto* d = static_cast<char16_t*>(std::malloc((n + 1) * sizeof(char16_t)));
  if (!d) return nullptr;
  std::memcpy(d, s, n * sizeof(char16_t));
  d[n] = 0;
  return d;
}

char16_t* dup(const char16_t* s) { return dup(s, length(s)); }

char* dup(const char* s, size_t n) {
  if (n == SIZE_MAX) return nullptr;
  auto* d = static_cast<char*>(std::malloc(n + 1));
  if (!d) return nullptr;
  std::memcpy(d, s, n);
  d[n] = 0;
  return d;
}

int compare(const char16_t* a, const char16_t* b) {
  while (*a && *a == *b) ++a, ++b;
  return int(*a) - int(*b);
}

int compare_nocase(const char16_t* a, const char16_t* b) {
  while (*a && fold(*a) == fold(*b)) ++a, ++b;
  return int(fold(*a)) - int(fold(*b));
}

int compare_nocase(const char* a, const char* b) {
  while (*a && fold(*a) == fold(*b)) ++a, ++b;
  return int(static_cast<unsigned char>(fold(*a))) -
         int(static_cast<unsigned char>(fold(*b)));
}

const char16_t* find(const char16_t* s, char16_t c) {
  for (; *s; ++s)
    if (*s == c) return s;
  return nullptr;
}

const char16_t* find_last(const char16_t* s, char16_t c) {
  const char16_t* hit = nullptr;
  for (; *s; ++s)
    if (*s == c) hit = s;
  return hit;
}

const char16_t* find(const char16_t* s, const char16_t* needle) {
  if (!*needle) return s;
  for (; *s; ++s) {
    const char16_t* a = s;
    const char16_t* b = needle;
    while (*a && *a == *b) ++a, ++b;
    if (!*b) return s;
  }
  return nullptr;
}

char16_t* append(char16_t* out, const char16_t* s) {
  size_t n = length(s);
  std::memcpy(out, s, n * sizeof(char16_t));
  return out + n;
}

char16_t* append_decimal(char16_t* out, uint32_t value) {
  char16_t digits[10];
  int n = 0;
  do {
    digits[n++] = char16_t(u'0' + value % 10);
    value /= 10;
  } while (value);
  while (n) *out++ = digits[--n];
  return out;
}

char16_t* append_decimal(char16_t* out, int32_t value) {
  if (value < 0) *out++ = u'-';
  return append_decimal(out, value < 0 ? 0u - uint32_t(value) : uint32_t(value));
}

}  // namespace text
