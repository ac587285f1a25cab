// A stand-in for the Flash control object as the control site and the movie
// start see it: every container call it receives is written to one log, and
// its reference count is kept so that tests can see every reference returned.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>
#include <oleidl.h>

#include <string>
#include <vector>

#include "host/shockwave_flash.h"

class FakeControl : public IOleObject,
                    public IOleInPlaceObject,
                    public IShockwaveFlash,
                    public IConnectionPointContainer,
                    public IConnectionPoint {
 public:
  struct Options {
    bool flash = true;           // answers IShockwaveFlash
    bool events = true;          // answers IConnectionPointContainer
    HRESULT set_client_site = S_OK;
    HRESULT do_verb = S_OK;
    HRESULT find_point = S_OK;
    HRESULT advise = S_OK;
    long version = 0x000A0002;
    std::wstring reply;          // CallFunction's reply, when not empty
    const char* fault_in = nullptr;  // this call raises the first time it comes
  };
  explicit FakeControl(Options options) : options_(options) {}
  FakeControl() : FakeControl(Options()) {}

  // Lets a test change what the control answers after creation.
  Options& options() { return options_; }

  std::vector<std::string> log;
  bool faulted = false;
  LONG refs = 1;                 // the test's own reference
  IDispatch* sink = nullptr;     // held between Advise and Unadvise
  IOleClientSite* client_site = nullptr;
  static constexpr DWORD COOKIE = 0x5EED;

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override { return ULONG(++refs); }
  STDMETHODIMP_(ULONG) Release() override { return ULONG(--refs); }

  // IOleObject
  STDMETHODIMP SetClientSite(IOleClientSite* site) override;
  STDMETHODIMP GetClientSite(IOleClientSite**) override { return E_NOTIMPL; }
  STDMETHODIMP SetHostNames(LPCOLESTR app, LPCOLESTR object) override;
  STDMETHODIMP Close(DWORD option) override;
  STDMETHODIMP SetMoniker(DWORD, IMoniker*) override { return E_NOTIMPL; }
  STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
  STDMETHODIMP InitFromData(IDataObject*, BOOL, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP GetClipboardData(DWORD, IDataObject**) override { return E_NOTIMPL; }
  STDMETHODIMP DoVerb(LONG verb, LPMSG, IOleClientSite* site, LONG index, HWND parent,
                      LPCRECT rect) override;
  STDMETHODIMP EnumVerbs(IEnumOLEVERB**) override { return E_NOTIMPL; }
  STDMETHODIMP Update() override { return E_NOTIMPL; }
  STDMETHODIMP IsUpToDate() override { return E_NOTIMPL; }
  STDMETHODIMP GetUserClassID(CLSID*) override { return E_NOTIMPL; }
  STDMETHODIMP GetUserType(DWORD, LPOLESTR*) override { return E_NOTIMPL; }
  STDMETHODIMP SetExtent(DWORD, SIZEL*) override { return E_NOTIMPL; }
  STDMETHODIMP GetExtent(DWORD, SIZEL*) override { return E_NOTIMPL; }
  STDMETHODIMP Advise(IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP EnumAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }
  STDMETHODIMP GetMiscStatus(DWORD, DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP SetColorScheme(LOGPALETTE*) override { return E_NOTIMPL; }

  // IOleWindow, IOleInPlaceObject
  STDMETHODIMP GetWindow(HWND*) override { return E_NOTIMPL; }
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP InPlaceDeactivate() override { return S_OK; }
  STDMETHODIMP UIDeactivate() override { return S_OK; }
  STDMETHODIMP SetObjectRects(LPCRECT position, LPCRECT clip) override;
  STDMETHODIMP ReactivateAndUndo() override { return E_NOTIMPL; }

  // IDispatch, as the base of IShockwaveFlash
  STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                      UINT*) override {
    return E_NOTIMPL;
  }

  // IShockwaveFlash: the used slots record, the rest answer E_NOTIMPL.
#define FAKE_UNUSED(n) \
  STDMETHODIMP unused_##n() override { return E_NOTIMPL; }
  FAKE_UNUSED(7) FAKE_UNUSED(8) FAKE_UNUSED(9) FAKE_UNUSED(10) FAKE_UNUSED(11) FAKE_UNUSED(12)
  FAKE_UNUSED(13) FAKE_UNUSED(15) FAKE_UNUSED(16) FAKE_UNUSED(17) FAKE_UNUSED(18)
  FAKE_UNUSED(19) FAKE_UNUSED(20) FAKE_UNUSED(21) FAKE_UNUSED(23) FAKE_UNUSED(24)
  FAKE_UNUSED(25) FAKE_UNUSED(26) FAKE_UNUSED(27) FAKE_UNUSED(28) FAKE_UNUSED(29)
  FAKE_UNUSED(30) FAKE_UNUSED(31) FAKE_UNUSED(32) FAKE_UNUSED(33) FAKE_UNUSED(34)
  FAKE_UNUSED(35) FAKE_UNUSED(36) FAKE_UNUSED(37) FAKE_UNUSED(38) FAKE_UNUSED(40)
  FAKE_UNUSED(41) FAKE_UNUSED(42) FAKE_UNUSED(43) FAKE_UNUSED(44) FAKE_UNUSED(45)
  FAKE_UNUSED(46) FAKE_UNUSED(48) FAKE_UNUSED(49) FAKE_UNUSED(50) FAKE_UNUSED(51)
  FAKE_UNUSED(52) FAKE_UNUSED(53) FAKE_UNUSED(54) FAKE_UNUSED(55) FAKE_UNUSED(56)
  FAKE_UNUSED(57) FAKE_UNUSED(58) FAKE_UNUSED(59) FAKE_UNUSED(60) FAKE_UNUSED(61)
  FAKE_UNUSED(62) FAKE_UNUSED(63) FAKE_UNUSED(64) FAKE_UNUSED(65) FAKE_UNUSED(66)
  FAKE_UNUSED(67) FAKE_UNUSED(68) FAKE_UNUSED(69) FAKE_UNUSED(70) FAKE_UNUSED(71)
  FAKE_UNUSED(72) FAKE_UNUSED(73) FAKE_UNUSED(74) FAKE_UNUSED(75) FAKE_UNUSED(76)
  FAKE_UNUSED(78) FAKE_UNUSED(79) FAKE_UNUSED(80) FAKE_UNUSED(81) FAKE_UNUSED(82)
  FAKE_UNUSED(83) FAKE_UNUSED(84) FAKE_UNUSED(85) FAKE_UNUSED(86) FAKE_UNUSED(87)
  FAKE_UNUSED(88) FAKE_UNUSED(89) FAKE_UNUSED(90) FAKE_UNUSED(91) FAKE_UNUSED(92)
#undef FAKE_UNUSED
  STDMETHODIMP put_ScaleMode(long mode) override;
  STDMETHODIMP put_Movie(BSTR url) override;
  STDMETHODIMP FlashVersion(long* version) override;
  STDMETHODIMP put_Base(BSTR base) override;
  STDMETHODIMP put_FlashVars(BSTR vars) override;
  STDMETHODIMP CallFunction(BSTR request, BSTR* reply) override;

  // IConnectionPointContainer
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
  STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** out) override;

  // IConnectionPoint
  STDMETHODIMP GetConnectionInterface(IID*) override { return E_NOTIMPL; }
  STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer**) override {
    return E_NOTIMPL;
  }
  STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
  STDMETHODIMP Unadvise(DWORD cookie) override;
  STDMETHODIMP EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

 private:
  // Records the call; raises where the options say.
  void call(const std::string& entry, const char* name);
  Options options_;
};

// Hands out one FakeControl; registered as the Flash control's class object.
class FakeFactory : public IClassFactory {
 public:
  explicit FakeFactory(FakeControl* control) : control_(control) {}
  HRESULT create_result = S_OK;
  LONG refs = 1;

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override { return ULONG(++refs); }
  STDMETHODIMP_(ULONG) Release() override { return ULONG(--refs); }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }

 private:
  FakeControl* control_;
};

// Registers factory for the control's class id while it lives.
class ScopedClassRegistration {
 public:
  explicit ScopedClassRegistration(IClassFactory* factory);
  ~ScopedClassRegistration();
  bool ok() const { return cookie_ != 0; }

 private:
  DWORD cookie_ = 0;
};
