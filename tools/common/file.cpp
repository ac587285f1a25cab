#include "common/file.h"

#include <vector>

#include "common/paths.h"
#include "common/utf.h"

namespace common {

void File::reset(std::FILE* file) {
  if (file_) std::fclose(file_);
  file_ = file;
}

bool File::close() {
  if (!file_) return true;
  bool ok = std::fflush(file_) == 0 && !std::ferror(file_);
  ok = std::fclose(file_) == 0 && ok;
  file_ = nullptr;
  return ok;
}

File open_file(const std::string& path, const char* mode) {
#ifdef _WIN32
  return File(_wfopen(wide_path(path).c_str(), widen(mode).c_str()));
#else
  return File(std::fopen(path.c_str(), mode));
#endif
}

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

bool read_range(std::FILE* f, int64_t offset, size_t n, std::string* out) {
  if (!f) return false;
  bool ok = file_seek(f, offset);
  out->resize(n);
  size_t got = ok && n ? std::fread(&(*out)[0], 1, n, f) : 0;
  out->resize(got);
  return ok && got == n;
}

template <typename Bytes>
bool read_whole_file(const std::string& path, Bytes* out, Error* error) {
  File f = open_file(path, "rb");
  if (!f) {
    *error = errno_error(path);
    return false;
  }
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) out->insert(out->end(), buf, buf + n);
  if (std::ferror(f.get())) {
    *error = Error{path, 0, -1, "read error"};
    return false;
  }
  return true;
}

template bool read_whole_file(const std::string&, std::string*, Error*);
template bool read_whole_file(const std::string&, std::vector<uint8_t>*, Error*);

}  // namespace common
