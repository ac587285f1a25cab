#include "delivery_support.h"

#include <cstdio>
#include <cstring>

int g_player_ready_messages;

FreeCounter& FreeCounter::instance() {
  static FreeCounter counter;
  return counter;
}

bool FreeCounter::start() {
  frees_.clear();
  retired_once_ = true;
  registered_ = SUCCEEDED(CoRegisterMallocSpy(this));
  return registered_;
}

void FreeCounter::stop() {
  if (registered_) CoRevokeMallocSpy();
  registered_ = false;
  frees_.clear();
}

bool FreeCounter::each_freed_once() {
  bool once = retired_once_;
  retired_once_ = true;
  for (const auto& block : frees_) once = once && block.second == 1;
  frees_.clear();
  return once;
}

STDMETHODIMP FreeCounter::QueryInterface(REFIID iid, void** out) {
  if (iid == IID_IUnknown || iid == IID_IMallocSpy) {
    *out = static_cast<IMallocSpy*>(this);
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

// A freed block's place taken by a new one: its count is final.
STDMETHODIMP_(void*) FreeCounter::PostAlloc(void* p) {
  auto found = frees_.find(p);
  if (found != frees_.end() && found->second > 0) {
    retired_once_ = retired_once_ && found->second == 1;
    frees_.erase(found);
  }
  return p;
}

STDMETHODIMP_(void*) FreeCounter::PreFree(void* p, BOOL) {
  auto found = frees_.find(p);
  if (found != frees_.end()) ++found->second;
  return p;
}

// Watched: the receiver owns the block and must free it exactly once.
LPWSTR handed_text(const wchar_t* text) {
  auto* block = static_cast<LPWSTR>(CoTaskMemAlloc((lstrlenW(text) + 1) * sizeof(wchar_t)));
  if (!block) return nullptr;
  lstrcpyW(block, text);
  FreeCounter::instance().watch(block);
  return block;
}

namespace {

const char* status_name(ULONG code) {
  switch (code) {
    case BINDSTATUS_CONNECTING: return "CONNECTING";
    case BINDSTATUS_BEGINDOWNLOADDATA: return "BEGINDOWNLOADDATA";
    case BINDSTATUS_DOWNLOADINGDATA: return "DOWNLOADINGDATA";
    case BINDSTATUS_ENDDOWNLOADDATA: return "ENDDOWNLOADDATA";
    case BINDSTATUS_SENDINGREQUEST: return "SENDINGREQUEST";
    case BINDSTATUS_MIMETYPEAVAILABLE: return "MIMETYPEAVAILABLE";
    default: return nullptr;
  }
}

}  // namespace

RecordingCallback::~RecordingCallback() {
  if (body_) GlobalFree(body_);
}

std::string narrow(const wchar_t* text) {
  std::string out;
  for (; text && *text; ++text) out += char(*text < 128 ? *text : '?');
  return out;
}

void RecordingCallback::record(const std::string& call) {
  if (dead) ++calls_after_death;
  calls.push_back(call);
}

void RecordingCallback::abort_if_asked() {
  if (!options_.abort_in || !binding || calls.back().find(options_.abort_at) == std::string::npos)
    return;
  options_.abort_in = false;
  abort_result = binding->Abort();
}

void RecordingCallback::fault_if_asked(const char* method) {
  if (faulted || !options_.fault_in || std::strcmp(options_.fault_in, method) != 0) return;
  faulted = true;
  if (options_.access_violation) {
    int* volatile nowhere = nullptr;
    *nowhere = 1;
  }
  RaiseException(0xE0545301, 0, 0, nullptr);
}

STDMETHODIMP RecordingCallback::QueryInterface(REFIID iid, void** out) {
  if (options_.service_provider || iid != IID_IServiceProvider) {
    HRESULT hr = Unknown::QueryInterface(iid, out);
    // Handed over, and then the fault.
    if (iid == IID_IBindStatusCallback) fault_if_asked("QueryInterface");
    return hr;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP RecordingCallback::OnStartBinding(DWORD, IBinding* new_binding) {
  record("OnStartBinding");
  fault_if_asked("OnStartBinding");
  binding = new_binding;
  binding->AddRef();
  abort_if_asked();
  return S_OK;
}

STDMETHODIMP RecordingCallback::OnProgress(ULONG progress, ULONG max, ULONG code, LPCWSTR text) {
  char line[96];
  const char* name = status_name(code);
  if (name)
    std::snprintf(line, sizeof line, "OnProgress %lu/%lu %s ", progress, max, name);
  else
    std::snprintf(line, sizeof line, "OnProgress %lu/%lu status %lu ", progress, max, code);
  record(line + narrow(text));
  fault_if_asked("OnProgress");
  abort_if_asked();
  return S_OK;
}

STDMETHODIMP RecordingCallback::OnStopBinding(HRESULT status, LPCWSTR error) {
  char line[64];
  std::snprintf(line, sizeof line, "OnStopBinding 0x%08lx%s", static_cast<unsigned long>(status),
                error ? " text" : "");
  record(line);
  fault_if_asked("OnStopBinding");
  stopped = true;
  if (binding) binding->Release();
  binding = nullptr;
  return S_OK;
}

STDMETHODIMP RecordingCallback::GetBindInfo(DWORD* flags, BINDINFO* info) {
  record("GetBindInfo");
  *flags = BINDF_ASYNCHRONOUS | BINDF_ASYNCSTORAGE | BINDF_PULLDATA;
  // The receiver owns all it is given here and must give it back once: pUnk,
  // the texts, and the body through its release object, as a browser hands
  // a POST body over.
  info->pUnk = static_cast<IBindStatusCallback*>(this);
  AddRef();
  info->szExtraInfo = handed_text(L"xtr");
  info->szCustomVerb = handed_text(L"POST");
  if (!body_ && (body_ = GlobalAlloc(GMEM_FIXED, 3))) std::memcpy(body_, "x=1", 3);
  info->dwBindVerb = BINDVERB_POST;
  info->stgmedData.tymed = TYMED_HGLOBAL;
  info->stgmedData.hGlobal = body_;
  info->stgmedData.pUnkForRelease = static_cast<IBindStatusCallback*>(this);
  AddRef();
  info->cbstgmedData = 3;
  // After filling: what was handed over is the caller's even so.
  fault_if_asked("GetBindInfo");
  return S_OK;
}

HRESULT RecordingCallback::drain(IStream* stream) {
  char buffer[0x10000 + 64];
  ULONG size = options_.read_size < sizeof buffer ? options_.read_size : ULONG(sizeof buffer);
  HRESULT hr;
  for (;;) {
    ULONG got = 0;
    hr = stream->Read(buffer, size, &got);
    if (hr != S_OK) break;
    data.append(buffer, got);
  }
  last_read = hr;
  return hr;
}

STDMETHODIMP RecordingCallback::OnDataAvailable(DWORD flags, DWORD size, FORMATETC*,
                                                STGMEDIUM* medium) {
  char line[64];
  std::snprintf(line, sizeof line, "OnDataAvailable %lu %lu", flags, size);
  record(line);
  fault_if_asked("OnDataAvailable");
  abort_if_asked();
  if (medium->tymed != TYMED_ISTREAM || !medium->pstm) return E_INVALIDARG;
  if (options_.keep_stream && !kept_stream) {
    kept_stream = medium->pstm;
    kept_stream->AddRef();
  }
  if (options_.read_in_data) drain(medium->pstm);
  if (options_.drop_moniker_in_last_data && (flags & BSCF_LASTDATANOTIFICATION)) {
    if (binding) binding->Release();
    binding = nullptr;
    if (moniker) moniker->Release();
    moniker = nullptr;
  }
  return S_OK;
}

STDMETHODIMP RecordingCallback::QueryService(REFGUID service, REFIID iid, void** out) {
  *out = nullptr;
  if (options_.negotiate && service == IID_IHttpNegotiate && iid == IID_IHttpNegotiate) {
    *out = static_cast<IHttpNegotiate*>(this);
    AddRef();
    return S_OK;
  }
  return E_NOINTERFACE;
}

STDMETHODIMP RecordingCallback::BeginningTransaction(LPCWSTR url, LPCWSTR headers, DWORD,
                                                     LPWSTR* additional) {
  record("BeginningTransaction " + narrow(url) + (headers ? " headers" : ""));
  // A control may add headers, and fault after: the moniker must free them.
  *additional = handed_text(L"X:1");
  fault_if_asked("BeginningTransaction");
  abort_if_asked();
  return S_OK;
}

STDMETHODIMP RecordingCallback::OnResponse(DWORD code, LPCWSTR headers, LPCWSTR request_headers,
                                           LPWSTR* additional) {
  record("OnResponse " + std::to_string(code) + (request_headers ? " request" : ""));
  response = headers ? headers : L"(null)";
  response_block = headers;
  *additional = handed_text(L"Y:1");
  fault_if_asked("OnResponse");
  abort_if_asked();
  return S_OK;
}

ScopedImport::ScopedImport(const char* dll, const char* function, void* spy)
    : dll_(dll), function_(function), original_(nullptr) {
  original_ = swap(spy);
}

ScopedImport::~ScopedImport() {
  if (original_) swap(original_);
}

// Every slot of the import table that names the function gets target; the
// first one's previous value.
void* ScopedImport::swap(void* target) {
  auto* base = reinterpret_cast<uint8_t*>(GetModuleHandleW(nullptr));
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  void* previous = nullptr;
  for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); d->Name; ++d) {
    if (lstrcmpiA(reinterpret_cast<char*>(base + d->Name), dll_) != 0) continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
    for (; d->OriginalFirstThunk && names->u1.AddressOfData; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      auto* by_name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<char*>(by_name->Name), function_) != 0) continue;
      DWORD protection;
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &protection);
      if (!previous) previous = reinterpret_cast<void*>(slots->u1.Function);
      slots->u1.Function = reinterpret_cast<ULONG_PTR>(target);
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection, &protection);
    }
  }
  return previous;
}

