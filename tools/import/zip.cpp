#include "import/zip.h"

#include <minizip/unzip.h>

#include <cstdio>

#include "common/file.h"

namespace capture {
namespace {

// minizip reads through the file layer, so that any UTF-8 name opens in
// pack.exe as on Linux.
struct ZipFile {
  common::File file;
  int64_t pos = 0;
  bool failed = false;
};

voidpf zip_open(voidpf, const void* path, int mode) {
  if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ) return nullptr;
  common::File f = common::open_file(*static_cast<const std::string*>(path), "rb");
  if (!f) return nullptr;
  ZipFile* z = new ZipFile;
  z->file = std::move(f);
  return z;
}

uLong zip_read(voidpf, voidpf stream, void* buf, uLong n) {
  ZipFile* z = static_cast<ZipFile*>(stream);
  size_t got = std::fread(buf, 1, n, z->file.get());
  if (got < n && std::ferror(z->file.get())) z->failed = true;
  z->pos += int64_t(got);
  return uLong(got);
}

uLong zip_write(voidpf, voidpf, const void*, uLong) { return 0; }

ZPOS64_T zip_tell(voidpf, voidpf stream) { return ZPOS64_T(static_cast<ZipFile*>(stream)->pos); }

long zip_seek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  ZipFile* z = static_cast<ZipFile*>(stream);
  int64_t base = 0;
  if (origin == ZLIB_FILEFUNC_SEEK_CUR) base = z->pos;
  else if (origin == ZLIB_FILEFUNC_SEEK_END) base = common::file_size(z->file);
  int64_t to = base + int64_t(offset);
  if (base < 0) return -1;
  // minizip seeks before each piece it reads, mostly to where it already is:
  // stdio's buffer is kept then.
  if (to == z->pos && origin != ZLIB_FILEFUNC_SEEK_END) return 0;
  if (!common::file_seek(z->file, to)) return -1;
  z->pos = to;
  return 0;
}

int zip_close(voidpf, voidpf stream) {
  delete static_cast<ZipFile*>(stream);
  return 0;
}

int zip_error(voidpf, voidpf stream) { return static_cast<ZipFile*>(stream)->failed ? 1 : 0; }

struct Archive {
  unzFile z = nullptr;
  explicit Archive(const std::string& path) {
    zlib_filefunc64_def io = {zip_open, zip_read, zip_write, zip_tell, zip_seek, zip_close, zip_error, nullptr};
    z = unzOpen2_64(&path, &io);
  }
  ~Archive() {
    if (z) unzClose(z);
  }
  Archive(const Archive&) = delete;
  Archive& operator=(const Archive&) = delete;
};

// Where the member's local header starts (30 bytes, then the name and an
// extra field before the data), or -1 when it can't be read.
int64_t header_offset(unzFile z, uLong name_size) {
  int method = 0, level = 0;
  if (unzOpenCurrentFile2(z, &method, &level, 1) != UNZ_OK) return -1;
  int64_t data = int64_t(unzGetCurrentFileZStreamPos64(z));
  int extra = unzGetLocalExtrafield(z, nullptr, 0);
  unzCloseCurrentFile(z);
  return extra < 0 ? -1 : data - 30 - int64_t(name_size) - extra;
}

class MemberInput : public Input {
 public:
  MemberInput(const std::string& path, const ZipMember& m) : archive_(path), member_(m), path_(path) {
    if (!archive_.z) throw Fault(common::Error{path, 0, -1, "not a readable ZIP any more"});
    unz64_file_pos at = {m.dir_pos, m.index};
    if (unzGoToFilePos64(archive_.z, &at) != UNZ_OK)
      throw Fault(common::Error{path, 0, -1, "not found again in the ZIP directory", -1, m.name});
    if (m.method != 0 && m.method != Z_DEFLATED)
      throw Fault(common::Error{path, 0, -1,
                                "ZIP compression method " + std::to_string(m.method) +
                                    " not supported (only stored and deflated)",
                                -1, m.name});
    open();
    data_ = int64_t(unzGetCurrentFileZStreamPos64(archive_.z));
  }
  ~MemberInput() override {
    if (open_) unzCloseCurrentFile(archive_.z);
  }

