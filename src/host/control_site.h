// The OLE container side of the one embedded Flash control.
#pragma once

#include <windows.h>

#include <hlink.h>
#include <ocidl.h>
#include <oleidl.h>
#include <servprov.h>
#include <urlmon.h>

#include "base/win/held_ref.h"
#include "base/win/unknown.h"
#include "host/shockwave_flash.h"
#include "host/site_callback.h"

// Every interface but the in-place frame answers this table; the bind host and
// the hyperlink frame only through the service provider. The site counts
// nothing: it lives exactly as long as its window.
using ControlSiteTable = base::win::QueryTable<
    base::win::Answer<IOleClientSite, IID_IUnknown, IID_IOleClientSite>,
    base::win::Answer<IOleInPlaceSite, IID_IOleInPlaceSite>,
    base::win::Answer<IDispatch, DIID_FLASH_EVENTS>,
    base::win::Answer<IServiceProvider, IID_IServiceProvider>>;

class ControlSite final
    : public base::win::Unknown<ControlSite, base::win::Uncounted, ControlSiteTable,
                                IOleClientSite, IOleInPlaceSite, IDispatch, IServiceProvider,
                                IBindHost, IHlinkFrame>,
      // The frame is reached only through GetWindowContext and answers no queries.
      public base::win::Unknown<ControlSite, base::win::Uncounted, base::win::NoQueries,
                                IOleInPlaceFrame> {
 public:
  explicit ControlSite(HWND window, SiteCallback* callback = nullptr)
      : window_(window), callback_(callback) {}

  IOleObject* control() const { return control_.get(); }
  SiteCallback* callback() const { return callback_; }
  // Creation steps from SetClientSite on; the site takes its own reference.
  HRESULT embed(IOleObject* control);
  // Disconnects, closes and releases the control; false when the control
  // abandoned any of these calls.
  bool teardown();

  // IOleClientSite
  STDMETHODIMP SaveObject() override { return E_NOTIMPL; }
  STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker**) override { return E_FAIL; }
  STDMETHODIMP GetContainer(IOleContainer** out) override;
  STDMETHODIMP ShowObject() override { return S_OK; }
  STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
  STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }

  // IOleWindow, shared by the in-place site and the frame
  STDMETHODIMP GetWindow(HWND* out) override;
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

  // IOleInPlaceSite
  STDMETHODIMP CanInPlaceActivate() override { return S_OK; }
  STDMETHODIMP OnInPlaceActivate() override { return S_OK; }
  STDMETHODIMP OnUIActivate() override { return S_OK; }
  STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document,
                                LPRECT position, LPRECT clip,
                                LPOLEINPLACEFRAMEINFO info) override;
  STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
  STDMETHODIMP OnUIDeactivate(BOOL) override { return S_OK; }
  STDMETHODIMP OnInPlaceDeactivate() override { return S_OK; }
  STDMETHODIMP DiscardUndoState() override { return E_NOTIMPL; }
  STDMETHODIMP DeactivateAndUndo() override { return E_NOTIMPL; }
  STDMETHODIMP OnPosRectChange(LPCRECT rect) override;

  // IOleInPlaceUIWindow, IOleInPlaceFrame
  STDMETHODIMP GetBorder(LPRECT) override { return E_NOTIMPL; }
  STDMETHODIMP RequestBorderSpace(LPCBORDERWIDTHS) override { return E_NOTIMPL; }
  STDMETHODIMP SetBorderSpace(LPCBORDERWIDTHS) override { return E_NOTIMPL; }
  STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject*, LPCOLESTR) override { return S_OK; }
  STDMETHODIMP InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) override { return E_NOTIMPL; }
  STDMETHODIMP SetMenu(HMENU, HOLEMENU, HWND) override { return S_OK; }
  STDMETHODIMP RemoveMenus(HMENU) override { return E_NOTIMPL; }
  STDMETHODIMP SetStatusText(LPCOLESTR) override { return S_OK; }
  STDMETHODIMP EnableModeless(BOOL) override { return S_OK; }
  STDMETHODIMP TranslateAccelerator(LPMSG, WORD) override { return E_NOTIMPL; }

  // IDispatch: the sink for the control's events.
  STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                      UINT*) override;

  // IServiceProvider: the bind host and the hyperlink frame, by interface id.
  STDMETHODIMP QueryService(REFGUID service, REFIID iid, void** out) override;

  // IBindHost: every URL the control wants is answered from the package.
  STDMETHODIMP CreateMoniker(LPOLESTR name, IBindCtx* bind_context, IMoniker** out,
                             DWORD reserved) override;
  STDMETHODIMP MonikerBindToStorage(IMoniker*, IBindCtx*, IBindStatusCallback*, REFIID,
                                    void**) override {
    return E_NOTIMPL;
  }
  STDMETHODIMP MonikerBindToObject(IMoniker*, IBindCtx*, IBindStatusCallback*, REFIID,
                                   void**) override {
    return E_NOTIMPL;
  }

  // IHlinkFrame: a movie never navigates away from the player.
  STDMETHODIMP SetBrowseContext(IHlinkBrowseContext*) override { return E_NOTIMPL; }
  STDMETHODIMP GetBrowseContext(IHlinkBrowseContext**) override { return E_NOTIMPL; }
  STDMETHODIMP Navigate(DWORD, LPBC, IBindStatusCallback*, IHlink*) override { return S_OK; }
  STDMETHODIMP OnNavigate(DWORD, IMoniker*, LPCWSTR, LPCWSTR, DWORD) override {
    return E_NOTIMPL;
  }
  STDMETHODIMP UpdateHlink(ULONG, IMoniker*, LPCWSTR, LPCWSTR) override { return E_NOTIMPL; }

 private:
  HRESULT connect_events();

  base::win::OwnedRef<IOleObject> control_;
  HWND window_;
  SiteCallback* callback_;
  base::win::OwnedRef<IConnectionPointContainer> point_container_;
  base::win::OwnedRef<IConnectionPoint> point_;
  DWORD cookie_ = 0;
};

// Results of create_control_site.
enum : int {
  SITE_CREATED = 0,
  SITE_NO_MEMORY = -1,
  SITE_NO_CLASS = -2,
  SITE_NO_INSTANCE = -3,
  SITE_EMBED_FAILED = -4,
};

// Instantiates the control, embeds it in place over the window's client area
// and records its version; in video mode also connects its events. The site
// asks callback (which may be null) for the window's layout.
int create_control_site(HWND window, SiteCallback* callback);
void destroy_control_site(HWND window);

// The window's site, or null.
ControlSite* control_site_of(HWND window);
