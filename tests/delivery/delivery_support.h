// Test doubles for resource delivery: a control-like bind-status callback
// that records every call, a window that answers the stream's messages, a
// message loop, and a fixture file standing in for the executable.
#pragma once

#include <windows.h>
#include <urlmon.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/win/unknown.h"
#include "delivery/delivery.h"
#include "shell/message_loop.h"

// Counts CoTaskMemFree calls on the blocks a test hands out, through the
// malloc spy, while started.
class FreeCounter : public IMallocSpy {
 public:
  static FreeCounter& instance();
  bool start();
  void stop();
  bool registered() const { return registered_; }
  void watch(void* block) { frees_[block] = 0; }
  // Every watched block freed exactly once; forgets them.
  bool each_freed_once();

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP_(SIZE_T) PreAlloc(SIZE_T cb) override { return cb; }
  STDMETHODIMP_(void*) PostAlloc(void* p) override;
  STDMETHODIMP_(void*) PreFree(void* p, BOOL) override;
  STDMETHODIMP_(void) PostFree(BOOL) override {}
  STDMETHODIMP_(SIZE_T) PreRealloc(void* p, SIZE_T cb, void** out, BOOL) override {
    *out = p;
    return cb;
  }
  STDMETHODIMP_(void*) PostRealloc(void* p, BOOL) override { return p; }
  STDMETHODIMP_(void*) PreGetSize(void* p, BOOL) override { return p; }
  STDMETHODIMP_(SIZE_T) PostGetSize(SIZE_T cb, BOOL) override { return cb; }
  STDMETHODIMP_(void*) PreDidAlloc(void* p, BOOL) override { return p; }
  STDMETHODIMP_(int) PostDidAlloc(void*, BOOL, int actual) override { return actual; }
  STDMETHODIMP_(void) PreHeapMinimize() override {}
  STDMETHODIMP_(void) PostHeapMinimize() override {}

 private:
  std::map<void*, int> frees_;
  bool retired_once_ = true;  // blocks whose place was taken again
  bool registered_ = false;
};

// A CoTaskMem copy of text, watched by the FreeCounter: whoever receives it
// must free it exactly once.
LPWSTR handed_text(const wchar_t* text);

// Counted where a test can read it; the storage is the test's, so reaching 0
// only marks the callback dead and every later call is counted.
class RecordingCount {
 public:
  LONG refs = 1;
  bool dead = false;
  int calls_after_death = 0;

 protected:
  ULONG add_ref() {
    if (dead) ++calls_after_death;
    return ULONG(++refs);
  }
  template <class Self>
  ULONG release(Self*) {
    if (dead) ++calls_after_death;
    if (--refs == 0) dead = true;
    return ULONG(refs);
  }
};

using RecordingTable = base::win::QueryTable<
    base::win::Answer<IBindStatusCallback, IID_IUnknown, IID_IBindStatusCallback>,
    base::win::Answer<IServiceProvider, IID_IServiceProvider>>;

