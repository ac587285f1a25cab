#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/win/platform.h"
#include "package/package_format.h"
#include "package/platform.h"
#include "package/player_state.h"
#include "pack/package_writer.h"

namespace {

std::u16string temp_path(const char16_t* name) {
  wchar_t dir[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  return std::u16string(reinterpret_cast<char16_t*>(dir)) + name;
}

void write_file(const std::u16string& path, const std::vector<uint8_t>& bytes) {
  HANDLE f = CreateFileW(as_wide(path.c_str()), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(f, bytes.data(), DWORD(bytes.size()), &written, nullptr);
  CloseHandle(f);
  ASSERT_EQ(written, bytes.size());
}

class PlatformTest : public ::testing::Test {
 protected:
  void TearDown() override {
    reset_player_state();
    reset_platform_cache();
  }
};

TEST_F(PlatformTest, PlatformTestAndPathAreCached) {
  reset_platform_cache();
  EXPECT_TRUE(is_nt_platform());  // Wine reports an NT version by default
  const char16_t* first = get_executable_path();
  EXPECT_EQ(get_executable_path(), first);
  std::u16string path(first);
  EXPECT_NE(path.find(u"package_platform_tests.exe"), std::u16string::npos);

  reset_platform_cache();
  set_nt_platform_for_test(false);
  std::u16string ansi_path(get_executable_path());
  EXPECT_EQ(ansi_path, path);
}

TEST_F(PlatformTest, AnsiConversionsRoundTrip) {
  const char16_t* texts[] = {u"", u"C:\\a b\\movie.exe", u"plain ascii 123"};
  for (const char16_t* t : texts) {
    char* ansi = wide_to_ansi(t);
    ASSERT_NE(ansi, nullptr);
    char16_t* back = ansi_to_wide(ansi);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(std::u16string(back), std::u16string(t));
    std::free(ansi);
    std::free(back);
  }
}

TEST_F(PlatformTest, LoadsOwnFileOnBothPlatforms) {
  pack::Package pkg;
  pack::PageEntry e;
  e.url = u"http://example.test/m.swf";
  e.data.bytes = {'F', 'W', 'S', 10, 0, 0, 0, 0};
  pkg.entries.push_back(e);
  std::vector<uint8_t> stub(40000, 0);
  pack::MemorySink sink;
  common::Error error;
  ASSERT_TRUE(pack::write_player(stub, pkg, &sink, &error)) << error.text();
  std::u16string path = temp_path(u"tessivo-platform-test.exe");
  write_file(path, sink.bytes);

  for (bool nt : {true, false}) {
    reset_player_state();
    reset_platform_cache();
    set_nt_platform_for_test(nt);
    set_executable_path_for_test(path.c_str());
    ASSERT_EQ(load_package(), 1) << nt;
    EXPECT_EQ(entry_count(), 1);
    EXPECT_EQ(required_swf_version(), 10);
  }

  // A missing file and a stub without a package are damaged.
  reset_platform_cache();
  set_executable_path_for_test(temp_path(u"no-such-player.exe").c_str());
  EXPECT_EQ(load_package(), 0);
  write_file(path, stub);
  reset_platform_cache();
  set_executable_path_for_test(path.c_str());
  EXPECT_EQ(load_package(), 0);
  DeleteFileW(as_wide(path.c_str()));
}

TEST_F(PlatformTest, CreateFileAnsiPathFailsCleanlyOnUnconvertiblePath) {
  set_nt_platform_for_test(false);
  HANDLE h = platform_create_file(u"Z:\\no\\such\\file.bin", GENERIC_READ, FILE_SHARE_READ,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
}

}  // namespace
