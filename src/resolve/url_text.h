// Character-level URL operations used by request resolution. No percent
// decoding, no "." or ".." handling; lengths count UTF-16 units. Returned
// strings are malloc blocks owned by the caller; null means none, and also
// out of memory.
#pragma once

#include <cstddef>
#include <cstdint>

// First n units of src (fewer if src ends earlier), NUL-padded to n.
char16_t* wstr_ndup(const char16_t* src, int32_t n);

// Number of equal leading units (case matters). A null text counts as empty.
int32_t url_common_prefix(const char16_t* a, const char16_t* b);

// True when every unit is an ASCII letter or digit; the empty text passes.
bool text_is_alnum(const char16_t* s);

// Copy without query and fragment; a "?" or "#" in the first position stays.
char16_t* url_strip_query(const char16_t* url);

// The directory that holds url, always ending in "/"; none for an empty URL.
char16_t* url_directory(const char16_t* url);

// Lower-cased scheme with its ":"; "file:" for drive-letter and UNC paths.
char16_t* url_scheme(const char16_t* url);

// Scheme (as written), host (no user information, no port) and path.
void url_split(const char16_t* url, char16_t** scheme, char16_t** host, char16_t** path);

// Non-allocating forms for the hot paths.

// Drive-letter ("?:\") or UNC ("\\") path, judged by the first three units.
bool url_is_windows_path(const char16_t* url);

// Length of url_scheme's result without building it, or -1 for none.
int32_t url_scheme_length(const char16_t* url);

// Views into the URL (or into constant texts) with their lengths. A null
// pointer means none.
struct UrlParts {
  const char16_t* scheme;
  size_t scheme_len;
  const char16_t* host;
  size_t host_len;
  const char16_t* path;
  size_t path_len;
};
void url_split_view(const char16_t* url, UrlParts* parts);
