#include "control.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "log.h"
#include "stage_info.h"

LONG g_server_refs;

namespace {

const wchar_t STAGE_CLASS[] = L"TessivoStandinStage";
HINSTANCE g_module;

// TESSIVO_TEST_FAIL names calls that answer E_FAIL, separated by commas.
bool should_fail(const char* call) {
  char list[512];
  DWORD n = GetEnvironmentVariableA("TESSIVO_TEST_FAIL", list, sizeof list);
  if (n == 0 || n >= sizeof list) return false;
  size_t len = std::strlen(call);
  for (char* p = list; *p;) {
    char* end = std::strchr(p, ',');
    size_t item = end ? size_t(end - p) : std::strlen(p);
    if (item == len && std::strncmp(p, call, len) == 0) return true;
    if (!end) break;
    p = end + 1;
  }
  return false;
}

// Flash Player 32.0, the last release and the one users still have.
long flash_version_setting() {
  wchar_t text[64];
  DWORD n = GetEnvironmentVariableW(L"TESSIVO_TEST_FLASH_VERSION", text, 64);
  if (n == 0 || n >= 64) return 0x00200000;
  if (text[0] == L'0' && (text[1] == L'x' || text[1] == L'X'))
    return long(std::wcstoul(text + 2, nullptr, 16));
  return std::wcstol(text, nullptr, 10);
}

LRESULT CALLBACK stage_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_CREATE:
      stage_attach(window);
      break;
    case WM_DESTROY:
      stage_detach(window);
      break;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(window, &ps);
      stage_paint(window, dc, ps.rcPaint, STAGE_COLOR);
      EndPaint(window, &ps);
      return 0;
    }
    case WM_ERASEBKGND:
      return 1;
    case MSG_STAGE_MENU_STATES: {
      HMENU menu = GetMenu(GetAncestor(window, GA_ROOT));
      LRESULT bits = 0;
      for (UINT i = 0; i < 4; ++i) {
        UINT state = GetMenuState(menu, 40001 + i, MF_BYCOMMAND);
        if (state == UINT(-1)) continue;
        LRESULT item = 1 | ((state & MF_CHECKED) ? 2 : 0) | ((state & MF_GRAYED) ? 4 : 0);
        bits |= item << (4 * i);
      }
      return bits;
    }
    case MSG_STAGE_FAULT:
      LogLine("StageFault");
      *static_cast<volatile int*>(nullptr) = 1;
      return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

void register_stage_class() {
  WNDCLASSW wc = {};
  if (GetClassInfoW(g_module, STAGE_CLASS, &wc)) return;
  wc.lpfnWndProc = stage_proc;
  wc.hInstance = g_module;
  wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
  wc.lpszClassName = STAGE_CLASS;
  RegisterClassW(&wc);
}

std::wstring between(const std::wstring& text, const wchar_t* open, const wchar_t* close) {
  size_t start = text.find(open);
  if (start == std::wstring::npos) return std::wstring();
  start += std::wcslen(open);
  size_t end = text.find(close, start);
  if (end == std::wstring::npos) return std::wstring();
  return text.substr(start, end - start);
}

const wchar_t* interface_name(REFIID iid) {
  if (IsEqualIID(iid, IID_IOleInPlaceSite)) return L"IOleInPlaceSite";
  if (IsEqualIID(iid, IID_IOleClientSite)) return L"IOleClientSite";
  if (IsEqualIID(iid, IID_IDispatch)) return L"IDispatch";
  if (IsEqualIID(iid, IID_IServiceProvider)) return L"IServiceProvider";
  if (IsEqualIID(iid, IID_IOleInPlaceFrame)) return L"IOleInPlaceFrame";
  if (IsEqualIID(iid, DIID_FLASH_EVENTS)) return L"_IShockwaveFlashEvents";
  return L"?";
}

}  // namespace

void set_standin_module(HINSTANCE module) { g_module = module; }
HINSTANCE standin_module() { return g_module; }

// ---- EventPoint

STDMETHODIMP EventPoint::GetConnectionInterface(IID* iid) {
  if (!iid) return E_POINTER;
  *iid = DIID_FLASH_EVENTS;
  return S_OK;
}

STDMETHODIMP EventPoint::GetConnectionPointContainer(IConnectionPointContainer** out) {
  if (!out) return E_POINTER;
  *out = owner_;
  owner_->AddRef();
  return S_OK;
}