  size_t read(uint8_t* buf, size_t n) override {
    if (n > (1u << 30)) n = 1u << 30;
    int got = unzReadCurrentFile(archive_.z, buf, unsigned(n));
    if (got < 0)
      throw Fault(common::Error{path_, 0, data_,
                                got == Z_DATA_ERROR
                                    ? "damaged compressed data"
                                    : "the member cannot be read whole (cut short, or past the end of the file)",
                                -1, member_.name},
                  Reach::record);
    pos_ += got;
    return size_t(got);
  }

  // Stored, its bytes lie in the file as they are.
  int64_t file_offset(int64_t pos) const override { return member_.method == 0 ? data_ + pos : -1; }

  // Forward by reading on; back by reading again from the start.
  bool seek(int64_t to) override {
    if (to < pos_) {
      unzCloseCurrentFile(archive_.z);
      open_ = false;
      open();
      pos_ = 0;
    }
    uint8_t skip[1 << 14];
    while (pos_ < to) {
      size_t want = size_t(to - pos_ < int64_t(sizeof skip) ? to - pos_ : int64_t(sizeof skip));
      if (read(skip, want) == 0) return false;
    }
    return true;
  }

  // Once read through: false when the data does not match the directory's CRC-32.
  bool crc_matches() {
    open_ = false;
    return unzCloseCurrentFile(archive_.z) != UNZ_CRCERROR;
  }

 private:
  void open() {
    if (unzOpenCurrentFile(archive_.z) != UNZ_OK)
      throw Fault(common::Error{path_, 0, member_.header_offset,
                                "its local header is not the one the ZIP directory lists", -1, member_.name},
                  Reach::record);
    open_ = true;
  }

  Archive archive_;
  ZipMember member_;
  std::string path_;
  int64_t data_ = 0, pos_ = 0;
  bool open_ = false;
};

}  // namespace

std::vector<ZipMember> read_zip_directory(const std::string& path) {
  FileInput whole(path);  // the same error as any input when it can't be opened
  Archive archive(path);
  if (!archive.z)
    throw Fault(
        common::Error{path, 0, whole.size(), "not a readable ZIP (no end-of-directory record, or a damaged one)"});
  std::vector<ZipMember> members;
  int rc = unzGoToFirstFile(archive.z);
  for (; rc == UNZ_OK; rc = unzGoToNextFile(archive.z)) {
    unz_file_info64 info;
    const int64_t entry = int64_t(unzGetOffset64(archive.z));
    if (unzGetCurrentFileInfo64(archive.z, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) break;
    ZipMember m;
    std::vector<char> name(info.size_filename + 1);
    unzGetCurrentFileInfo64(archive.z, nullptr, name.data(), uLong(name.size()), nullptr, 0, nullptr, 0);
    m.name.assign(name.data(), info.size_filename);
    m.method = int(info.compression_method);
    m.compressed = int64_t(info.compressed_size);
    m.size = int64_t(info.uncompressed_size);
    m.crc = uint32_t(info.crc);
    unz64_file_pos at;
    unzGetFilePos64(archive.z, &at);
    m.dir_pos = at.pos_in_zip_directory;
    m.index = at.num_of_file;
    int64_t local = header_offset(archive.z, info.size_filename);
    m.header_offset = local < 0 ? entry : local;
    members.push_back(m);
  }
  if (rc != UNZ_END_OF_LIST_OF_FILE)
    throw Fault(common::Error{path, 0, int64_t(unzGetOffset64(archive.z)), "damaged ZIP directory entry"});
  return members;
}

std::unique_ptr<Input> open_zip_member(const std::string& path, const ZipMember& m) {
  return std::unique_ptr<Input>(new MemberInput(path, m));
}

common::Error zip_member_fault(const std::string& path, const ZipMember& m) {
  common::Error e{path, 0, m.header_offset, "", -1, m.name};
  try {
    MemberInput in(path, m);
    std::vector<uint8_t> buf(1 << 16);
    int64_t size = 0;
    while (size_t n = in.read(buf.data(), buf.size())) size += int64_t(n);
    if (size != m.size)
      e.message =
          "the member holds " + std::to_string(size) + " bytes, the ZIP directory says " + std::to_string(m.size);
    else if (!in.crc_matches())
      e.message = "the member does not match its CRC-32";
  } catch (const Fault& f) {
    if (f.reach != Reach::record) throw;
    return f.error;
  }
  return e;
}

}  // namespace capture
