// Process-wide values of the loaded package and the running player. Each
// value has one writer; everyone else reads it through its getter. Strings
// are malloc blocks; a string setter takes over the block it is given.
#pragma once

#include <cstdint>

struct ResourceEntry {
  char16_t* url;            // never null once loaded (may be empty)
  char16_t* alternate_url;  // or null
  char* post_key;           // base64 of the captured request body, or null
  char16_t* content_type;   // or null
  int32_t size;
  int32_t data_offset;      // in the executable's own file
};

enum PlaybackMode : int32_t {
  PLAYBACK_PAGE = 0,
  PLAYBACK_VIDEO = 1,
  PLAYBACK_PAGE_POST = 2,
};

ResourceEntry* resource_table();
// The entry for index, or null when index is outside the table.
const ResourceEntry* resource_entry(int32_t index);

int32_t entry_count();
void set_entry_count(int32_t count);

int32_t playback_mode();
void set_playback_mode(int32_t mode);

uint32_t nominal_width();
void set_nominal_width(uint32_t width);
uint32_t nominal_height();
void set_nominal_height(uint32_t height);

const char16_t* flash_vars();
void set_flash_vars(char16_t* text);
const char16_t* movie_base();
void set_movie_base(char16_t* text);

int32_t required_swf_version();
void set_required_swf_version(int32_t version);
int32_t installed_flash_version();
void set_installed_flash_version(int32_t version);

// Owned by movie start; never freed by teardown.
const char16_t* base_url();
void set_base_url(char16_t* url);

bool video_player_loading();
void set_video_player_loading(bool loading);

// Stores count, then allocates count zero-filled entries. Null when the
// allocation fails (count stays stored) or count is not positive.
ResourceEntry* alloc_resource_table(int32_t count);

// Copy length units (or bytes) and the terminator that follows them in src
// into a new block owned by the entry. Return the bytes copied, or -1 when
// the block cannot be allocated or index is outside the table. The stored
// terminator is always zero, whatever src held there.
int32_t set_entry_url(const void* src, int32_t index, int32_t length);
int32_t set_entry_alternate_url(const void* src, int32_t index, int32_t length);
int32_t set_entry_content_type(const void* src, int32_t index, int32_t length);
int32_t set_entry_post_key(const void* src, int32_t index, int32_t length);

// Fills an entry from NUL-terminated texts; alternate URL becomes null,
// the POST key is left alone. False when a copy cannot be allocated.
bool set_fixed_entry(int32_t index, const char16_t* url, const char16_t* content_type,
                     int32_t size, int32_t data_offset);

// A file of the browser runtime carried after the package. Texts are never
// null; coding is empty for a file sent as stored without an encoding.
struct RuntimeFile {
  char16_t* name;
  char16_t* content_type;
  char16_t* coding;
  int32_t size;
  int32_t data_offset;  // in the executable's own file
};

// 0 when the package carries no runtime.
int32_t runtime_file_count();
// The file for index, or null when index is outside the runtime.
const RuntimeFile* runtime_file(int32_t i);
// Null when no runtime is carried.
const char16_t* runtime_description();
// Index of the file named exactly name (case matters); -1 when absent.
int32_t find_runtime_file(const char16_t* name);

// Loader side: count zero-filled files, or null (count stays 0).
RuntimeFile* alloc_runtime_files(int32_t count);
void set_runtime_description(char16_t* text);
// Drops the runtime and its texts: no runtime is carried afterwards.
void free_runtime();

// Changes whenever the table is allocated, freed or written through the
// setters above, so that lookups caching the table can tell it is stale.
uint32_t resource_table_generation();

// Frees an entry's strings and clears every field of it.
void free_entry_strings(ResourceEntry* e);

// Frees the table's strings, the table, FlashVars, Base and the runtime.
void free_player_state();

// Test support: frees what free_player_state frees, then clears every value.
void reset_player_state();
