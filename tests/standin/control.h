// A stand-in for the Flash Player control: an in-place OLE object that shows
// a solid stage, answers the automation calls the player makes, offers its
// event connection point and logs every call the container makes on it.
#pragma once

#include <ocidl.h>
#include <olectl.h>
#include <oleidl.h>
#include <windows.h>

#include <string>

#include "fetcher.h"
#include "host/shockwave_flash.h"

// The stage's colour: what a pixel test finds wherever the control shows.
constexpr COLORREF STAGE_COLOR = RGB(0x22, 0xB0, 0x4C);
// Posted to the stage window, makes its handling raise an access violation.
constexpr UINT MSG_STAGE_FAULT = WM_USER + 0x177;
// Sent to the stage window: answers the states of the container's menu items
// 40001-40004, four bits each (present, checked, grayed), read in-process
// because menus cannot be read from another process everywhere.
constexpr UINT MSG_STAGE_MENU_STATES = WM_USER + 0x178;

class EventPoint : public IConnectionPoint {
 public:
  explicit EventPoint(IConnectionPointContainer* owner) : owner_(owner) {}

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  STDMETHODIMP GetConnectionInterface(IID* iid) override;
  STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** out) override;
  STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
  STDMETHODIMP Unadvise(DWORD cookie) override;
  STDMETHODIMP EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

  // The connected sink, or null; borrowed.
  IDispatch* sink() const { return sink_; }

 private:
  LONG refs_ = 1;
  IConnectionPointContainer* owner_;
  IDispatch* sink_ = nullptr;
};

