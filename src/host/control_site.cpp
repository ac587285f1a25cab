#include "host/control_site.h"

#include "base/malloc_ptr.h"
#include "base/text.h"
#include "base/win/guard.h"
#include "base/win/held_ref.h"
#include "base/win/hresult.h"
#include "base/win/platform.h"
#include "delivery/delivery.h"
#include "host/fs_command.h"
#include "host/shockwave_flash.h"
#include "package/player_state.h"
#include "resolve/resolve_win.h"

using base::win::HeldRef;
using base::win::QUERY_HOLD;

namespace {

constexpr DWORD CONTROL_CONTEXT = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER;

}  // namespace

STDMETHODIMP ControlSite::GetContainer(IOleContainer** out) {
  if (out) *out = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP ControlSite::GetWindow(HWND* out) {
  if (!out) return E_POINTER;
  *out = window_;
  return S_OK;
}

STDMETHODIMP ControlSite::GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document,
                                           LPRECT position, LPRECT clip,
                                           LPOLEINPLACEFRAMEINFO info) {
  if (frame) *frame = static_cast<IOleInPlaceFrame*>(this);
  if (document) *document = nullptr;
  if (info) {
    info->fMDIApp = FALSE;
    info->hwndFrame = window_;
    info->haccel = nullptr;
    info->cAccelEntries = 0;
  }
  RECT client = {};
  GetClientRect(window_, &client);
  if (position) *position = client;
  if (clip) *clip = client;
  return S_OK;
}

STDMETHODIMP ControlSite::OnPosRectChange(LPCRECT rect) {
  if (!rect) return S_OK;
  HeldRef<IOleInPlaceObject> in_place(QUERY_HOLD, control_.get());
  if (in_place) in_place->SetObjectRects(rect, rect);
  return S_OK;
}

namespace {

// A string argument's text (a null BSTR is the empty text); null when the
// argument is no string.
const char16_t* string_argument(const VARIANT& v) {
  const BSTR* text = nullptr;
  if (V_VT(&v) == VT_BSTR) {
    text = &V_BSTR(&v);
  } else if (V_VT(&v) == (VT_BSTR | VT_BYREF)) {
    text = V_BSTRREF(&v);
    if (!text) return nullptr;
  } else {
    return nullptr;
  }
  return *text ? reinterpret_cast<const char16_t*>(*text) : u"";
}

}  // namespace

STDMETHODIMP ControlSite::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                 EXCEPINFO*, UINT*) {
  if (id != DISPID_FS_COMMAND || !params || !params->rgvarg) return S_OK;
  // Positional arguments come last in the array and in reverse order: the
  // command is the last element, its argument text the one before it. A
  // malformed event is dropped rather than read past its array.
  if (params->cArgs < params->cNamedArgs || params->cArgs - params->cNamedArgs < 2) return S_OK;
  const char16_t* command = string_argument(params->rgvarg[params->cArgs - 1]);
  const char16_t* argument = string_argument(params->rgvarg[params->cArgs - 2]);
  if (command && argument) handle_fs_command(command, argument);
  return S_OK;
}

STDMETHODIMP ControlSite::QueryService(REFGUID, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualIID(iid, IID_IBindHost)) {
    *out = static_cast<IBindHost*>(this);
  } else if (IsEqualIID(iid, IID_IHlinkFrame)) {
    *out = static_cast<IHlinkFrame*>(this);
  } else {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  return S_OK;
}

STDMETHODIMP ControlSite::CreateMoniker(LPOLESTR name, IBindCtx* bind_context, IMoniker** out,
                                        DWORD) {
  if (!out) return E_POINTER;
  *out = nullptr;
  int32_t index = -1;
  HRESULT resolved = resolve_request(reinterpret_cast<const char16_t*>(name), bind_context, &index);
  if (FAILED(resolved) || index < 0) report_unanswered(reinterpret_cast<const char16_t*>(name));
  RETURN_IF_FAILED(resolved);
  // A missing entry still gets a moniker: binding it reports the resource as
  // not found, as a server would.
  ResourceMoniker* moniker = create_resource_moniker(index, index >= 0 ? window_ : nullptr);
  if (!moniker) return E_UNEXPECTED;
  // The moniker's first reference goes to the control as is.
  *out = resource_moniker_interface(moniker);
  return S_OK;
}

