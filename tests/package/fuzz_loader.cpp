// Feeds arbitrary bytes as a package placed after a stub to the loader and
// compares everything it leaves in the player state with a direct model of
// the package rules, in which every read at an offset is simply the file's
// next 131072 bytes there. The loader's windows, their reuse and its read
// sizes must never show.
//
// The first byte places the package: its alignment (bits 0-1), the sizes of
// the loader's first reads and read-ahead (bits 2-3), how far into the
// search window it starts (bits 4-6, up to the last place where it can be
// found, so that its header ends past the window), and whether runs are
// expanded (bit 7), so that a short input makes entries larger than a read.
// Packages end at 256 KiB.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_loader_model.h"
#include "package/package_format.h"
#include "package/package_source.h"
#include "package/player_state.h"

namespace {

const int32_t kGaps[] = {0, 5, 4096, 65536, PACKAGE_READ_SIZE - 4096, PACKAGE_READ_SIZE - 64,
                         PACKAGE_READ_SIZE - 28, PACKAGE_READ_SIZE - 21};
// With expansion, 0xFE c b stands for c * 1024 bytes of b (b itself when c is 0).
constexpr uint8_t kRun = 0xFE;
constexpr size_t kRunUnit = 1024;
// Twice a read: enough for entries and windows that outgrow one.
constexpr size_t kMaxPackage = 2 * PACKAGE_READ_SIZE;
// Entries past this many only repeat what the earlier ones exercised, at
// four allocations each.
constexpr int64_t kMostEntries = 128;

// Allocations up to this size succeed (the test's ASan cap).
constexpr int64_t kAllocationCap = int64_t(64) << 20;

// A page package that declares far more entries than its file can hold
// differs from one that declares just more than that only in the size of
// its table's allocation, which under ASan costs sweeps of its shadow per
// load. Such a count is lowered to what the file can hold plus one, and no
// count goes past kMostEntries; counts past the allocation cap stay, so
// that a failed allocation is still met.
void lower_unfillable_count(std::vector<uint8_t>& file) {
  size_t n = file.size() - PACKAGE_SEARCH_START;
  if (n > size_t(PACKAGE_READ_SIZE)) n = PACKAGE_READ_SIZE;
  if (n <= 20) return;
  uint32_t magic = package_magic();
  uint8_t bytes[4] = {uint8_t(magic), uint8_t(magic >> 8), uint8_t(magic >> 16), uint8_t(magic >> 24)};
  const void* hit = memmem(file.data() + PACKAGE_SEARCH_START, n - 17, bytes, 4);
  if (!hit) return;
  size_t m = size_t(static_cast<const uint8_t*>(hit) - file.data());
  int32_t mode, declared;
  std::memcpy(&mode, file.data() + m + 8, 4);
  if ((mode != 0 && mode != 2) || m + 24 > file.size()) return;
  std::memcpy(&declared, file.data() + m + 20, 4);
  // Every entry takes at least 24 bytes.
  int64_t fillable = (int64_t(file.size()) - int64_t(m + 24)) / 24 + 2;
  if (fillable > kMostEntries) fillable = kMostEntries;
  if (declared <= fillable || int64_t(declared) * int64_t(sizeof(ResourceEntry)) > kAllocationCap) return;
  int32_t lowered = int32_t(fillable);
  std::memcpy(file.data() + m + 20, &lowered, 4);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  uint8_t control = data[0];
  size_t stub = size_t(PACKAGE_SEARCH_START) + (control & 3) + size_t(kGaps[(control >> 4) & 7]);
  // Kept between runs: a fresh file of this size per input costs more than
  // the load. Only what the last package overwrote needs zeroing again.
  static std::vector<uint8_t> file;
  static size_t clean = 0;
  if (file.size() > clean) std::memset(file.data() + clean, 0, file.size() - clean);
  file.resize(stub, 0);
  clean = stub;
  if (control & 0x80) {
    for (size_t i = 1; i < size; ++i) {
      if (data[i] != kRun || i + 2 >= size) {
        file.push_back(data[i]);
        continue;
      }
      size_t count = data[i + 1] ? data[i + 1] * kRunUnit : 1;
      if (file.size() - stub + count > kMaxPackage) break;
      file.insert(file.end(), count, data[i + 2]);
      i += 2;
    }
  } else {
    file.insert(file.end(), data + 1, data + size);
  }

  lower_unfillable_count(file);
  set_loader_read_sizes_for_test(control & 4 ? 8 : 512, control & 8 ? 64 : 16384);
  MemorySource memory{file.data(), int64_t(file.size()), 0, 0};
  int loaded = load_package_from(memory_source(&memory));
  if (!loader_agrees_with_model(file, loaded, resource_table() != nullptr)) __builtin_trap();
  if (loaded) {
    // What a loaded package promises: every counted entry has a URL and its
    // data lies inside the file.
    for (int32_t i = 0; i < entry_count(); ++i) {
      const ResourceEntry& e = resource_table()[i];
      if (!e.url || e.size < 0 || e.data_offset < 0 ||
          int64_t(e.data_offset) + e.size > int64_t(file.size()))
        __builtin_trap();
    }
  }
  reset_player_state();
  return 0;
}
