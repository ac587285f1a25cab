#include "file_source.h"

#include <cerrno>
#include <cstring>

#include "package/player_state.h"

namespace {

bool seek(std::FILE* f, int64_t offset) {
#ifdef _WIN32
  return _fseeki64(f, offset, SEEK_SET) == 0;
#else
  return fseeko(f, off_t(offset), SEEK_SET) == 0;
#endif
}

int64_t tell_end(std::FILE* f) {
#ifdef _WIN32
  if (_fseeki64(f, 0, SEEK_END) != 0) return -1;
  return _ftelli64(f);
#else
  if (fseeko(f, 0, SEEK_END) != 0) return -1;
  return int64_t(ftello(f));
#endif
}

}  // namespace

template <typename Bytes>
bool read_whole_file(const std::string& path, Bytes* out, std::string* error) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
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
  file_ = std::fopen(path.c_str(), "rb");
  if (!file_) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  size_ = tell_end(file_);
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
  if (offset < 0 || len < 0 || !seek(self->file_, offset)) return -1;
  size_t got = std::fread(buf, 1, size_t(len), self->file_);
  if (got < size_t(len) && std::ferror(self->file_)) return -1;
  return int32_t(got);
}

bool load_player_exe(const std::string& path, std::string* error) {
  FileSource file;
  if (!file.open(path, error)) return false;
  if (!load_package_from(file.source())) {
    *error = path + ": no package, or the package is damaged";
    return false;
  }
  return true;
}
