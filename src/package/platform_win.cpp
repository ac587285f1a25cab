#include "package/platform.h"

#include <cstdlib>

#include "base/text.h"
#include "base/win/platform.h"

namespace {

HINSTANCE g_instance;
char16_t* g_executable_path;
bool g_executable_path_known;

constexpr DWORD PATH_BLOCK = 262;
constexpr DWORD PATH_LIMIT = 261;

}  // namespace

void set_instance_handle(HINSTANCE instance) { g_instance = instance; }
HINSTANCE instance_handle() { return g_instance; }

const char16_t* get_executable_path() {
  if (g_executable_path_known) return g_executable_path;
  g_executable_path_known = true;
  if (is_nt_platform()) {
    auto* path = static_cast<char16_t*>(std::calloc(PATH_BLOCK, sizeof(char16_t)));
    if (path) GetModuleFileNameW(g_instance, as_wide(path), PATH_LIMIT);
    g_executable_path = path;
  } else {
    auto* path = static_cast<char*>(std::calloc(PATH_BLOCK, 1));
    if (path) {
      GetModuleFileNameA(g_instance, path, PATH_LIMIT);
      g_executable_path = ansi_to_wide(path);
      std::free(path);
    }
  }
  // A path that could not be had is an empty one: opening it fails cleanly.
  if (!g_executable_path) g_executable_path = const_cast<char16_t*>(u"");
  return g_executable_path;
}

void reset_platform_cache() {
  reset_platform_test();
  g_executable_path_known = false;
  g_executable_path = nullptr;  // test paths are leaked on purpose: callers may hold them
}

void set_executable_path_for_test(const char16_t* path) {
  g_executable_path = text::dup(path);
  g_executable_path_known = true;
}
