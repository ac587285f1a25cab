// A stand-in for the Flash control object as the control site and the movie
// start see it: every container call it receives is written to one log, and
// its reference count is kept so that tests can see every reference returned.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>
#include <oleidl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/win/unknown.h"
#include "standin/flash_slots.h"

// Counted where a test can read it and never destroyed: the test owns the object.
class TestCounted {
 public:
  LONG refs = 1;  // the test's own reference

 protected:
  ULONG add_ref() { return ULONG(++refs); }
  template <class Self>
  ULONG release(Self*) {
    return ULONG(--refs);
  }
};

using FakeControlTable = base::win::QueryTable<
    base::win::Answer<IOleObject, IID_IUnknown, IID_IOleObject>,
    base::win::Answer<IOleInPlaceObject, IID_IOleInPlaceObject>,
    base::win::Answer<IShockwaveFlash, __uuidof(IShockwaveFlash)>,
    base::win::Answer<IConnectionPointContainer, IID_IConnectionPointContainer>>;

class FakeControl
    : public base::win::Unknown<FakeControl, TestCounted, FakeControlTable, IOleObject,
                                IOleInPlaceObject, FlashSlots, IConnectionPointContainer,
                                IConnectionPoint> {
 public:
  struct Options {
    bool flash = true;           // answers IShockwaveFlash
    bool events = true;          // answers IConnectionPointContainer
    bool null_events = false;    // ... with S_OK and no object
    HRESULT set_client_site = S_OK;
    HRESULT do_verb = S_OK;
    HRESULT find_point = S_OK;
    HRESULT advise = S_OK;
    long version = 0x000A0002;
    std::wstring reply;          // CallFunction's reply, when not empty
    uint64_t refused_calls = 0;  // bit n: the nth CallFunction (from 0) answers E_FAIL
    const char* fault_in = nullptr;  // this call raises the first time it comes
  };
  explicit FakeControl(Options options) : options_(options) {}
  FakeControl() : FakeControl(Options()) {}

  // Lets a test change what the control answers after creation.
  Options& options() { return options_; }

  std::vector<std::string> log;
  bool faulted = false;
  int function_calls = 0;  // CallFunction calls so far
  IDispatch* sink = nullptr;     // held between Advise and Unadvise
  IOleClientSite* client_site = nullptr;
  static constexpr DWORD COOKIE = 0x5EED;

  // The table's answer, unless the options leave that interface out.
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;

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

  // IShockwaveFlash: the used slots record.
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
  void fault_if(const char* name);
  Options options_;
};

// Hands out one FakeControl; registered as the Flash control's class object.
class FakeFactory
    : public base::win::Unknown<
          FakeFactory, TestCounted,
          base::win::QueryTable<base::win::Answer<IClassFactory, IID_IUnknown, IID_IClassFactory>>,
          IClassFactory> {
 public:
  explicit FakeFactory(FakeControl* control) : control_(control) {}
  HRESULT create_result = S_OK;

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
