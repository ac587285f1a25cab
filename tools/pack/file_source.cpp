#include "file_source.h"

#include <cerrno>
#include <cstring>

#include "package/package_format.h"
#include "package/player_state.h"
#include "paths.h"

bool file_seek(std::FILE* f, int64_t offset) {
#ifdef _WIN32
  return _fseeki64(f, offset, SEEK_SET) == 0;
#else
  return fseeko(f, off_t(offset), SEEK_SET) == 0;
#endif
}

int64_t file_size(std::FILE* f) {
#ifdef _WIN32
  if (_fseeki64(f, 0, SEEK_END) != 0) return -1;
  return _ftelli64(f);
#else
  if (fseeko(f, 0, SEEK_END) != 0) return -1;
  return int64_t(ftello(f));
#endif
}

template <typename Bytes>
bool read_whole_file(const std::string& path, Bytes* out, std::string* error) {
  std::FILE* f = pack::open_file(path, "rb");
  if (!f) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out->insert(out->end(), buf, buf + n);
  const bool ok = !std::ferror(f);
  std::fclose(f);
  if (!ok) *error = path + ": read error";
  return ok;
}

template bool read_whole_file(const std::string&, std::string*, std::string*);
template bool read_whole_file(const std::string&, std::vector<uint8_t>*, std::string*);

FileSource::~FileSource() {
  if (file_) std::fclose(file_);
}

bool FileSource::open(const std::string& path, std::string* error) {
  file_ = pack::open_file(path, "rb");
  if (!file_) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  size_ = file_size(file_);
  if (size_ < 0) {
    *error = path + ": cannot take the file size";
    return false;
  }
  return true;
}

PackageSource FileSource::source() {
  return PackageSource{this, int32_t(uint32_t(uint64_t(size_))), read_at};
}

int32_t FileSource::read_at(void* context, int64_t offset, void* buf, int32_t len) {
  auto* self = static_cast<FileSource*>(context);
  if (offset < 0 || len < 0 || !file_seek(self->file_, offset)) return -1;
  size_t got = std::fread(buf, 1, size_t(len), self->file_);
  if (got < size_t(len) && std::ferror(self->file_)) return -1;
  return int32_t(got);
}

namespace {

int32_t le32(const uint8_t* p) {
  return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
}

// The package's header as the player finds it: false when there is none.
bool find_header(FileSource& file, int64_t* at, int32_t fields[6]) {
  PackageSource src = file.source();
  std::vector<uint8_t> buf(PACKAGE_READ_SIZE + 24);
  int32_t n = src.read_at(src.context, PACKAGE_SEARCH_START, buf.data(), int32_t(buf.size()));
  if (n <= 20) return false;
  int32_t window = n < PACKAGE_READ_SIZE ? n : PACKAGE_READ_SIZE;
  for (int32_t p = 0; p < window - 20; ++p)
    if (uint32_t(le32(&buf[size_t(p)])) == package_magic()) {
      *at = PACKAGE_SEARCH_START + p;
      for (int k = 0; k < 6; ++k)
        fields[k] = p + 4 * k + 4 <= n ? le32(&buf[size_t(p + 4 * k)]) : -1;
      return true;
    }
  return false;
}

// Why the player's loader refuses the file, in the user's words.
std::string refusal(FileSource& file) {
  if (file.size() <= PACKAGE_SEARCH_START)
    return "the file is " + std::to_string(file.size()) + " bytes, too short to hold a player and a package";
  int64_t at = 0;
  int32_t f[6];
  if (!find_header(file, &at, f))
    return "no package follows the stub (a bare stub, or not a Tessivo player)";
  if (f[2] != PLAYBACK_PAGE && f[2] != PLAYBACK_VIDEO && f[2] != PLAYBACK_PAGE_POST)
    return "the package's mode is " + std::to_string(f[2]) + "; only 0, 1 and 2 exist";
  if (f[2] == PLAYBACK_VIDEO)
    return "the video package is cut short: the file ends inside the skin or the video";
  if (f[5] <= 0) return "the package declares " + std::to_string(f[5]) + " entries";
  return "the first entry (the first movie) is damaged or cut short by the end of the file";
}

}  // namespace

bool load_player_exe(const std::string& path, std::string* error) {
  FileSource file;
  if (!file.open(path, error)) return false;
  if (!load_package_from(file.source())) {
    *error = path + ": the player refuses this package: " + refusal(file);
    return false;
  }
  return true;
}

int32_t declared_entry_count(const std::string& path) {
  FileSource file;
  std::string error;
  int64_t at = 0;
  int32_t f[6];
  if (!file.open(path, &error) || !find_header(file, &at, f) || f[2] == PLAYBACK_VIDEO) return -1;
  return f[5];
}