class StandinControl final : public IOleObject,
                       public IOleInPlaceObject,
                       public IShockwaveFlash,
                       public IConnectionPointContainer {
 public:
  StandinControl();

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IOleObject
  STDMETHODIMP SetClientSite(IOleClientSite* site) override;
  STDMETHODIMP GetClientSite(IOleClientSite** out) override;
  STDMETHODIMP SetHostNames(LPCOLESTR container, LPCOLESTR object) override;
  STDMETHODIMP Close(DWORD option) override;
  STDMETHODIMP SetMoniker(DWORD, IMoniker*) override { return E_NOTIMPL; }
  STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
  STDMETHODIMP InitFromData(IDataObject*, BOOL, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP GetClipboardData(DWORD, IDataObject**) override { return E_NOTIMPL; }
  STDMETHODIMP DoVerb(LONG verb, LPMSG, IOleClientSite* active, LONG lindex, HWND parent,
                      LPCRECT rect) override;
  STDMETHODIMP EnumVerbs(IEnumOLEVERB**) override { return E_NOTIMPL; }
  STDMETHODIMP Update() override { return S_OK; }
  STDMETHODIMP IsUpToDate() override { return S_OK; }
  STDMETHODIMP GetUserClassID(CLSID* out) override;
  STDMETHODIMP GetUserType(DWORD, LPOLESTR*) override { return E_NOTIMPL; }
  STDMETHODIMP SetExtent(DWORD, SIZEL*) override { return E_NOTIMPL; }
  STDMETHODIMP GetExtent(DWORD, SIZEL*) override { return E_NOTIMPL; }
  STDMETHODIMP Advise(IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP Unadvise(DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP EnumAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }
  STDMETHODIMP GetMiscStatus(DWORD, DWORD* out) override;
  STDMETHODIMP SetColorScheme(LOGPALETTE*) override { return E_NOTIMPL; }

  // IOleWindow, IOleInPlaceObject
  STDMETHODIMP GetWindow(HWND* out) override;
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP InPlaceDeactivate() override;
  STDMETHODIMP UIDeactivate() override { return S_OK; }
  STDMETHODIMP SetObjectRects(LPCRECT position, LPCRECT clip) override;
  STDMETHODIMP ReactivateAndUndo() override { return E_NOTIMPL; }

  // IDispatch
  STDMETHODIMP GetTypeInfoCount(UINT* out) override;
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return DISP_E_UNKNOWNNAME;
  }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                      UINT*) override {
    return DISP_E_MEMBERNOTFOUND;
  }

  // IShockwaveFlash: the slots the player uses; every other slot answers E_NOTIMPL.
#define STANDIN_UNUSED(n) \
  STDMETHODIMP unused_##n() override { return E_NOTIMPL; }
  STANDIN_UNUSED(7) STANDIN_UNUSED(8) STANDIN_UNUSED(9) STANDIN_UNUSED(10) STANDIN_UNUSED(11)
  STANDIN_UNUSED(12) STANDIN_UNUSED(13) STANDIN_UNUSED(15) STANDIN_UNUSED(16) STANDIN_UNUSED(17)
  STANDIN_UNUSED(18) STANDIN_UNUSED(19) STANDIN_UNUSED(20) STANDIN_UNUSED(21) STANDIN_UNUSED(23)
  STANDIN_UNUSED(24) STANDIN_UNUSED(25) STANDIN_UNUSED(26) STANDIN_UNUSED(27) STANDIN_UNUSED(28)
  STANDIN_UNUSED(29) STANDIN_UNUSED(30) STANDIN_UNUSED(31) STANDIN_UNUSED(32) STANDIN_UNUSED(33)
  STANDIN_UNUSED(34) STANDIN_UNUSED(35) STANDIN_UNUSED(36) STANDIN_UNUSED(37) STANDIN_UNUSED(38)
  STANDIN_UNUSED(40) STANDIN_UNUSED(41) STANDIN_UNUSED(42) STANDIN_UNUSED(43) STANDIN_UNUSED(44)
  STANDIN_UNUSED(45) STANDIN_UNUSED(46) STANDIN_UNUSED(48) STANDIN_UNUSED(49) STANDIN_UNUSED(50)
  STANDIN_UNUSED(51) STANDIN_UNUSED(52) STANDIN_UNUSED(53) STANDIN_UNUSED(54) STANDIN_UNUSED(55)
  STANDIN_UNUSED(56) STANDIN_UNUSED(57) STANDIN_UNUSED(58) STANDIN_UNUSED(59) STANDIN_UNUSED(60)
  STANDIN_UNUSED(61) STANDIN_UNUSED(62) STANDIN_UNUSED(63) STANDIN_UNUSED(64) STANDIN_UNUSED(65)
  STANDIN_UNUSED(66) STANDIN_UNUSED(67) STANDIN_UNUSED(68) STANDIN_UNUSED(69) STANDIN_UNUSED(70)
  STANDIN_UNUSED(71) STANDIN_UNUSED(72) STANDIN_UNUSED(73) STANDIN_UNUSED(74) STANDIN_UNUSED(75)
  STANDIN_UNUSED(76) STANDIN_UNUSED(78) STANDIN_UNUSED(79) STANDIN_UNUSED(80) STANDIN_UNUSED(81)
  STANDIN_UNUSED(82) STANDIN_UNUSED(83) STANDIN_UNUSED(84) STANDIN_UNUSED(85) STANDIN_UNUSED(86)
  STANDIN_UNUSED(87) STANDIN_UNUSED(88) STANDIN_UNUSED(89) STANDIN_UNUSED(90) STANDIN_UNUSED(91)
  STANDIN_UNUSED(92)
#undef STANDIN_UNUSED
  STDMETHODIMP put_ScaleMode(long mode) override;
  STDMETHODIMP put_Movie(BSTR url) override;
  STDMETHODIMP FlashVersion(long* version) override;
  STDMETHODIMP put_Base(BSTR base) override;
  STDMETHODIMP put_FlashVars(BSTR vars) override;
  STDMETHODIMP CallFunction(BSTR request, BSTR* reply) override;

  // The container's service provider, asked for afresh as a control does;
  // null when the site has none.
  IServiceProvider* site_services();
  // Fires FSCommand (dispatch id 150) to the connected sink.
  void fire_fs_command(const std::wstring& command, const std::wstring& argument);
  // Fires an event the container must survive: "none" (FSCommand without
  // arguments), "one" (one argument), "ints" (two numbers), "other" (another
  // dispatch id).
  void fire_odd_event(const char* kind);

  // IConnectionPointContainer
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
  STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** out) override;

 private:
  ~StandinControl();
  void probe_site();
  void create_stage(HWND parent, LPCRECT rect);
  HRESULT fire(DISPID id, DISPPARAMS* params);

  LONG refs_ = 1;
  IOleClientSite* site_ = nullptr;
  HWND stage_ = nullptr;
  EventPoint events_;
  Fetcher fetcher_{this};
};

HINSTANCE standin_module();

// Live objects and server locks, for DllCanUnloadNow.
extern LONG g_server_refs;
