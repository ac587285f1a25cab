// Loader benchmark: wall time and bytes read for packages of many small
// entries and for one very large entry. Prints figures; asserts nothing.
// --quick: tiny sizes, to see that it still runs.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/win/platform.h"
#include "package/package_format.h"
#include "package/package_source.h"
#include "package/platform.h"
#include "package/player_state.h"
#include "pack/package_writer.h"
#include "resolve/resolve.h"

namespace {

struct CountingFile {
  HANDLE file;
  int64_t bytes;
  int32_t reads;
};

int32_t counted_read(void* context, int64_t offset, void* buf, int32_t len) {
  auto* c = static_cast<CountingFile*>(context);
  LONG high = LONG(offset >> 32);
  SetFilePointer(c->file, LONG(offset), &high, FILE_BEGIN);
  DWORD got = 0;
  if (!ReadFile(c->file, buf, DWORD(len), &got, nullptr)) return -1;
  c->bytes += got;
  ++c->reads;
  return int32_t(got);
}

double now_ms() {
  LARGE_INTEGER f, t;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&t);
  return 1000.0 * double(t.QuadPart) / double(f.QuadPart);
}

std::u16string temp_file(const char16_t* name) {
  wchar_t dir[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  return std::u16string(reinterpret_cast<char16_t*>(dir)) + name;
}

bool write_player(const std::u16string& path, const pack::Package& pkg) {
  std::FILE* f = _wfopen(as_wide(path.c_str()), L"wb");
  if (!f) return false;
  pack::FileSink sink(f);
  common::Error error;
  const bool written = pack::write_player(std::vector<uint8_t>(40000, 0), pkg, &sink, &error);
  std::fclose(f);
  if (!written) std::fprintf(stderr, "bench: %s\n", error.text().c_str());
  return written;
}

// What reading PACKAGE_READ_SIZE bytes at every entry (and twice more for
// the first movie's fields) would read.
int64_t naive_bytes(int64_t file_size) {
  auto window = [&](int64_t at) { return std::min<int64_t>(PACKAGE_READ_SIZE, file_size - at); };
  int64_t total = window(PACKAGE_SEARCH_START);
  for (int32_t i = 0; i < entry_count(); ++i) {
    const ResourceEntry& e = resource_table()[i];
    int64_t fields = 4 + 4 + 2 * int64_t(std::char_traits<char16_t>::length(e.url)) + 2;
    int64_t start = e.data_offset - fields - 12 - (i == 0 ? 8 : 0);  // no optional fields here
    total += window(start);
    if (i == 0) total += window(e.data_offset - 8) + window(e.data_offset - 4);
  }
  return total;
}

size_t private_bytes() {
  PROCESS_MEMORY_COUNTERS mem{};
  mem.cb = sizeof(mem);
  GetProcessMemoryInfo(GetCurrentProcess(), &mem, sizeof(mem));
  return mem.PagefileUsage;
}

void run(const char* name, const pack::Package& pkg, int repeats) {
  std::u16string path = temp_file(u"tessivo-bench-loader.exe");
  if (!write_player(path, pkg)) return;
  reset_platform_cache();
  set_executable_path_for_test(path.c_str());

  // Memory of the first load, before repeated loads leave freed heap behind:
  // the table and the lookup index against the package's own index (every
  // byte of the package that is not entry data).
  reset_player_state();
  drop_exact_index();
  size_t before = private_bytes();
  double l0 = now_ms();
  if (!load_package()) {
    std::printf("%s: load failed\n", name);
    return;
  }
  double load_ms = now_ms() - l0;
  prepare_resolution_index();
  double build_ms = now_ms() - l0 - load_ms;
  double private_mib = double(private_bytes() - before) / 1048576.0;
  // The table as the heap holds it: each block rounded to 8 bytes plus 8 of
  // heap header; the measured growth above undercounts once freed heap is reused.
  auto block = [](size_t n) { return double((n + 7) / 8 * 8 + 8); };
  double table_bytes = block(size_t(entry_count()) * sizeof(ResourceEntry));
  int64_t data_bytes = 0;
  for (int32_t i = 0; i < entry_count(); ++i) {
    const ResourceEntry& e = resource_table()[i];
    data_bytes += e.size;
    for (const char16_t* t : {e.url, e.alternate_url, e.content_type})
      if (t) table_bytes += block(2 * (std::char_traits<char16_t>::length(t) + 1));
    if (e.post_key) table_bytes += block(std::char_traits<char>::length(e.post_key) + 1);
  }
  double table_mib = table_bytes / 1048576.0;
  double index_mib = double(resolution_index_bytes()) / 1048576.0;

  double best = 1e30;
  for (int r = 0; r < repeats; ++r) {
    reset_player_state();
    double t0 = now_ms();
    int ok = load_package();
    double t = now_ms() - t0;
    if (!ok) {
      std::printf("%s: load failed\n", name);
      return;
    }
    if (t < best) best = t;
  }

  reset_player_state();
  HANDLE h = CreateFileW(as_wide(path.c_str()), GENERIC_READ, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  CountingFile counting{h, 0, 0};
  LARGE_INTEGER size;
  GetFileSizeEx(h, &size);
  load_package_from(PackageSource{&counting, int32_t(size.LowPart), counted_read});
  CloseHandle(h);
  int64_t naive = naive_bytes(size.QuadPart);
  double package_index_mib = double(size.QuadPart - 40000 - data_bytes) / 1048576.0;

  PROCESS_MEMORY_COUNTERS mem{};
  mem.cb = sizeof(mem);
  GetProcessMemoryInfo(GetCurrentProcess(), &mem, sizeof(mem));
  std::printf("%-26s file %10.1f MiB  best of %d: %8.3f ms  read %9.1f KiB in %5d reads"
              "  (one full window per read: %9.1f MiB)  peak working set %.1f MiB\n",
              name, double(size.QuadPart) / 1048576.0, repeats, best, double(counting.bytes) / 1024.0,
              counting.reads, double(naive) / 1048576.0, double(mem.PeakWorkingSetSize) / 1048576.0);
  std::printf("%-26s first load %8.3f ms + index build %8.3f ms; table %.2f MiB + lookup index"
              " %.2f MiB = %.2fx the package's index of %.2f MiB (private bytes grew %.2f MiB)\n",
              "", load_ms, build_ms, table_mib, index_mib, (table_mib + index_mib) / package_index_mib,
              package_index_mib, private_mib);
  reset_player_state();
  DeleteFileW(as_wide(path.c_str()));
}

pack::Package small_entries(int n) {
  pack::Package pkg;
  for (int i = 0; i < n; ++i) {
    pack::PageEntry e;
    std::string url = "http://www.example.test/site/assets/item" + std::to_string(i) + ".xml";
    e.url.assign(url.begin(), url.end());
    e.content_type = u"text/xml";
    e.data.bytes.assign(2048, uint8_t(i));
    if (i == 0) e.data.bytes[3] = 9;
    pkg.entries.push_back(e);
  }
  return pkg;
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  std::printf("Loader under Wine (wall time of load_package on the player's own file)\n");
  for (int n : {10, 1000, 10000, 100000}) {
    if (quick && n > 1000) break;
    std::string name = std::to_string(n) + " entries of 2 KiB";
    pack::Package pkg = small_entries(n);
    pkg.mode = 2;  // the index for best matches too
    run(name.c_str(), pkg, quick ? 1 : n > 10000 ? 3 : 5);
  }
  // One large entry, its data a sparse file so that making it is quick.
  const int big_mib = quick ? 8 : 512;
  std::u16string big = temp_file(u"tessivo-bench-big.bin");
  HANDLE h = CreateFileW(as_wide(big.c_str()), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  LARGE_INTEGER size;
  size.QuadPart = int64_t(big_mib) << 20;
  SetFilePointerEx(h, size, nullptr, FILE_BEGIN);
  SetEndOfFile(h);
  CloseHandle(h);
  pack::Package pkg = small_entries(1);
  char ansi[MAX_PATH];
  WideCharToMultiByte(CP_ACP, 0, as_wide(big.c_str()), -1, ansi, MAX_PATH, nullptr, nullptr);
  pkg.entries[0].data.bytes.clear();
  pkg.entries[0].data.path = ansi;
  pkg.entries[0].data.size = size.QuadPart;
  run(("one entry of " + std::to_string(big_mib) + " MiB").c_str(), pkg, quick ? 1 : 5);
  DeleteFileW(as_wide(big.c_str()));
  return 0;
}