STDMETHODIMP EventPoint::Advise(IUnknown* sink, DWORD* cookie) {
  IDispatch* dispatch = nullptr;
  HRESULT hr = sink ? sink->QueryInterface(DIID_FLASH_EVENTS, reinterpret_cast<void**>(&dispatch))
                    : E_POINTER;
  LogLine("Advise").flag("sink", sink != nullptr).number("sink_hr", hr);
  if (should_fail("Advise")) {
    if (dispatch) dispatch->Release();
    return E_FAIL;
  }
  if (FAILED(hr) || !cookie) return CONNECT_E_CANNOTCONNECT;
  if (sink_) return CONNECT_E_ADVISELIMIT;
  sink_ = dispatch;
  *cookie = 1;
  return S_OK;
}

STDMETHODIMP EventPoint::Unadvise(DWORD cookie) {
  LogLine("Unadvise").number("cookie", cookie);
  if (cookie != 1 || !sink_) return CONNECT_E_NOCONNECTION;
  sink_->Release();
  sink_ = nullptr;
  return S_OK;
}

// ---- StandinControl

StandinControl::StandinControl() : events_(this) { InterlockedIncrement(&g_server_refs); }

StandinControl::~StandinControl() {
  if (stage_) DestroyWindow(stage_);
  if (site_) site_->Release();
  InterlockedDecrement(&g_server_refs);
}

STDMETHODIMP StandinControl::QueryInterface(REFIID iid, void** out) {
  HRESULT hr = Unknown::QueryInterface(iid, out);
  if (hr != S_OK) return hr;
  const char* name = *out == static_cast<IOleInPlaceObject*>(this)   ? "IOleInPlaceObject"
                     : *out == static_cast<IShockwaveFlash*>(this) ? "IShockwaveFlash"
                     : *out == static_cast<IConnectionPointContainer*>(this)
                         ? "IConnectionPointContainer"
                         : nullptr;
  if (!name || !should_fail(name)) return S_OK;
  Release();
  *out = nullptr;
  return E_NOINTERFACE;
}

void StandinControl::destroy() {
  LogLine("Destroyed");
  delete this;
}

STDMETHODIMP StandinControl::SetClientSite(IOleClientSite* site) {
  LogLine("SetClientSite").flag("site", site != nullptr);
  if (should_fail("SetClientSite")) return E_FAIL;
  if (site) site->AddRef();
  if (site_) site_->Release();
  site_ = site;
  return S_OK;
}

STDMETHODIMP StandinControl::GetClientSite(IOleClientSite** out) {
  if (!out) return E_POINTER;
  *out = site_;
  if (site_) site_->AddRef();
  return S_OK;
}

STDMETHODIMP StandinControl::SetHostNames(LPCOLESTR container, LPCOLESTR object) {
  LogLine("SetHostNames").text("container", container).text("object", object);
  return should_fail("SetHostNames") ? E_FAIL : S_OK;
}

STDMETHODIMP StandinControl::Close(DWORD option) {
  LogLine("Close").number("option", option);
  fetcher_.close();
  InPlaceDeactivate();
  return S_OK;
}

// What the container offers through its site, as a real control would ask.
void StandinControl::probe_site() {
  if (!site_) return;
  for (REFIID iid : {IID_IOleInPlaceSite, IID_IDispatch, IID_IServiceProvider,
                     IID_IOleInPlaceFrame, DIID_FLASH_EVENTS}) {
    IUnknown* unknown = reinterpret_cast<IUnknown*>(0x1);
    HRESULT hr = site_->QueryInterface(iid, reinterpret_cast<void**>(&unknown));
    LogLine("SiteQuery").text("iid", interface_name(iid)).number("hr", hr).flag(
        "object", unknown != nullptr);
    if (SUCCEEDED(hr) && unknown) unknown->Release();
  }
}

