// A stand-in for the Flash Player control: an in-place OLE object that shows
// a solid stage, answers the automation calls the player makes, offers its
// event connection point and logs every call the container makes on it.
#pragma once

#include <ocidl.h>
#include <olectl.h>
#include <oleidl.h>
#include <windows.h>

#include <string>

#include "base/win/unknown.h"
#include "fetcher.h"
#include "flash_slots.h"

// The stage's colour: what a pixel test finds wherever the control shows.
constexpr COLORREF STAGE_COLOR = RGB(0x22, 0xB0, 0x4C);
// Posted to the stage window, makes its handling raise an access violation.
constexpr UINT MSG_STAGE_FAULT = WM_USER + 0x177;
// Sent to the stage window: answers the states of the container's menu items
// 40001-40004, four bits each (present, checked, grayed), read in-process
// because menus cannot be read from another process everywhere.
constexpr UINT MSG_STAGE_MENU_STATES = WM_USER + 0x178;

// Counts on the control that holds it, as a real control's connection point does.
class CountedByOwner {
 protected:
  ULONG add_ref() { return owner_->AddRef(); }
  template <class Self>
  ULONG release(Self*) {
    return owner_->Release();
  }
  IConnectionPointContainer* owner_ = nullptr;
};

class EventPoint
    : public base::win::Unknown<
          EventPoint, CountedByOwner,
          base::win::QueryTable<
              base::win::Answer<IConnectionPoint, IID_IUnknown, IID_IConnectionPoint>>,
          IConnectionPoint> {
 public:
  explicit EventPoint(IConnectionPointContainer* owner) { owner_ = owner; }

  STDMETHODIMP GetConnectionInterface(IID* iid) override;
  STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** out) override;
  STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
  STDMETHODIMP Unadvise(DWORD cookie) override;
  STDMETHODIMP EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

  // The connected sink, or null; borrowed.
  IDispatch* sink() const { return sink_; }

 private:
  IDispatch* sink_ = nullptr;
};

using StandinTable = base::win::QueryTable<
    base::win::Answer<IOleObject, IID_IUnknown, IID_IOleObject>,
    base::win::Answer<IOleInPlaceObject, IID_IOleInPlaceObject, IID_IOleWindow>,
    base::win::Answer<IShockwaveFlash, __uuidof(IShockwaveFlash), IID_IDispatch>,
    base::win::Answer<IConnectionPointContainer, IID_IConnectionPointContainer>>;

class StandinControl final
    : public base::win::Unknown<StandinControl, base::win::Counted, StandinTable, IOleObject,
                                IOleInPlaceObject, FlashSlots, IConnectionPointContainer> {
 public:
  StandinControl();

  // The table's answer, unless TESSIVO_TEST_FAIL refuses that interface.
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;

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

  // IShockwaveFlash: the slots the player uses.
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
  friend base::win::Counted;
  ~StandinControl();
  void destroy();
  void probe_site();
  void create_stage(HWND parent, LPCRECT rect);
  HRESULT fire(DISPID id, DISPPARAMS* params);

  IOleClientSite* site_ = nullptr;
  HWND stage_ = nullptr;
  EventPoint events_;
  Fetcher fetcher_{this};
};

HINSTANCE standin_module();

// Live objects and server locks, for DllCanUnloadNow.
extern LONG g_server_refs;