class RecordingCallback
    : public base::win::Unknown<RecordingCallback, RecordingCount, RecordingTable,
                                IBindStatusCallback, IServiceProvider, IHttpNegotiate> {
 public:
  struct Options {
    bool service_provider = true;    // offers IServiceProvider ...
    bool negotiate = true;           // ... and through it IHttpNegotiate
    bool read_in_data = true;        // reads the stream inside OnDataAvailable
    ULONG read_size = 0x3001;        // bytes asked per Read
    bool keep_stream = false;        // AddRefs the stream of the first OnDataAvailable
    bool drop_moniker_in_last_data = false;  // releases binding and moniker there
    const char* fault_in = nullptr;  // this method raises the first time it is called ...
    bool access_violation = false;   // ... by writing through a null pointer, else RaiseException
    bool abort_in = false;           // Abort from inside the first call recorded with ...
    const char* abort_at = nullptr;  // ... this text ("OnResponse", " ENDDOWNLOADDATA ", ...)
  };

  explicit RecordingCallback(Options options) : options_(options) {}
  RecordingCallback() : RecordingCallback(Options()) {}
  ~RecordingCallback();

  // The table's answer, without the service provider when the options say so.
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  // IBindStatusCallback
  STDMETHODIMP OnStartBinding(DWORD reserved, IBinding* binding) override;
  STDMETHODIMP GetPriority(LONG*) override { return E_NOTIMPL; }
  STDMETHODIMP OnLowResource(DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP OnProgress(ULONG progress, ULONG max, ULONG code, LPCWSTR text) override;
  STDMETHODIMP OnStopBinding(HRESULT status, LPCWSTR error) override;
  STDMETHODIMP GetBindInfo(DWORD* flags, BINDINFO* info) override;
  STDMETHODIMP OnDataAvailable(DWORD flags, DWORD size, FORMATETC*, STGMEDIUM* medium) override;
  STDMETHODIMP OnObjectAvailable(REFIID, IUnknown*) override { return E_NOTIMPL; }
  // IServiceProvider
  STDMETHODIMP QueryService(REFGUID service, REFIID iid, void** out) override;
  // IHttpNegotiate
  STDMETHODIMP BeginningTransaction(LPCWSTR url, LPCWSTR headers, DWORD,
                                    LPWSTR* additional) override;
  STDMETHODIMP OnResponse(DWORD code, LPCWSTR headers, LPCWSTR request_headers,
                          LPWSTR* additional) override;

  // Reads what the stream has now, as a control does; the last result.
  HRESULT drain(IStream* stream);

  // The control's own reference to the moniker, dropped where the options say.
  IMoniker* moniker = nullptr;
  IStream* kept_stream = nullptr;
  IBinding* binding = nullptr;
  std::vector<std::string> calls;
  std::string data;
  std::wstring response;
  const void* response_block = nullptr;  // the header text OnResponse was given
  HRESULT last_read = S_OK;
  bool stopped = false;
  bool faulted = false;
  HRESULT abort_result = S_OK;  // of the Abort made inside a notification

 private:
  void record(const std::string& call);
  void fault_if_asked(const char* method);
  void abort_if_asked();
  Options options_;
  HGLOBAL body_ = nullptr;  // the POST body GetBindInfo hands over
};

// Points this program's own calls of a system function (through its import
// table) at a spy while it lives; the spy calls original().
class ScopedImport {
 public:
  ScopedImport(const char* dll, const char* function, void* spy);
  ~ScopedImport();
  ScopedImport(const ScopedImport&) = delete;
  ScopedImport& operator=(const ScopedImport&) = delete;
  void* original() const { return original_; }

 private:
  void* swap(void* target);
  const char* dll_;
  const char* function_;
  void* original_;
};

// A window whose procedure answers MSG_READ_NEXT_CHUNK as the main window does.
HWND create_test_window();
extern int g_player_ready_messages;

// Runs the message loop until done() or a generous deadline; returns done().
template <typename Done>
bool pump_until(Done done, DWORD deadline_ms = 20000) {
  const DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > deadline_ms) return false;
    MSG msg;
    if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      dispatch_guarded(&msg);
    } else {
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
  }
  return true;
}
void pump_pending();

// Runs fn(arg) inside a message of window, under the player's exception guard.
void run_in_message(HWND window, void (*fn)(void*), void* arg);

// The byte at a position of the fixture file: no period near 64 KiB.
inline char fixture_byte(uint32_t position) {
  return char((position * 2654435761u) >> 23);
}
// Writes size fixture bytes to a new temporary file; its path.
std::u16string write_fixture_file(uint32_t size);
std::string fixture_bytes(uint32_t offset, uint32_t size);

// A bind context holding callback under "_BSCB_Holder_".
IBindCtx* make_bind_context(IBindStatusCallback* callback);

std::string narrow(const wchar_t* text);
