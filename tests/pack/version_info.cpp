// Prints what Windows reads from a program's resources: its version numbers
// and strings through the version API, and how many icons it holds.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(argv[1], &ignored);
  std::vector<BYTE> info(size ? size : 1);
  if (!size || !GetFileVersionInfoW(argv[1], 0, size, info.data())) {
    std::printf("no version resource\n");
    return 1;
  }
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT n = 0;
  // Each DWORD holds two 16-bit parts of the version.
  auto hi = [](DWORD v) { return unsigned(HIWORD(v)); };
  auto lo = [](DWORD v) { return unsigned(LOWORD(v)); };
  if (VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &n) && fixed)
    std::printf("file %u.%u.%u.%u product %u.%u.%u.%u\n", hi(fixed->dwFileVersionMS), lo(fixed->dwFileVersionMS),
                hi(fixed->dwFileVersionLS), lo(fixed->dwFileVersionLS), hi(fixed->dwProductVersionMS),
                lo(fixed->dwProductVersionMS), hi(fixed->dwProductVersionLS), lo(fixed->dwProductVersionLS));
  for (const wchar_t* name : {L"FileVersion", L"ProductVersion", L"FileDescription", L"ProductName"}) {
    wchar_t path[128];
    wsprintfW(path, L"\\StringFileInfo\\040904B0\\%s", name);
    wchar_t* value = nullptr;
    if (VerQueryValueW(info.data(), path, reinterpret_cast<void**>(&value), &n) && value)
      std::printf("%ls: %ls\n", name, value);
  }
  std::printf("icons: %u\n", ExtractIconExW(argv[1], -1, nullptr, nullptr, 0));
  return 0;
}
