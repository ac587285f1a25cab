#include "base/win/platform.h"
#include "base/win/scoped_handle.h"
#include "package/package_source.h"
#include "package/platform.h"

namespace {

int32_t read_file_at(void* context, int64_t offset, void* buf, int32_t len) {
  HANDLE file = static_cast<HANDLE>(context);
  LONG high = LONG(offset >> 32);
  if (SetFilePointer(file, LONG(offset), &high, FILE_BEGIN) == INVALID_SET_FILE_POINTER &&
      GetLastError() != NO_ERROR)
    return -1;
  DWORD got = 0;
  if (!ReadFile(file, buf, DWORD(len), &got, nullptr)) return -1;
  return int32_t(got);
}

}  // namespace

int load_package() {
  base::win::ScopedHandle file(platform_create_file(get_executable_path(), GENERIC_READ,
                                                    FILE_SHARE_READ, OPEN_EXISTING,
                                                    FILE_ATTRIBUTE_READONLY));
  if (!file.valid()) return 0;
  PackageSource source{file.get(), int32_t(GetFileSize(file.get(), nullptr)), read_file_at};
  return load_package_from(source);
}
