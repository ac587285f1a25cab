// Constants of the package appended to the player stub.
#pragma once

#include <cstdint>

constexpr int32_t PACKAGE_SEARCH_START = 0x8000;
constexpr int32_t PACKAGE_READ_SIZE = 0x20000;
// Last offset at which a package can start and still be found.
constexpr int32_t PACKAGE_LAST_START = PACKAGE_SEARCH_START + PACKAGE_READ_SIZE - 21;
// "QZRB" read as one little-endian value. The player never holds these four
// bytes as such: a stub that carries them past the search start would find
// itself instead of its package.
uint32_t package_magic();
// "QZRU", the browser runtime section's first field, built the same way.
uint32_t runtime_magic();
// Most files a runtime section may hold.
constexpr int32_t RUNTIME_MAX_FILES = 64;
// Second header field; the player never reads it.
constexpr int32_t PACKAGE_HEADER_TAG = 13;

// The fixed URLs of a video package's three files.
#define VIDEO_HOST_URL u"http://tessivo.invalid"
constexpr const char16_t* VIDEO_PLAYER_URL = VIDEO_HOST_URL u"/vyo.swf";
constexpr const char16_t* VIDEO_SKIN_URL = VIDEO_HOST_URL u"/vyos.swf";
constexpr const char16_t* VIDEO_FLV_URL = VIDEO_HOST_URL u"/vyo.flv";
constexpr const char16_t* SWF_CONTENT_TYPE = u"application/x-shockwave-flash";
constexpr const char16_t* FLV_CONTENT_TYPE = u"video/flv";

int32_t align_up4(int32_t value);
