// Delivery throughput under a real message loop: a 64 MiB entry to a
// callback that reads everything in OnDataAvailable, beside raw ReadFile of
// the same bytes; time to first data; peak memory. Prints figures only.
// --quick: 1 and 4 MiB, to see that it still runs.
#include <windows.h>
#include <psapi.h>
#include <urlmon.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "delivery/delivery.h"
#include "delivery/delivery_testing.h"
#include "delivery_support.h"
#include "package/platform.h"
#include "package/player_state.h"

namespace {

constexpr uint32_t ENTRY_OFFSET = 4096;
uint32_t g_small_mib = 4, g_big_mib = 64;

double now_ms() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return double(t.QuadPart) * 1000.0 / double(frequency.QuadPart);
}

uint32_t mix(uint32_t sum, const unsigned char* p, ULONG n) {
  for (ULONG i = 0; i < n; ++i) sum = (sum ^ p[i]) * 16777619u;
  return sum;
}

// A lean control: reads every chunk inside OnDataAvailable, keeps nothing.
class DrainingCallback : public IBindStatusCallback {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    *out = nullptr;
    if (iid != IID_IUnknown && iid != IID_IBindStatusCallback) return E_NOINTERFACE;
    *out = static_cast<IBindStatusCallback*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ULONG(++refs); }
  STDMETHODIMP_(ULONG) Release() override { return ULONG(--refs); }
  STDMETHODIMP OnStartBinding(DWORD, IBinding* b) override {
    binding = b;
    binding->AddRef();
    return S_OK;
  }
  STDMETHODIMP GetPriority(LONG*) override { return E_NOTIMPL; }
  STDMETHODIMP OnLowResource(DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP OnProgress(ULONG, ULONG, ULONG, LPCWSTR) override { return S_OK; }
  STDMETHODIMP OnStopBinding(HRESULT hr, LPCWSTR) override {
    status = hr;
    stopped = true;
    if (binding) binding->Release();
    binding = nullptr;
    return S_OK;
  }
  STDMETHODIMP GetBindInfo(DWORD* flags, BINDINFO*) override {
    *flags = BINDF_ASYNCHRONOUS | BINDF_PULLDATA;
    return S_OK;
  }
  STDMETHODIMP OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM* medium) override {
    if (!first_data_ms) first_data_ms = now_ms();
    ULONG got = 0;
    while (medium->pstm->Read(buffer, sizeof buffer, &got) == S_OK) {
      checksum = mix(checksum, buffer, got);
      bytes += got;
    }
    return S_OK;
  }
  STDMETHODIMP OnObjectAvailable(REFIID, IUnknown*) override { return E_NOTIMPL; }

  LONG refs = 1;
  IBinding* binding = nullptr;
  bool stopped = false;
  HRESULT status = S_OK;
  double first_data_ms = 0;
  uint64_t bytes = 0;
  uint32_t checksum = 2166136261u;
  unsigned char buffer[0x8000];
};

std::u16string write_big_file(uint32_t size) {
  wchar_t dir[MAX_PATH], path[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  GetTempFileNameW(dir, L"tsb", 0, path);
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  static char block[0x10000];
  for (uint32_t at = 0; at < size; at += sizeof block) {
    for (uint32_t i = 0; i < sizeof block; ++i) block[i] = fixture_byte(at + i);
    DWORD written;
    WriteFile(file, block, sizeof block, &written, nullptr);
  }
  CloseHandle(file);
  return std::u16string(reinterpret_cast<const char16_t*>(path));
}

struct Raw {
  double mb_per_s;
  uint32_t checksum;
};

Raw raw_read(const std::u16string& path, uint32_t offset, uint32_t size) {
  HANDLE file = CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()), GENERIC_READ,
                            FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  static unsigned char block[0x10000];
  uint32_t sum = 2166136261u;
  const double start = now_ms();
  for (uint32_t done = 0; done < size;) {
    OVERLAPPED at = {};
    at.Offset = offset + done;
    DWORD want = size - done < sizeof block ? size - done : DWORD(sizeof block), got = 0;
    if (!ReadFile(file, block, want, &got, &at) || !got) break;
    sum = mix(sum, block, got);
    done += got;
  }
  const double ms = now_ms() - start;
  CloseHandle(file);
  return {size / 1048576.0 / (ms / 1000.0), sum};
}

int g_ticks;
double g_first_tick_ms;
void CALLBACK count_tick(HWND, UINT, UINT_PTR, DWORD) {
  if (!g_ticks++) g_first_tick_ms = now_ms();
}

