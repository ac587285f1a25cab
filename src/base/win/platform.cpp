#include "base/win/platform.h"

#include <cstdlib>

namespace {

bool g_platform_tested;
bool g_nt_platform;

}  // namespace

bool is_nt_platform() {
  if (!g_platform_tested) {
    g_platform_tested = true;
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    GetVersionExA(&info);
    g_nt_platform = info.dwPlatformId == VER_PLATFORM_WIN32_NT;
  }
  return g_nt_platform;
}

char* wide_to_ansi(const char16_t* text) {
  int bytes = WideCharToMultiByte(CP_ACP, 0, as_wide(text), -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return nullptr;
  auto* block = static_cast<char*>(std::malloc(size_t(bytes) + 1));
  if (!block) return nullptr;
  if (!WideCharToMultiByte(CP_ACP, 0, as_wide(text), -1, block, bytes, nullptr, nullptr)) {
    std::free(block);
    return nullptr;
  }
  block[bytes] = 0;
  return block;
}

char16_t* ansi_to_wide(const char* text) {
  int units = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (units <= 0) return nullptr;
  auto* block = static_cast<char16_t*>(std::malloc((size_t(units) + 1) * sizeof(char16_t)));
  if (!block) return nullptr;
  if (!MultiByteToWideChar(CP_ACP, 0, text, -1, as_wide(block), units)) {
    std::free(block);
    return nullptr;
  }
  block[units] = 0;
  return block;
}

HANDLE platform_create_file(const char16_t* path, DWORD access, DWORD share, DWORD disposition,
                            DWORD flags_and_attributes) {
  if (is_nt_platform())
    return CreateFileW(as_wide(path), access, share, nullptr, disposition, flags_and_attributes,
                       nullptr);
  char* ansi = wide_to_ansi(path);
  if (!ansi) return INVALID_HANDLE_VALUE;
  HANDLE file = CreateFileA(ansi, access, share, nullptr, disposition, flags_and_attributes, nullptr);
  std::free(ansi);
  return file;
}

void reset_platform_test() {
  g_platform_tested = false;
  g_nt_platform = false;
}

void set_nt_platform_for_test(bool nt) {
  g_platform_tested = true;
  g_nt_platform = nt;
}
