#include "base/win/settings_store.h"

#include <windows.h>

const char SETTINGS_KEY[] = "SOFTWARE\\Calventra\\Tessivo\\SWFPlay";

int32_t read_setting(const char* name, int32_t default_value) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, SETTINGS_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return default_value;
  // Shorter data leaves the high-order bytes 0.
  BYTE data[4] = {};
  DWORD size = sizeof(data);
  LONG result = RegQueryValueExA(key, name, nullptr, nullptr, data, &size);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) return default_value;
  return int32_t(uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 |
                 uint32_t(data[3]) << 24);
}

void write_setting(const char* name, int32_t value) {
  HKEY key;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, SETTINGS_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return;
  DWORD data = DWORD(value);
  RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof(data));
  RegCloseKey(key);
}