STDMETHODIMP StandinControl::DoVerb(LONG verb, LPMSG, IOleClientSite* active, LONG lindex,
                                    HWND parent, LPCRECT rect) {
  LogLine("DoVerb")
      .number("verb", verb)
      .flag("active_site", active != nullptr && active == site_)
      .number("lindex", lindex)
      .flag("parent", parent != nullptr)
      .rect("rect", rect);
  if (should_fail("DoVerb")) return E_FAIL;
  if (verb != OLEIVERB_SHOW && verb != OLEIVERB_INPLACEACTIVATE) return OLEOBJ_E_INVALIDVERB;
  probe_site();
  IOleInPlaceSite* in_place = nullptr;
  if (!site_ || FAILED(site_->QueryInterface(IID_IOleInPlaceSite,
                                             reinterpret_cast<void**>(&in_place))))
    return E_UNEXPECTED;
  HWND site_window = nullptr;
  in_place->GetWindow(&site_window);
  HRESULT can = in_place->CanInPlaceActivate();
  in_place->OnInPlaceActivate();
  IOleInPlaceFrame* frame = nullptr;
  IOleInPlaceUIWindow* document = reinterpret_cast<IOleInPlaceUIWindow*>(0x1);
  RECT position = {}, clip = {};
  OLEINPLACEFRAMEINFO info = {};
  info.cb = sizeof(info);
  HRESULT context = in_place->GetWindowContext(&frame, &document, &position, &clip, &info);
  HRESULT frame_query = E_UNEXPECTED;
  bool frame_out_kept = false;
  if (frame) {
    void* sentinel = reinterpret_cast<void*>(0x2);
    frame_query = frame->QueryInterface(IID_IUnknown, &sentinel);
    frame_out_kept = sentinel == reinterpret_cast<void*>(0x2);
  }
  LogLine("SiteContext")
      .flag("window_matches", site_window == parent)
      .number("can_activate", can)
      .number("hr", context)
      .flag("frame", frame != nullptr)
      .flag("document_null", document == nullptr)
      .flag("mdi", info.fMDIApp != FALSE)
      .flag("frame_window_matches", info.hwndFrame == parent)
      .number("accelerators", info.cAccelEntries)
      .number("frame_query", frame_query)
      .flag("frame_query_out_kept", frame_out_kept);
  if (frame) frame->Release();
  in_place->Release();
  create_stage(parent, rect);
  site_->ShowObject();
  return S_OK;
}

void StandinControl::create_stage(HWND parent, LPCRECT rect) {
  if (stage_) return;
  register_stage_class();
  RECT r = rect ? *rect : RECT{0, 0, 0, 0};
  stage_ = CreateWindowExW(0, STAGE_CLASS, nullptr, WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, r.left,
                           r.top, r.right - r.left, r.bottom - r.top, parent, nullptr, g_module,
                           nullptr);
}

STDMETHODIMP StandinControl::GetUserClassID(CLSID* out) {
  if (!out) return E_POINTER;
  *out = CLSID_FLASH_CONTROL;
  return S_OK;
}

STDMETHODIMP StandinControl::GetMiscStatus(DWORD, DWORD* out) {
  if (!out) return E_POINTER;
  *out = OLEMISC_RECOMPOSEONRESIZE | OLEMISC_CANTLINKINSIDE | OLEMISC_INSIDEOUT |
         OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_SETCLIENTSITEFIRST;
  return S_OK;
}

STDMETHODIMP StandinControl::GetWindow(HWND* out) {
  if (!out) return E_POINTER;
  *out = stage_;
  return stage_ ? S_OK : E_FAIL;
}

STDMETHODIMP StandinControl::InPlaceDeactivate() {
  if (!stage_) return S_OK;
  DestroyWindow(stage_);
  stage_ = nullptr;
  IOleInPlaceSite* in_place = nullptr;
  if (site_ &&
      SUCCEEDED(site_->QueryInterface(IID_IOleInPlaceSite, reinterpret_cast<void**>(&in_place)))) {
    in_place->OnInPlaceDeactivate();
    in_place->Release();
  }
  return S_OK;
}

STDMETHODIMP StandinControl::SetObjectRects(LPCRECT position, LPCRECT clip) {
  LogLine("SetObjectRects").rect("position", position).rect("clip", clip);
  if (stage_ && position)
    MoveWindow(stage_, position->left, position->top, position->right - position->left,
               position->bottom - position->top, TRUE);
  return S_OK;
}

STDMETHODIMP StandinControl::GetTypeInfoCount(UINT* out) {
  if (!out) return E_POINTER;
  *out = 0;
  return S_OK;
}

STDMETHODIMP StandinControl::put_ScaleMode(long mode) {
  LogLine("put_ScaleMode").number("mode", mode);
  return S_OK;
}

STDMETHODIMP StandinControl::put_Movie(BSTR url) {
  LogLine("put_Movie").text("url", url);
  if (url && *url) fetcher_.queue(LoadKind::movie, url);
  return S_OK;
}

STDMETHODIMP StandinControl::FlashVersion(long* version) {
  long value = flash_version_setting();
  LogLine("FlashVersion").number("version", value);
  if (!version) return E_POINTER;
  *version = value;
  return S_OK;
}

STDMETHODIMP StandinControl::put_Base(BSTR base) {
  LogLine("put_Base").text("text", base);
  return S_OK;
}

// A control older than the slot's first version ends its table before it: a
// call there jumps into whatever follows, as this does.
static void beyond_interface_if_older(int major, const char* slot) {
  if ((flash_version_setting() >> 16) >= major) return;
  LogLine("BeyondInterface").text("slot", std::wstring(slot, slot + std::strlen(slot)).c_str());
  int* volatile nowhere = nullptr;
  *nowhere = 1;
}