HRESULT ControlSite::embed(IOleObject* control) {
  control->AddRef();
  control_.attach(control);
  RETURN_IF_FAILED(control_->SetClientSite(static_cast<IOleClientSite*>(this)));
  control_->SetHostNames(L"Tessivo", nullptr);

  {
    HeldRef<IShockwaveFlash> flash(QUERY_HOLD, control_.get());
    if (!flash) return E_NOINTERFACE;
    long version = 0;
    flash->FlashVersion(&version);
    set_installed_flash_version(version);
  }

  RECT client = {};
  GetClientRect(window_, &client);
  RETURN_IF_FAILED(OleSetContainedObject(control_.get(), TRUE));
  RETURN_IF_FAILED(control_->DoVerb(OLEIVERB_SHOW, nullptr, static_cast<IOleClientSite*>(this), -1,
                                    window_, &client));
  if (playback_mode() != PLAYBACK_VIDEO) return S_OK;
  return connect_events();
}

HRESULT ControlSite::connect_events() {
  // Written straight into the site's owners: a call the control abandons
  // after handing a reference over leaves it where teardown gives it back.
  // What a failed call leaves in its out pointer is not ours to release.
  void** container = reinterpret_cast<void**>(point_container_.put());
  HRESULT hr = control_->QueryInterface(IID_IConnectionPointContainer, container);
  if (FAILED(hr)) *container = nullptr;
  RETURN_IF_FAILED(hr);
  if (!point_container_) return E_NOINTERFACE;
  IConnectionPoint** point = point_.put();
  hr = point_container_->FindConnectionPoint(DIID_FLASH_EVENTS, point);
  if (FAILED(hr)) *point = nullptr;
  RETURN_IF_FAILED(hr);
  if (!point_) return E_FAIL;
  return point_->Advise(static_cast<IDispatch*>(this), &cookie_);
}

bool ControlSite::teardown() {
  // Each call into the control is guarded on its own: one that faults still
  // leaves every later step done, so all references come back, the control
  // lets go of the site and the window can still close.
  static void (*const steps[])(void*) = {
      [](void* p) {
        auto* s = static_cast<ControlSite*>(p);
        const DWORD cookie = s->cookie_;
        s->cookie_ = 0;
        if (s->point_ && cookie) s->point_->Unadvise(cookie);
      },
      [](void* p) { static_cast<ControlSite*>(p)->point_.reset(); },
      [](void* p) { static_cast<ControlSite*>(p)->point_container_.reset(); },
      [](void* p) {
        if (IOleObject* control = static_cast<ControlSite*>(p)->control_.get())
          control->Close(OLECLOSE_NOSAVE);
      },
      [](void* p) {
        if (IOleObject* control = static_cast<ControlSite*>(p)->control_.get())
          control->SetClientSite(nullptr);
      },
      [](void* p) { static_cast<ControlSite*>(p)->control_.reset(); },
  };
  bool done = true;
  for (auto step : steps) done &= base::win::call_guarded(step, this);
  return done;
}

ControlSite* control_site_of(HWND window) {
  return reinterpret_cast<ControlSite*>(GetWindowLongA(window, GWL_USERDATA));
}

int create_control_site(HWND window, SiteCallback* callback) {
  auto* site = base::win::new_global<ControlSite>(window, callback);
  if (!site) return SITE_NO_MEMORY;

  HeldRef<IClassFactory> factory;
  void** out = reinterpret_cast<void**>(factory.put());
  HRESULT hr = CoGetClassObject(CLSID_FLASH_CONTROL, CONTROL_CONTEXT, nullptr, IID_IClassFactory, out);
  if (FAILED(hr)) *out = nullptr;
  if (!factory) {
    base::win::delete_global(site);
    return SITE_NO_CLASS;
  }
  HeldRef<IOleObject> control;
  out = reinterpret_cast<void**>(control.put());
  hr = factory->CreateInstance(nullptr, IID_IOleObject, out);
  if (FAILED(hr)) *out = nullptr;
  factory.reset();
  // A factory that claims success without an object has failed as well.
  if (!control) {
    base::win::delete_global(site);
    return SITE_NO_INSTANCE;
  }

  SetWindowLongA(window, GWL_USERDATA, reinterpret_cast<LONG>(site));
  if (FAILED(site->embed(control.get()))) {
    destroy_control_site(window);
    return SITE_EMBED_FAILED;
  }
  return SITE_CREATED;
}

void destroy_control_site(HWND window) {
  ControlSite* site = control_site_of(window);
  if (!site) return;
  const bool done = site->teardown();
  SetWindowLongA(window, GWL_USERDATA, 0);
  // A call abandoned inside the control may have left it holding the site
  // (its event sink, its client site) while the monikers' callbacks keep it
  // alive: the block stays, one per window at most, rather than be freed
  // under it.
  if (done) base::win::delete_global(site);
}
