#include <cstring>

#include <gtest/gtest.h>

#include "package/package_format.h"
#include "package/player_state.h"

namespace {

class PlayerStateTest : public ::testing::Test {
 protected:
  void TearDown() override { reset_player_state(); }
};

TEST(AlignUp4, Values) {
  const struct { int32_t in, out; } cases[] = {
      {0, 0}, {1, 4}, {3, 4}, {4, 4}, {5, 8}, {-1, -1}, {-4, -4}, {-7, -7},
      {2147483644, 2147483644}, {2147483645, 2147483645},
  };
  for (const auto& c : cases) EXPECT_EQ(align_up4(c.in), c.out) << c.in;
}

TEST_F(PlayerStateTest, SettersCopyTextAndTerminator) {
  ASSERT_NE(alloc_resource_table(2), nullptr);
  EXPECT_EQ(entry_count(), 2);
  const char16_t url[] = u"";
  EXPECT_EQ(set_entry_url(url, 0, 0), 2);
  EXPECT_STREQ(reinterpret_cast<const char*>(resource_table()[0].url), "");
  const char key[] = "QUJDRA";
  EXPECT_EQ(set_entry_post_key(key, 0, 5), 6);
  EXPECT_STREQ(resource_table()[0].post_key, "QUJDR");
  const char16_t* type = SWF_CONTENT_TYPE;
  EXPECT_EQ(set_entry_content_type(type, 1, 29), 60);
  EXPECT_EQ(resource_table()[1].content_type[29], 0);
  // Index outside the table copies nothing.
  EXPECT_EQ(set_entry_url(url, 2, 0), -1);
  EXPECT_EQ(set_entry_url(url, -1, 0), -1);
}

TEST_F(PlayerStateTest, StoredTerminatorIsAlwaysZero) {
  ASSERT_NE(alloc_resource_table(1), nullptr);
  const char16_t src[] = {u'a', u'b', u'X', u'Y'};  // no terminator in the source
  EXPECT_EQ(set_entry_url(src, 0, 2), 6);
  EXPECT_EQ(std::char_traits<char16_t>::length(resource_table()[0].url), 2u);
  const char bytes[] = {'k', 'e', 'y', '!'};
  EXPECT_EQ(set_entry_post_key(bytes, 0, 3), 4);
  EXPECT_STREQ(resource_table()[0].post_key, "key");
}

TEST_F(PlayerStateTest, FixedEntryClearsAlternateUrl) {
  ASSERT_NE(alloc_resource_table(1), nullptr);
  set_entry_alternate_url(u"x", 0, 1);
  ASSERT_TRUE(set_fixed_entry(0, VIDEO_PLAYER_URL, SWF_CONTENT_TYPE, 10, 20));
  const ResourceEntry& e = resource_table()[0];
  EXPECT_EQ(e.alternate_url, nullptr);
  EXPECT_EQ(e.post_key, nullptr);
  EXPECT_EQ(std::u16string(e.url), std::u16string(VIDEO_PLAYER_URL));
  EXPECT_EQ(e.size, 10);
  EXPECT_EQ(e.data_offset, 20);
}

TEST_F(PlayerStateTest, AllocZeroOrNegative) {
  EXPECT_EQ(alloc_resource_table(0), nullptr);
  EXPECT_EQ(entry_count(), 0);
  EXPECT_EQ(alloc_resource_table(-3), nullptr);
  EXPECT_EQ(entry_count(), -3);
  set_entry_count(0);
}

TEST_F(PlayerStateTest, TeardownWithoutTableFreesTexts) {
  set_flash_vars(static_cast<char16_t*>(calloc(4, 2)));
  set_movie_base(static_cast<char16_t*>(calloc(4, 2)));
  free_player_state();  // the sanitizer build reports a leak or double free
  set_flash_vars(nullptr);
  set_movie_base(nullptr);
}

}  // namespace