namespace {

constexpr UINT MSG_TEST_RUN = WM_APP + 1;

LRESULT CALLBACK test_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == MSG_READ_NEXT_CHUNK) read_next_chunk(reinterpret_cast<ResourceMoniker*>(wparam));
  if (message == MSG_PLAYER_READY) ++g_player_ready_messages;
  if (message == MSG_TEST_RUN) reinterpret_cast<void (*)(void*)>(wparam)(reinterpret_cast<void*>(lparam));
  return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace

HWND create_test_window() {
  static ATOM atom = [] {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = test_window_proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TessivoDeliveryTest";
    return RegisterClassW(&wc);
  }();
  (void)atom;
  return CreateWindowExW(0, L"TessivoDeliveryTest", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                         GetModuleHandleW(nullptr), nullptr);
}

void pump_pending() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) dispatch_guarded(&msg);
}

void run_in_message(HWND window, void (*fn)(void*), void* arg) {
  PostMessageW(window, MSG_TEST_RUN, reinterpret_cast<WPARAM>(fn), reinterpret_cast<LPARAM>(arg));
  pump_pending();
}

std::u16string write_fixture_file(uint32_t size) {
  wchar_t dir[MAX_PATH], path[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  GetTempFileNameW(dir, L"tsv", 0, path);
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  std::string bytes = fixture_bytes(0, size);
  DWORD written = 0;
  WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return std::u16string(reinterpret_cast<const char16_t*>(path));
}

std::string fixture_bytes(uint32_t offset, uint32_t size) {
  std::string bytes(size, '\0');
  for (uint32_t i = 0; i < size; ++i) bytes[i] = fixture_byte(offset + i);
  return bytes;
}

IBindCtx* make_bind_context(IBindStatusCallback* callback) {
  IBindCtx* context = nullptr;
  if (FAILED(CreateBindCtx(0, &context))) return nullptr;
  context->RegisterObjectParam(const_cast<LPOLESTR>(L"_BSCB_Holder_"), callback);
  return context;
}
