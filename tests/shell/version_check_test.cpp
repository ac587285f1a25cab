#include "package/flash_version.h"

#include <string>

#include <gtest/gtest.h>

namespace {

TEST(FirstFlashVersion, EveryVersionByte) {
  // SWF version byte -> first Flash Player (major.minor) that plays it.
  const struct {
    int32_t swf, major, minor;
  } table[] = {
      {11, 10, 2}, {12, 10, 3}, {13, 11, 0}, {14, 11, 1}, {15, 11, 2}, {16, 11, 3},
      {17, 11, 4}, {18, 11, 5}, {19, 11, 6}, {20, 11, 7}, {21, 11, 8}, {22, 11, 9},
      {23, 12, 0}, {24, 13, 0}, {27, 16, 0}, {38, 27, 0}, {43, 32, 0}, {44, 33, 0},
      {127, 116, 0},
  };
  for (const auto& row : table)
    EXPECT_EQ(first_flash_version(row.swf), row.major << 16 | row.minor) << "SWF " << row.swf;
  // Up to 10, and for the negative bytes of 128 and more, the byte is the major.
  for (int32_t swf = -128; swf <= 10; ++swf)
    EXPECT_EQ(first_flash_version(swf), int32_t(uint32_t(swf) << 16)) << "SWF " << swf;
  // From 23 on, one major per byte.
  for (int32_t swf = 23; swf <= 127; ++swf)
    EXPECT_EQ(first_flash_version(swf), (swf - 11) << 16) << "SWF " << swf;
}

TEST(NeedsNewerPlayer, AcrossTheTenBoundary) {
  const struct {
    int32_t swf, installed;
    bool refused;
  } cases[] = {
      {9, 0x00080000, true},   {9, 0x0008FFFF, true},  {9, 0x00090000, false},
      {10, 0x000A0000, false}, {1, 0, true},           {-56, 0, false},  // byte 200
      {11, 0x000A0001, true},  {11, 0x000A0002, false},
      {12, 0x000A0002, true},  {12, 0x000A0003, false}, {12, 0x000B0009, false},
      {13, 0x000A0003, true},  {22, 0x000B0008, true},  {22, 0x000B0009, false},
      {23, 0x000B0009, true},  {23, 0x000C0000, false},
      {38, 0x001A0000, true},  {38, 0x00200000, false}, {43, 0x00200000, false},
      {44, 0x00200000, true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(needs_newer_player(c.swf, c.installed), c.refused)
        << "SWF " << c.swf << " on " << std::hex << c.installed;
}

TEST(DescribeRequiredPlayer, TheLinePackPrints) {
  const struct {
    int32_t swf;
    const char* text;
  } cases[] = {
      {12, "SWF 12, needs Flash Player 10.3 or later"},
      {9, "SWF 9, needs Flash Player 9.0 or later"},
      {38, "SWF 38, needs Flash Player 27.0 or later"},
      {0, "SWF 0, plays on any Flash Player"},
      {-56, "SWF 200, plays on any Flash Player"},
  };
  for (const auto& c : cases) {
    char text[64];
    describe_required_player(c.swf, text, sizeof text);
    EXPECT_EQ(std::string(text), c.text);
  }
}

}  // namespace
