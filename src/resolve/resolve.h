// Request resolution: which resource entry answers a URL that the control
// asks for. Portable; the Windows layer adds the POST body's reading and the
// HRESULT form (resolve_win.h).
#pragma once

#include <cstddef>
#include <cstdint>

// Exact lookup, ASCII letters of URLs folded: with a key, first the entries
// whose URL or alternate URL and POST key as written both match, then the
// same with the key's letter case folded; then, always, URL alone.
int32_t find_exact_entry(const char16_t* url, const char* key);

// Mode 2: relative requests walk the base URL's directories; absolute ones
// try exact, best match, then relocation under the base URL.
int32_t resolve_in_post_mode(const char16_t* url, const char* key);

// Joins rel to base, then to each parent directory of base up to its root.
int32_t resolve_relative(const char16_t* base, const char16_t* rel, const char* key);

// Standard base64 with "=" fill. Stores a new NUL-terminated string in *out
// and returns its length, or -1 (and null) when memory is exhausted.
int32_t base64_encode(const void* data, uint32_t n, char** out);

// False for an empty (or null) URL and for schemes other than http:, https:
// and file:; relative URLs are served.
bool url_is_served(const char16_t* url);

// The decision of a request whose POST key has already been read (null for
// none; ignored outside mode 2). Returns false when the URL is refused;
// otherwise true with the entry index, or -1, in *index.
bool resolve_with_key(const char16_t* url, const char* key, int32_t* index);

// The base URL that a page movie's relative requests are joined to: a copy of
// the package's Base, else the directory of the first entry's URL. A new
// malloc block, or null when there is neither.
char16_t* page_base_url();

// The exact lookup keeps an index over the table, rebuilt when the table
// changes. Dropping it frees its memory; the next lookup rebuilds it.
void drop_exact_index();
// Builds the lookup index now rather than on the first request.
void prepare_resolution_index();
// Bytes that the lookup index holds.
size_t resolution_index_bytes();
// Test support: lookups walk the table instead of using the index.
void set_exact_index_enabled(bool enabled);