// The period of a zero-interval timer, and how long its first tick takes.
double tick_period_ms(HWND window, double* first_tick_ms) {
  g_ticks = 0;
  const double start = now_ms();
  SetTimer(window, 1, 0, count_tick);
  pump_until([] { return g_ticks >= 100; });
  KillTimer(window, 1);
  *first_tick_ms = g_first_tick_ms - start;
  return (now_ms() - start) / g_ticks;
}

SIZE_T peak_memory() {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  return counters.PeakWorkingSetSize;
}

SIZE_T pagefile_usage() {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  return counters.PagefileUsage;
}

struct Run {
  double first_data_ms, mb_per_s;
  uint32_t checksum;
  HRESULT status;
  uint64_t bytes;
  SIZE_T max_pagefile;
};

Run deliver(HWND window, int32_t index) {
  DrainingCallback callback;
  IMoniker* moniker = resource_moniker_interface(create_resource_moniker(index, window));
  IBindCtx* context = make_bind_context(&callback);
  SIZE_T max_pagefile = pagefile_usage();
  const double start = now_ms();
  moniker->BindToStorage(context, nullptr, IID_IStream, nullptr);
  context->Release();
  pump_until([&] {
    const SIZE_T usage = pagefile_usage();
    if (usage > max_pagefile) max_pagefile = usage;
    return callback.stopped;
  }, 600000);
  const double end = now_ms();
  moniker->Release();
  const double mb = double(callback.bytes) / 1048576.0;
  return {callback.first_data_ms - start, mb / ((end - start) / 1000.0), callback.checksum,
          callback.status, callback.bytes, max_pagefile};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--quick") == 0) g_small_mib = 1, g_big_mib = 4;
  const uint32_t big_size = g_big_mib << 20, small_size = g_small_mib << 20;
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const std::u16string path = write_big_file(ENTRY_OFFSET + big_size);
  set_executable_path_for_test(path.c_str());
  alloc_resource_table(2);
  for (int32_t i = 0; i < 2; ++i) {
    set_entry_url(u"http://bench/x", i, 14);
    resource_table()[i].size = int32_t(i ? big_size : small_size);
    resource_table()[i].data_offset = int32_t(ENTRY_OFFSET);
  }
  HWND window = create_test_window();

  double first_tick = 0;
  const double tick = tick_period_ms(window, &first_tick);
  const double bound = 65536.0 / 1048576.0 / (tick / 1000.0);
  const Raw raw = raw_read(path, ENTRY_OFFSET, big_size);
  std::printf("zero-interval timer period: %.2f ms -> bound %.2f MB/s (64 KiB per tick)\n", tick,
              bound);
  std::printf("first tick of a fresh zero-interval timer: %.2f ms\n", first_tick);
  std::printf("raw ReadFile, %u MiB in 64 KiB reads: %.1f MB/s\n", g_big_mib, raw.mb_per_s);

  const SIZE_T peak_before = peak_memory();
  const Run small = deliver(window, 0);
  const SIZE_T peak_small = peak_memory();
  const Run big = deliver(window, 1);
  const SIZE_T peak_big = peak_memory();

  const Run* runs[] = {&small, &big};
  const uint32_t mibs[] = {g_small_mib, g_big_mib};
  for (int i = 0; i < 2; ++i) {
    const Run& r = *runs[i];
    std::printf("delivery %u MiB: %.2f MB/s (%.1f%% of bound), first data after %.2f ms (%.2f ticks), "
                "%llu bytes, OnStopBinding 0x%08lx, pagefile usage peak %lu KiB\n",
                mibs[i], r.mb_per_s, 100.0 * r.mb_per_s / bound, r.first_data_ms,
                r.first_data_ms / tick, static_cast<unsigned long long>(r.bytes),
                static_cast<unsigned long>(r.status), static_cast<unsigned long>(r.max_pagefile / 1024));
  }
  std::printf("%u MiB checksum %s raw ReadFile\n", g_big_mib,
              big.checksum == raw.checksum ? "matches" : "DIFFERS from");
  std::printf("peak working set: %lu KiB before, %lu KiB after %u MiB, %lu KiB after %u MiB\n",
              static_cast<unsigned long>(peak_before / 1024),
              static_cast<unsigned long>(peak_small / 1024), g_small_mib,
              static_cast<unsigned long>(peak_big / 1024), g_big_mib);
  const delivery_testing::LiveCounts live = delivery_testing::live_counts();
  std::printf("left alive: %d monikers, %d streams, %d buffers, %d files, %d timers\n",
              live.monikers, live.streams, live.buffers, live.files, live.timers);

  DestroyWindow(window);
  DeleteFileW(reinterpret_cast<const wchar_t*>(path.c_str()));
  CoUninitialize();
  return big.checksum == raw.checksum && big.bytes == big_size ? 0 : 1;
}
