// read_setting against what other programs, or a hand in regedit, may leave
// under the key: any type, any size.
#include "base/win/settings_store.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

void store(const char* name, DWORD type, const void* data, DWORD size) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, SETTINGS_KEY, 0, nullptr, 0, KEY_WRITE, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
  RegCloseKey(key);
}

void erase(const char* name) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, SETTINGS_KEY, 0, KEY_WRITE, &key) != ERROR_SUCCESS) return;
  RegDeleteValueA(key, name);
  RegCloseKey(key);
}

TEST(ReadSetting, AnyTypeOfFourBytesAndTheDefaultOtherwise) {
  const unsigned char bytes[] = {0x78, 0x56, 0x34, 0x12, 0x01, 0x02, 0x03, 0x04};
  const struct {
    const char* name;
    DWORD type;
    const void* data;
    DWORD size;
    int32_t expected;
  } cases[] = {
      {"test-dword", REG_DWORD, bytes, 4, 0x12345678},
      {"test-binary", REG_BINARY, bytes, 4, 0x12345678},
      {"test-string", REG_SZ, "abc", 4, 0x00636261},           // "abc" and its NUL
      {"test-negative", REG_BINARY, "\xFF\xFF\xFF\xFF", 4, -1},
      {"test-short", REG_BINARY, bytes, 2, 0x5678},           // high bytes 0
      {"test-empty", REG_BINARY, bytes, 0, 0},
      {"test-long", REG_BINARY, bytes, 8, 77},                // the default
      {"test-long-string", REG_SZ, "abcdefg", 8, 77},
      {"test-qword", REG_QWORD, bytes, 8, 77},
  };
  for (const auto& c : cases) {
    store(c.name, c.type, c.data, c.size);
    EXPECT_EQ(read_setting(c.name, 77), c.expected) << c.name;
    erase(c.name);
  }
  EXPECT_EQ(read_setting("test-missing", 77), 77);
}

TEST(WriteSetting, ReadsBackAsItsNumber) {
  for (int32_t value : {0, -1, 0x7FFFFFFF, int32_t(0x80000000)}) {
    write_setting("test-written", value);
    EXPECT_EQ(read_setting("test-written", 77), value);
  }
  erase("test-written");
}

}  // namespace