STDMETHODIMP StandinControl::put_FlashVars(BSTR vars) {
  beyond_interface_if_older(6, "put_FlashVars");
  LogLine("put_FlashVars").text("text", vars);
  return S_OK;
}

STDMETHODIMP StandinControl::CallFunction(BSTR request, BSTR* reply) {
  beyond_interface_if_older(8, "CallFunction");
  std::wstring text = request ? request : L"";
  std::wstring name = between(text, L"<invoke name=\"", L"\"");
  std::wstring argument = between(text, L"<string>", L"</string>");
  // Before the movie's first frame no function is registered.
  const HRESULT hr = fetcher_.callbacks_ready() ? S_OK : E_FAIL;
  LogLine("CallFunction")
      .text("request", request)
      .text("name", name.c_str())
      .text("argument", argument.c_str())
      .number("hr", hr);
  if (FAILED(hr)) return hr;
  // What a video player movie does with these: fetch the skin and the video.
  if (name == L"FLVSetSkin" && !argument.empty()) fetcher_.queue(LoadKind::skin, argument);
  if (name == L"FLVSetVideo" && !argument.empty()) fetcher_.queue(LoadKind::video, argument);
  if (reply) *reply = SysAllocString(L"<undefined/>");
  return S_OK;
}

IServiceProvider* StandinControl::site_services() {
  IServiceProvider* services = nullptr;
  HRESULT hr = site_ ? site_->QueryInterface(IID_IServiceProvider,
                                             reinterpret_cast<void**>(&services))
                     : E_UNEXPECTED;
  if (FAILED(hr) || !services) {
    LogLine("SiteServices").number("hr", hr);
    return nullptr;
  }
  return services;
}

void StandinControl::fire_fs_command(const std::wstring& command, const std::wstring& argument) {
  VARIANT args[2];
  // The command is the event's first argument: the last in the array.
  VariantInit(&args[0]);
  VariantInit(&args[1]);
  args[0].vt = VT_BSTR;
  args[0].bstrVal = SysAllocString(argument.c_str());
  args[1].vt = VT_BSTR;
  args[1].bstrVal = SysAllocString(command.c_str());
  DISPPARAMS params = {args, nullptr, 2, 0};
  HRESULT hr = fire(DISPID_FS_COMMAND, &params);
  VariantClear(&args[0]);
  VariantClear(&args[1]);
  LogLine("FSCommand")
      .text("command", command.c_str())
      .text("argument", argument.c_str())
      .flag("sink", events_.sink() != nullptr)
      .number("hr", hr);
}

void StandinControl::fire_odd_event(const char* kind) {
  VARIANT args[2];
  VariantInit(&args[0]);
  VariantInit(&args[1]);
  DISPPARAMS params = {args, nullptr, 0, 0};
  DISPID id = DISPID_FS_COMMAND;
  if (!std::strcmp(kind, "none")) {
    params.rgvarg = nullptr;
  } else if (!std::strcmp(kind, "one")) {
    args[0].vt = VT_BSTR;
    args[0].bstrVal = SysAllocString(L"volume");
    params.cArgs = 1;
  } else if (!std::strcmp(kind, "ints")) {
    args[0].vt = VT_I4;
    args[0].lVal = 33;
    args[1].vt = VT_I4;
    args[1].lVal = 7;
    params.cArgs = 2;
  } else {
    id = -609;  // OnReadyStateChange
    args[0].vt = VT_I4;
    args[0].lVal = 4;
    params.cArgs = 1;
  }
  HRESULT hr = fire(id, &params);
  VariantClear(&args[0]);
  VariantClear(&args[1]);
  LogLine("OddEvent").text("kind", std::wstring(kind, kind + std::strlen(kind)).c_str()).number(
      "dispid", id).number("hr", hr);
}

HRESULT StandinControl::fire(DISPID id, DISPPARAMS* params) {
  IDispatch* sink = events_.sink();
  if (!sink) return CONNECT_E_NOCONNECTION;
  sink->AddRef();
  VARIANT result;
  VariantInit(&result);
  EXCEPINFO exception = {};
  UINT bad_arg = 0;
  HRESULT hr = sink->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, params, &result,
                            &exception, &bad_arg);
  VariantClear(&result);
  sink->Release();
  return hr;
}

STDMETHODIMP StandinControl::FindConnectionPoint(REFIID iid, IConnectionPoint** out) {
  LogLine("FindConnectionPoint").guid("iid", iid);
  if (!out) return E_POINTER;
  *out = nullptr;
  if (should_fail("FindConnectionPoint") || !IsEqualIID(iid, DIID_FLASH_EVENTS))
    return CONNECT_E_NOCONNECTION;
  *out = &events_;
  events_.AddRef();
  return S_OK;
}
