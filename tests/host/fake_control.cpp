#include "host/fake_control.h"

#include <cstring>

#include "delivery/delivery_support.h"

namespace {

std::string text_of(const wchar_t* text) { return text ? narrow(text) : "(null)"; }

}  // namespace

void FakeControl::call(const std::string& entry, const char* name) {
  log.push_back(entry);
  fault_if(name);
}

void FakeControl::fault_if(const char* name) {
  if (faulted || !options_.fault_in || std::strcmp(options_.fault_in, name) != 0) return;
  faulted = true;
  RaiseException(0xE0545302, 0, 0, nullptr);
}

STDMETHODIMP FakeControl::QueryInterface(REFIID iid, void** out) {
  HRESULT hr = Unknown::QueryInterface(iid, out);
  // Handed over, then the fault.
  if (hr == S_OK && IsEqualIID(iid, IID_IConnectionPointContainer)) fault_if("QueryInterface(events)");
  if (hr != S_OK) return hr;
  if ((options_.flash || *out != static_cast<IShockwaveFlash*>(this)) &&
      (options_.events || *out != static_cast<IConnectionPointContainer*>(this)))
    return S_OK;
  Release();
  *out = nullptr;
  return options_.null_events ? S_OK : E_NOINTERFACE;
}

STDMETHODIMP FakeControl::SetClientSite(IOleClientSite* site) {
  call(site ? "SetClientSite(site)" : "SetClientSite(null)", "SetClientSite");
  client_site = site;
  return site ? options_.set_client_site : S_OK;
}

STDMETHODIMP FakeControl::SetHostNames(LPCOLESTR app, LPCOLESTR object) {
  log.push_back("SetHostNames(" + text_of(app) + "," + text_of(object) + ")");
  return S_OK;
}

STDMETHODIMP FakeControl::Close(DWORD option) {
  call("Close(" + std::to_string(option) + ")", "Close");
  return S_OK;
}

STDMETHODIMP FakeControl::DoVerb(LONG verb, LPMSG, IOleClientSite* site, LONG index, HWND,
                                 LPCRECT) {
  call("DoVerb(" + std::to_string(verb) + "," + std::to_string(index) + "," +
           (site == client_site ? "site" : "other") + ")",
       "DoVerb");
  return options_.do_verb;
}

STDMETHODIMP FakeControl::put_ScaleMode(long mode) {
  call("put_ScaleMode(" + std::to_string(mode) + ")", "put_ScaleMode");
  return S_OK;
}

STDMETHODIMP FakeControl::put_Movie(BSTR url) {
  call("put_Movie(" + text_of(url) + ")", "put_Movie");
  return S_OK;
}

STDMETHODIMP FakeControl::FlashVersion(long* version) {
  call("FlashVersion", "FlashVersion");
  *version = options_.version;
  return S_OK;
}

STDMETHODIMP FakeControl::put_Base(BSTR base) {
  call("put_Base(" + text_of(base) + ")", "put_Base");
  return S_OK;
}

STDMETHODIMP FakeControl::put_FlashVars(BSTR vars) {
  call("put_FlashVars(" + text_of(vars) + ")", "put_FlashVars");
  return S_OK;
}

STDMETHODIMP FakeControl::CallFunction(BSTR request, BSTR* reply) {
  // A real control writes the reply slot; a caller must not rely on it.
  if (!options_.reply.empty()) *reply = SysAllocString(options_.reply.c_str());
  const int n = function_calls++;
  const bool refused = n < 64 && (options_.refused_calls >> n & 1);
  call("CallFunction(" + text_of(request) + ")" + (refused ? " refused" : ""), "CallFunction");
  return refused ? E_FAIL : S_OK;
}

STDMETHODIMP FakeControl::SetObjectRects(LPCRECT position, LPCRECT) {
  call("SetObjectRects(" + std::to_string(position->right - position->left) + "x" +
           std::to_string(position->bottom - position->top) + ")",
       "SetObjectRects");
  return S_OK;
}

STDMETHODIMP FakeControl::FindConnectionPoint(REFIID iid, IConnectionPoint** out) {
  *out = nullptr;
  if (SUCCEEDED(options_.find_point)) {
    *out = static_cast<IConnectionPoint*>(this);
    AddRef();
  }
  // Handed over, then the fault where the options say.
  call(IsEqualIID(iid, DIID_FLASH_EVENTS) ? "FindConnectionPoint(events)"
                                          : "FindConnectionPoint(other)",
       "FindConnectionPoint");
  return options_.find_point;
}

STDMETHODIMP FakeControl::Advise(IUnknown* unknown, DWORD* cookie) {
  log.push_back("Advise");
  *cookie = 0;
  if (FAILED(options_.advise)) return options_.advise;
  // As a real point does: ask the sink for the event interface and keep it.
  if (FAILED(unknown->QueryInterface(DIID_FLASH_EVENTS, reinterpret_cast<void**>(&sink))))
    return CONNECT_E_CANNOTCONNECT;
  *cookie = COOKIE;
  return S_OK;
}

STDMETHODIMP FakeControl::Unadvise(DWORD cookie) {
  call("Unadvise(" + std::to_string(cookie) + ")", "Unadvise");
  if (cookie != COOKIE || !sink) return CONNECT_E_NOCONNECTION;
  sink->Release();
  sink = nullptr;
  return S_OK;
}

STDMETHODIMP FakeFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
  *out = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  if (FAILED(create_result)) return create_result;
  return control_->QueryInterface(iid, out);
}

ScopedClassRegistration::ScopedClassRegistration(IClassFactory* factory) {
  if (FAILED(CoRegisterClassObject(CLSID_FLASH_CONTROL, factory, CLSCTX_INPROC_SERVER,
                                   REGCLS_MULTIPLEUSE, &cookie_)))
    cookie_ = 0;
}

ScopedClassRegistration::~ScopedClassRegistration() {
  if (cookie_) CoRevokeClassObject(cookie_);
}
