// UTF-16 and 8-bit text helpers shared by the portable core. Only ASCII
// letters fold, as the C library does in the C locale, so results are the
// same on every platform.
#pragma once

#include <cstddef>
#include <cstdint>

namespace text {

inline char16_t fold(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c;
}
inline char fold(char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }

size_t length(const char16_t* s);
size_t length(const char* s);

// Copies n units and a terminator into a new malloc block; null when out of memory.
char16_t* dup(const char16_t* s, size_t n);
char16_t* dup(const char16_t* s);
char* dup(const char* s, size_t n);

// Whole-text compares; 0 when equal.
int compare(const char16_t* a, const char16_t* b);
int compare_nocase(const char16_t* a, const char16_t* b);
int compare_nocase(const char* a, const char* b);

// First occurrence of c or of needle; null when absent.
const char16_t* find(const char16_t* s, char16_t c);
const char16_t* find_last(const char16_t* s, char16_t c);
const char16_t* find(const char16_t* s, const char16_t* needle);

// Copy s without its terminator to out; return the end of the copy.
char16_t* append(char16_t* out, const char16_t* s);
// Decimal digits of value (at most 11 units) to out; return their end.
char16_t* append_decimal(char16_t* out, uint32_t value);
char16_t* append_decimal(char16_t* out, int32_t value);

}  // namespace text
