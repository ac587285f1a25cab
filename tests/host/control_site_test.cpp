#include <windows.h>
#include <hlink.h>
#include <servprov.h>
#include <urlmon.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/win/held_ref.h"
#include "base/win/settings_store.h"
#include "delivery/delivery_support.h"
#include "delivery/delivery_testing.h"
#include "host/control_site.h"
#include "host/host_support.h"
#include "package/platform.h"
#include "package/player_state.h"

namespace {

using Log = std::vector<std::string>;

const Log EMBED = {"SetClientSite(site)", "SetHostNames(Tessivo,(null))", "FlashVersion",
                   "DoVerb(-1,-1,site)"};
const Log CONNECT = {"FindConnectionPoint(events)", "Advise"};
const Log CLOSE = {"Close(1)", "SetClientSite(null)"};

Log operator+(Log a, const Log& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class SiteCreation : public ::testing::Test {
 protected:
  void SetUp() override { reset_player_state(); }
  void TearDown() override { reset_player_state(); }
};

TEST_F(SiteCreation, PageModeEmbedsWithoutEvents) {
  set_playback_mode(PLAYBACK_PAGE);
  FakeControl control;
  {
    SiteWindow site(&control);
    ASSERT_EQ(site.create(), SITE_CREATED);
    ControlSite* created = control_site_of(site.window());
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(created->control(), static_cast<IOleObject*>(&control));
    EXPECT_EQ(control.log, EMBED);
    EXPECT_EQ(installed_flash_version(), 0x000A0002);
    EXPECT_EQ(control.sink, nullptr);
    EXPECT_EQ(control.refs, 2);  // the site holds one
    destroy_control_site(site.window());
    EXPECT_EQ(control_site_of(site.window()), nullptr);
    EXPECT_EQ(site.factory().refs, 1);
  }
  EXPECT_EQ(control.log, EMBED + CLOSE);
  EXPECT_EQ(control.refs, 1);
}

TEST_F(SiteCreation, VideoModeConnectsTheSinkAndDisconnectsFirst) {
  ScratchRegistry registry;
  ASSERT_TRUE(registry.ok());
  set_playback_mode(PLAYBACK_VIDEO);
  FakeControl control;
  SiteWindow site(&control);
  ASSERT_EQ(site.create(), SITE_CREATED);
  EXPECT_EQ(control.log, EMBED + CONNECT);
  ASSERT_NE(control.sink, nullptr);
  EXPECT_EQ(control.refs, 4);  // control, container and point held by the site

  // An event through the connection reaches the volume handler.
  VARIANT args[2];
  VariantInit(&args[0]);
  VariantInit(&args[1]);
  V_VT(&args[0]) = V_VT(&args[1]) = VT_BSTR;
  V_BSTR(&args[0]) = SysAllocString(L"57");
  V_BSTR(&args[1]) = SysAllocString(L"volume");
  DISPPARAMS params = {args, nullptr, 2, 0};
  EXPECT_EQ(control.sink->Invoke(DISPID_FS_COMMAND, IID_NULL, 0, DISPATCH_METHOD, &params,
                                 nullptr, nullptr, nullptr),
            S_OK);
  VariantClear(&args[0]);
  VariantClear(&args[1]);
  EXPECT_EQ(read_setting("svol", -1), 57);

  destroy_control_site(site.window());
  EXPECT_EQ(control.log, EMBED + CONNECT + Log{"Unadvise(" + std::to_string(FakeControl::COOKIE) +
                                                ")"} + CLOSE);
  EXPECT_EQ(control.sink, nullptr);
  EXPECT_EQ(control.refs, 1);
  EXPECT_EQ(control_site_of(site.window()), nullptr);
}

TEST_F(SiteCreation, EveryFailedStepLeavesNoControlAndNoSite) {
  struct Row {
    const char* name;
    int32_t mode;
    FakeControl::Options options;
    HRESULT create_result;
    int expected;
    Log log;
  };
  auto with = [](auto change) {
    FakeControl::Options o;
    change(o);
    return o;
  };
  const Row rows[] = {
      {"factory refuses", PLAYBACK_PAGE, {}, E_OUTOFMEMORY, SITE_NO_INSTANCE, {}},
      {"SetClientSite fails", PLAYBACK_PAGE,
       with([](auto& o) { o.set_client_site = E_FAIL; }), S_OK, SITE_EMBED_FAILED,
       Log{"SetClientSite(site)"} + CLOSE},
      {"no IShockwaveFlash", PLAYBACK_PAGE, with([](auto& o) { o.flash = false; }), S_OK,
       SITE_EMBED_FAILED, Log{"SetClientSite(site)", "SetHostNames(Tessivo,(null))"} + CLOSE},
      {"DoVerb fails", PLAYBACK_PAGE, with([](auto& o) { o.do_verb = E_FAIL; }), S_OK,
       SITE_EMBED_FAILED, EMBED + CLOSE},
      {"no connection points", PLAYBACK_VIDEO, with([](auto& o) { o.events = false; }), S_OK,
       SITE_EMBED_FAILED, EMBED + CLOSE},
      {"connection points claimed, none given", PLAYBACK_VIDEO,
       with([](auto& o) { o.events = false; o.null_events = true; }), S_OK, SITE_EMBED_FAILED,
       EMBED + CLOSE},
      {"no event point", PLAYBACK_VIDEO,
       with([](auto& o) { o.find_point = CONNECT_E_NOCONNECTION; }), S_OK, SITE_EMBED_FAILED,
       EMBED + Log{"FindConnectionPoint(events)"} + CLOSE},
      {"Advise fails", PLAYBACK_VIDEO, with([](auto& o) { o.advise = E_FAIL; }), S_OK,
       SITE_EMBED_FAILED, EMBED + CONNECT + CLOSE},
      {"no events wanted in page mode", PLAYBACK_PAGE_POST, with([](auto& o) { o.events = false; }),
       S_OK, SITE_CREATED, EMBED},
  };
  for (const Row& row : rows) {
    set_playback_mode(row.mode);
    FakeControl control(row.options);
    {
      SiteWindow site(&control);
      site.factory().create_result = row.create_result;
      EXPECT_EQ(site.create(), row.expected) << row.name;
      if (row.expected != SITE_CREATED) {
        EXPECT_EQ(control_site_of(site.window()), nullptr) << row.name;
        EXPECT_EQ(control.log, row.log) << row.name;
        // The WM_DESTROY teardown that follows finds nothing to do.
        destroy_control_site(site.window());
        EXPECT_EQ(control.log, row.log) << row.name;
      }
      EXPECT_EQ(site.factory().refs, 1) << row.name;
    }
    EXPECT_EQ(control.refs, 1) << row.name;
    EXPECT_EQ(control.sink, nullptr) << row.name;
  }
}

TEST(SiteServices, QueryTableAnswersTheServiceProviderOnly) {
  ControlSite site(nullptr);
  IUnknown* through[] = {
      static_cast<IOleClientSite*>(&site), static_cast<IOleInPlaceSite*>(&site),
      static_cast<IDispatch*>(&site),      static_cast<IServiceProvider*>(&site),
      static_cast<IBindHost*>(&site),      static_cast<IHlinkFrame*>(&site),
  };
  const struct {
    const char* name;
    IID iid;
    void* expected;
  } rows[] = {
      {"IUnknown", IID_IUnknown, static_cast<IOleClientSite*>(&site)},
      {"IServiceProvider", IID_IServiceProvider, static_cast<IServiceProvider*>(&site)},
      {"IBindHost", IID_IBindHost, nullptr},
      {"IHlinkFrame", IID_IHlinkFrame, nullptr},
      {"IDispatch", IID_IDispatch, nullptr},
  };
  for (IUnknown* unknown : through) {
    for (const auto& row : rows) {
      void* out = reinterpret_cast<void*>(1);
      EXPECT_EQ(unknown->QueryInterface(row.iid, &out), row.expected ? S_OK : E_NOINTERFACE)
          << row.name;
      EXPECT_EQ(out, row.expected) << row.name;
    }
    EXPECT_EQ(unknown->AddRef(), 1u);
    EXPECT_EQ(unknown->Release(), 1u);
  }
}

TEST(SiteServices, QueryServiceLooksAtTheInterfaceIdAlone) {
  ControlSite site(nullptr);
  IServiceProvider* provider = &site;
  const GUID services[] = {SID_SBindHost, IID_IHlinkFrame, GUID_NULL, IID_IUnknown};
  for (const GUID& service : services) {
    void* out = nullptr;
    EXPECT_EQ(provider->QueryService(service, IID_IBindHost, &out), S_OK);
    EXPECT_EQ(out, static_cast<IBindHost*>(&site));
    EXPECT_EQ(provider->QueryService(service, IID_IHlinkFrame, &out), S_OK);
    EXPECT_EQ(out, static_cast<IHlinkFrame*>(&site));
    for (const IID& other : {IID_IUnknown, IID_IServiceProvider, IID_IOleClientSite,
                             IID_IDispatch, IID_IMoniker}) {
      out = reinterpret_cast<void*>(1);
      EXPECT_EQ(provider->QueryService(service, other, &out), E_NOINTERFACE);
      EXPECT_EQ(out, nullptr);
    }
  }
  EXPECT_EQ(provider->QueryService(SID_SBindHost, IID_IBindHost, nullptr), E_POINTER);
}

TEST(SiteServices, NavigationIsAcceptedAndDropped) {
  ControlSite site(nullptr);
  IHlinkFrame* frame = &site;
  IBindCtx* context = nullptr;
  ASSERT_EQ(CreateBindCtx(0, &context), S_OK);
  EXPECT_EQ(frame->Navigate(HLNF_NAVIGATINGFORWARD, context, nullptr, nullptr), S_OK);
  EXPECT_EQ(frame->OnNavigate(0, nullptr, nullptr, nullptr, 0), E_NOTIMPL);
  EXPECT_EQ(frame->SetBrowseContext(nullptr), E_NOTIMPL);
  EXPECT_EQ(context->Release(), 0u);  // Navigate kept nothing
  IBindHost* host = &site;
  EXPECT_EQ(host->MonikerBindToStorage(nullptr, nullptr, nullptr, IID_IStream, nullptr),
            E_NOTIMPL);
}

// The bind host over a small package: the control's side of a request.
class BindHost : public ::testing::Test {
 protected:
  static constexpr uint32_t FILE_SIZE = 200000;
  static void SetUpTestSuite() { g_fixture = new std::u16string(write_fixture_file(FILE_SIZE)); }
  static void TearDownTestSuite() {
    DeleteFileW(reinterpret_cast<const wchar_t*>(g_fixture->c_str()));
    delete g_fixture;
  }
  void SetUp() override {
    reset_player_state();
    set_executable_path_for_test(g_fixture->c_str());
    set_playback_mode(PLAYBACK_PAGE);
    ASSERT_NE(alloc_resource_table(2), nullptr);
    ASSERT_TRUE(set_fixed_entry(0, u"http://example.test/a/movie.swf", u"application/x-shockwave-flash",
                                70000, 1000));
    ASSERT_TRUE(set_fixed_entry(1, u"http://example.test/a/data.txt", u"text/plain", 10, 5));
    window_ = create_test_window();
    site_ = new ControlSite(window_);
    ASSERT_EQ(CreateBindCtx(0, &plain_context_), S_OK);
    live_ = delivery_testing::live_counts().monikers;
  }
  void TearDown() override {
    plain_context_->Release();
    delete site_;
    DestroyWindow(window_);
    reset_player_state();
  }
  IBindHost* host() { return site_; }
  int live() { return delivery_testing::live_counts().monikers - live_; }

  static std::u16string* g_fixture;
  HWND window_ = nullptr;
  IBindCtx* plain_context_ = nullptr;
  int live_ = 0;
  ControlSite* site_ = nullptr;
};
std::u16string* BindHost::g_fixture;

bool has_call(const RecordingCallback& callback, const std::string& call) {
  for (const std::string& c : callback.calls)
    if (c == call) return true;
  return false;
}

TEST_F(BindHost, RefusedNamesGetMkESyntaxAndNoMoniker) {
  for (const wchar_t* name : {L"", L"javascript:alert(1)", L"ftp://example.test/a/movie.swf",
                              L"mailto:a@example.test", L"about:blank", L"res://x.dll/y"}) {
    IMoniker* moniker = reinterpret_cast<IMoniker*>(1);
    EXPECT_EQ(host()->CreateMoniker(const_cast<LPOLESTR>(name), plain_context_, &moniker, 0),
              MK_E_SYNTAX)
        << narrow(name);
    EXPECT_EQ(moniker, nullptr) << narrow(name);
    EXPECT_EQ(live(), 0) << narrow(name);
  }
  IMoniker* moniker = reinterpret_cast<IMoniker*>(1);
  EXPECT_EQ(host()->CreateMoniker(nullptr, plain_context_, &moniker, 0), MK_E_SYNTAX);
  EXPECT_EQ(moniker, nullptr);
  EXPECT_EQ(host()->CreateMoniker(const_cast<LPOLESTR>(L"http://x/"), plain_context_, nullptr, 0),
            E_POINTER);
  EXPECT_EQ(live(), 0);
}

TEST_F(BindHost, ServedNamesGetOneCountedMonikerEach) {
  for (const wchar_t* name : {L"http://example.test/a/movie.swf", L"HTTP://EXAMPLE.TEST/A/DATA.TXT",
                              L"http://example.test/a/missing.swf", L"https://other.test/",
                              L"file:///c:/x.swf", L"relative/name.txt", L"C:\\x.swf"}) {
    IMoniker* moniker = nullptr;
    ASSERT_EQ(host()->CreateMoniker(const_cast<LPOLESTR>(name), plain_context_, &moniker, 0),
              S_OK)
        << narrow(name);
    ASSERT_NE(moniker, nullptr);
    EXPECT_EQ(live(), 1) << narrow(name);
    // The control's reference is the only one: its Release ends the moniker.
    EXPECT_EQ(moniker->Release(), 0u) << narrow(name);
    EXPECT_EQ(live(), 0) << narrow(name);
  }
}

TEST_F(BindHost, MissingEntryReportsNotFoundWhenBound) {
  IMoniker* moniker = nullptr;
  ASSERT_EQ(host()->CreateMoniker(const_cast<LPOLESTR>(L"http://example.test/a/none.swf"),
                                  plain_context_, &moniker, 0),
            S_OK);
  RecordingCallback callback;
  IBindCtx* context = make_bind_context(&callback);
  IStream* stream = nullptr;
  EXPECT_EQ(moniker->BindToStorage(context, nullptr, IID_IStream, reinterpret_cast<void**>(&stream)),
            INET_E_RESOURCE_NOT_FOUND);
  EXPECT_EQ(stream, nullptr);
  EXPECT_TRUE(has_call(callback, "OnStopBinding 0x800c0005"));
  context->Release();
  EXPECT_EQ(moniker->Release(), 0u);
  EXPECT_EQ(live(), 0);
}

TEST_F(BindHost, FoundEntryIsDeliveredThroughTheSiteWindow) {
  IMoniker* moniker = nullptr;
  ASSERT_EQ(host()->CreateMoniker(const_cast<LPOLESTR>(L"http://example.test/a/movie.swf"),
                                  plain_context_, &moniker, 0),
            S_OK);
  RecordingCallback callback;
  callback.moniker = moniker;
  IBindCtx* context = make_bind_context(&callback);
  IStream* stream = nullptr;
  HRESULT hr = moniker->BindToStorage(context, nullptr, IID_IStream,
                                      reinterpret_cast<void**>(&stream));
  EXPECT_TRUE(hr == S_OK || hr == MK_S_ASYNCHRONOUS) << std::hex << hr;
  if (stream) stream->Release();
  ASSERT_TRUE(pump_until([&] { return callback.stopped; }));
  // A finished transfer ends with S_FALSE, as the data source reports its end.
  EXPECT_TRUE(has_call(callback, "OnStopBinding 0x00000001"));
  EXPECT_EQ(callback.data, fixture_bytes(1000, 70000));
  context->Release();
  moniker->Release();
  pump_pending();
  EXPECT_EQ(live(), 0);
}

// Reading the POST key calls into the control; a fault there abandons the
// request, and the references taken on the way come back.
TEST_F(BindHost, FaultWhileReadingThePostKeyLeavesNothingHeld) {
  set_playback_mode(PLAYBACK_PAGE_POST);
  for (bool access_violation : {false, true}) {
    RecordingCallback::Options options;
    options.fault_in = "GetBindInfo";
    options.access_violation = access_violation;
    RecordingCallback callback(options);
    IBindCtx* context = make_bind_context(&callback);
    struct Request {
      IBindHost* host;
      IBindCtx* context;
      IMoniker* moniker;
    } request = {host(), context, nullptr};
    run_in_message(
        window_,
        [](void* p) {
          auto* r = static_cast<Request*>(p);
          r->host->CreateMoniker(const_cast<LPOLESTR>(L"http://example.test/a/data.txt"),
                                 r->context, &r->moniker, 0);
        },
        &request);
    EXPECT_TRUE(callback.faulted) << access_violation;
    EXPECT_EQ(request.moniker, nullptr) << access_violation;
    EXPECT_EQ(base::win::held_ref_depth(), 0u) << access_violation;
    context->Release();
    EXPECT_EQ(callback.refs, 1) << access_violation;
    EXPECT_EQ(live(), 0) << access_violation;
  }
}

}  // namespace
