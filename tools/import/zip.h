// Reading the members of a ZIP file (as WACZ packs its WARCs) through
// minizip: stored and deflated members, ZIP64 too.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "import/stream.h"

namespace capture {

struct ZipMember {
  std::string name;
  int method = 0;  // 0 stored, 8 deflated
  int64_t compressed = 0, size = 0;
  int64_t header_offset = 0;  // its local header; its directory entry's when that is unreadable
  uint32_t crc = 0;
  uint64_t dir_pos = 0, index = 0;  // where minizip finds it again
};

// The members listed in the central directory; throws naming the file and
// offset when it is not a readable ZIP.
std::vector<ZipMember> read_zip_directory(const std::string& path);

// The member's uncompressed bytes as a stream, read a piece at a time.
std::unique_ptr<Input> open_zip_member(const std::string& path, const ZipMember& member);

// Reads the member through: why and where it is damaged (its CRC-32 or
// size not those the directory gives, its header or compressed data
// broken); the message is empty when it is sound.
common::Error zip_member_fault(const std::string& path, const ZipMember& member);

}  // namespace capture
