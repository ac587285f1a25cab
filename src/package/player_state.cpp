#include "package/player_state.h"

#include <cstdlib>

#include "base/text.h"

namespace {

ResourceEntry* g_table;
int32_t g_entry_count;
int32_t g_playback_mode;
uint32_t g_nominal_width;
uint32_t g_nominal_height;
char16_t* g_flash_vars;
char16_t* g_movie_base;
int32_t g_required_swf_version;
int32_t g_installed_flash_version;
char16_t* g_base_url;
bool g_video_player_loading;
uint32_t g_table_generation;
RuntimeFile* g_runtime;
int32_t g_runtime_count;
char16_t* g_runtime_description;

ResourceEntry* entry_at(int32_t index) {
  if (!g_table || index < 0 || index >= g_entry_count) return nullptr;
  return &g_table[index];
}

// Copies bytes and forces the last unit to zero: a damaged package must not
// leave an unterminated string behind.
template <typename Char>
int32_t copy_text(Char** field, const void* src, int32_t length) {
  if (length < 0 || length > (INT32_MAX / int32_t(sizeof(Char))) - 1) return -1;
  Char* block = text::dup(static_cast<const Char*>(src), size_t(length));
  if (!block) return -1;
  ++g_table_generation;
  std::free(*field);
  *field = block;
  return (length + 1) * int32_t(sizeof(Char));
}

}  // namespace

ResourceEntry* resource_table() { return g_table; }
const ResourceEntry* resource_entry(int32_t index) { return entry_at(index); }

int32_t entry_count() { return g_entry_count; }
void set_entry_count(int32_t count) {
  ++g_table_generation;
  g_entry_count = count;
}

int32_t playback_mode() { return g_playback_mode; }
void set_playback_mode(int32_t mode) { g_playback_mode = mode; }

uint32_t nominal_width() { return g_nominal_width; }
void set_nominal_width(uint32_t width) { g_nominal_width = width; }
uint32_t nominal_height() { return g_nominal_height; }
void set_nominal_height(uint32_t height) { g_nominal_height = height; }

const char16_t* flash_vars() { return g_flash_vars; }
void set_flash_vars(char16_t* text) { g_flash_vars = text; }
const char16_t* movie_base() { return g_movie_base; }
void set_movie_base(char16_t* text) { g_movie_base = text; }

int32_t required_swf_version() { return g_required_swf_version; }
void set_required_swf_version(int32_t version) { g_required_swf_version = version; }
int32_t installed_flash_version() { return g_installed_flash_version; }
void set_installed_flash_version(int32_t version) { g_installed_flash_version = version; }

const char16_t* base_url() { return g_base_url; }
void set_base_url(char16_t* url) { g_base_url = url; }

bool video_player_loading() { return g_video_player_loading; }
void set_video_player_loading(bool loading) { g_video_player_loading = loading; }

uint32_t resource_table_generation() { return g_table_generation; }

ResourceEntry* alloc_resource_table(int32_t count) {
  ++g_table_generation;
  g_entry_count = count;
  g_table = count > 0 ? static_cast<ResourceEntry*>(std::calloc(size_t(count), sizeof(ResourceEntry)))
                      : nullptr;
  return g_table;
}

int32_t set_entry_url(const void* src, int32_t index, int32_t length) {
  ResourceEntry* e = entry_at(index);
  return e ? copy_text(&e->url, src, length) : -1;
}

int32_t set_entry_alternate_url(const void* src, int32_t index, int32_t length) {
  ResourceEntry* e = entry_at(index);
  return e ? copy_text(&e->alternate_url, src, length) : -1;
}

int32_t set_entry_content_type(const void* src, int32_t index, int32_t length) {
  ResourceEntry* e = entry_at(index);
  return e ? copy_text(&e->content_type, src, length) : -1;
}

int32_t set_entry_post_key(const void* src, int32_t index, int32_t length) {
  ResourceEntry* e = entry_at(index);
  return e ? copy_text(&e->post_key, src, length) : -1;
}

bool set_fixed_entry(int32_t index, const char16_t* url, const char16_t* content_type,
                     int32_t size, int32_t data_offset) {
  ResourceEntry* e = entry_at(index);
  if (!e) return false;
  if (set_entry_url(url, index, int32_t(text::length(url))) < 0) return false;
  std::free(e->alternate_url);
  e->alternate_url = nullptr;
  if (set_entry_content_type(content_type, index, int32_t(text::length(content_type))) < 0)
    return false;
  e->size = size;
  e->data_offset = data_offset;
  return true;
}

int32_t runtime_file_count() { return g_runtime_count; }

const RuntimeFile* runtime_file(int32_t i) {
  return i >= 0 && i < g_runtime_count ? &g_runtime[i] : nullptr;
}

const char16_t* runtime_description() { return g_runtime_description; }

int32_t find_runtime_file(const char16_t* name) {
  for (int32_t i = 0; i < g_runtime_count; ++i)
    if (g_runtime[i].name && text::compare(g_runtime[i].name, name) == 0) return i;
  return -1;
}

RuntimeFile* alloc_runtime_files(int32_t count) {
  free_runtime();
  if (count <= 0) return nullptr;
  g_runtime = static_cast<RuntimeFile*>(std::calloc(size_t(count), sizeof(RuntimeFile)));
  if (g_runtime) g_runtime_count = count;
  return g_runtime;
}

void set_runtime_description(char16_t* text) {
  std::free(g_runtime_description);
  g_runtime_description = text;
}

void free_runtime() {
  for (int32_t i = 0; i < g_runtime_count; ++i) {
    std::free(g_runtime[i].name);
    std::free(g_runtime[i].content_type);
    std::free(g_runtime[i].coding);
  }
  std::free(g_runtime);
  std::free(g_runtime_description);
  g_runtime = nullptr;
  g_runtime_count = 0;
  g_runtime_description = nullptr;
}

void free_entry_strings(ResourceEntry* e) {
  std::free(e->url);
  std::free(e->alternate_url);
  std::free(e->post_key);
  std::free(e->content_type);
  *e = ResourceEntry{};
}

void free_player_state() {
  ++g_table_generation;
  if (g_table) {
    for (int32_t i = 0; i < g_entry_count; ++i) free_entry_strings(&g_table[i]);
    std::free(g_table);
  }
  std::free(g_flash_vars);
  std::free(g_movie_base);
  free_runtime();
}

void reset_player_state() {
  free_player_state();
  g_table = nullptr;
  g_entry_count = 0;
  g_playback_mode = 0;
  g_nominal_width = g_nominal_height = 0;
  g_flash_vars = g_movie_base = nullptr;
  g_required_swf_version = g_installed_flash_version = 0;
  std::free(g_base_url);
  g_base_url = nullptr;
  g_video_player_loading = false;
}
