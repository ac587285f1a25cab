#include "import/zip.h"

#include <zlib.h>

namespace capture {
namespace {

uint32_t u16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
uint32_t u32(const uint8_t* p) { return u16(p) | u16(p + 2) << 16; }

std::vector<uint8_t> read_range(const std::string& path, int64_t start, int64_t n) {
  FileInput in(path, start, n);
  std::vector<uint8_t> out(static_cast<size_t>(n));
  size_t got = 0;
  while (got < out.size()) {
    size_t k = in.read(out.data() + got, out.size() - got);
    if (!k) break;
    got += k;
  }
  out.resize(got);
  return out;
}

}  // namespace

std::vector<ZipMember> read_zip_directory(const std::string& path) {
  FileInput whole(path);
  const int64_t size = whole.size();
  auto fail = [&](int64_t at, const std::string& why) {
    return ImportError(path + ": at byte " + std::to_string(at) + ": " + why);
  };
  // The end record is the last 22 bytes plus a comment of up to 65535.
  int64_t tail = size < 22 + 65535 ? size : 22 + 65535;
  std::vector<uint8_t> end = read_range(path, size - tail, tail);
  int64_t e = -1;
  for (int64_t k = int64_t(end.size()) - 22; k >= 0; --k)
    if (u32(&end[size_t(k)]) == 0x06054b50) {
      e = k;
      break;
    }
  if (e < 0) throw fail(size, "no ZIP end-of-directory record");
  const uint8_t* r = &end[size_t(e)];
  const int64_t end_at = size - tail + e;
  uint32_t count = u16(r + 10), dir_size = u32(r + 12), dir_offset = u32(r + 16);
  if (count == 0xFFFF || dir_size == 0xFFFFFFFF || dir_offset == 0xFFFFFFFF)
    throw fail(end_at, "ZIP64 archives are not supported");
  if (int64_t(dir_offset) + dir_size > end_at) throw fail(end_at, "the ZIP directory lies past its end record");
  std::vector<uint8_t> dir = read_range(path, dir_offset, dir_size);
  std::vector<ZipMember> members;
  size_t p = 0;
  for (uint32_t k = 0; k < count; ++k) {
    if (p + 46 > dir.size() || u32(&dir[p]) != 0x02014b50)
      throw fail(int64_t(dir_offset + p), "damaged ZIP directory entry");
    const uint8_t* h = &dir[p];
    ZipMember m;
    m.method = int(u16(h + 10));
    m.compressed = u32(h + 20);
    m.size = u32(h + 24);
    m.crc = u32(h + 16);
    size_t name_len = u16(h + 28), extra = u16(h + 30), comment = u16(h + 32);
    m.header_offset = u32(h + 42);
    if (p + 46 + name_len + extra + comment > dir.size())
      throw fail(int64_t(dir_offset + p), "damaged ZIP directory entry");
    m.name.assign(reinterpret_cast<const char*>(h + 46), name_len);
    if (m.compressed == 0xFFFFFFFF || m.size == 0xFFFFFFFF || m.header_offset == 0xFFFFFFFF)
      throw fail(int64_t(dir_offset + p), "ZIP64 members are not supported");
    members.push_back(m);
    p += 46 + name_len + extra + comment;
  }
  return members;
}

std::unique_ptr<Input> open_zip_member(const std::string& path, const ZipMember& m) {
  std::vector<uint8_t> h = read_range(path, m.header_offset, 30);
  if (h.size() < 30 || u32(h.data()) != 0x04034b50)
    throw ImportError(path + ": at byte " + std::to_string(m.header_offset) + ": no ZIP member header for " + m.name);
  int64_t data = m.header_offset + 30 + u16(&h[26]) + u16(&h[28]);
  std::unique_ptr<Input> raw(new FileInput(path, data, m.compressed));
  if (m.method == 0) return raw;
  if (m.method == 8)
    return std::unique_ptr<Input>(new InflateInput(std::move(raw), InflateInput::RAW, path + " (" + m.name + ")"));
  throw ImportError(path + ": " + m.name + ": ZIP compression method " + std::to_string(m.method) +
                    " not supported (only stored and deflated)");
}

std::string zip_member_fault(const std::string& path, const ZipMember& m) {
  try {
    if (m.header_offset + 30 + m.compressed > FileInput(path).size()) return "the member runs past the end of the file";
    std::unique_ptr<Input> in = open_zip_member(path, m);
    std::vector<uint8_t> buf(1 << 16);
    uLong crc = crc32(0, nullptr, 0);
    int64_t size = 0;
    while (size_t n = in->read(buf.data(), buf.size())) {
      crc = crc32(crc, buf.data(), uInt(n));
      size += int64_t(n);
    }
    if (size != m.size)
      return "the member holds " + std::to_string(size) + " bytes, the ZIP directory says " + std::to_string(m.size);
    if (uint32_t(crc) != m.crc) return "the member does not match its CRC-32";
  } catch (const Damaged& e) {
    return e.what();
  }
  return "";
}

}  // namespace capture
