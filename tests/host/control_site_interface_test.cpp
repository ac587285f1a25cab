#include <windows.h>

#include <cstddef>
#include <cstring>

#include <gtest/gtest.h>

#include "host/control_site.h"
#include "host/shockwave_flash.h"

namespace {

// The vtable slot of a virtual member function, from GCC's pointer-to-member
// representation (byte offset into the vtable plus one).
template <class F>
ptrdiff_t slot_of(F f) {
  ptrdiff_t raw;
  std::memcpy(&raw, &f, sizeof raw);
  return (raw - 1) / ptrdiff_t(sizeof(void*));
}

TEST(ShockwaveFlash, UsedSlotsSitAtTheirPublishedPositions) {
  EXPECT_EQ(slot_of(&IShockwaveFlash::put_ScaleMode), 14);
  EXPECT_EQ(slot_of(&IShockwaveFlash::put_Movie), 22);
  EXPECT_EQ(slot_of(&IShockwaveFlash::FlashVersion), 39);
  EXPECT_EQ(slot_of(&IShockwaveFlash::put_Base), 47);
  EXPECT_EQ(slot_of(&IShockwaveFlash::put_FlashVars), 77);
  EXPECT_EQ(slot_of(&IShockwaveFlash::CallFunction), 93);
  EXPECT_EQ(slot_of(&IShockwaveFlash::Invoke), 6);
}

TEST(ControlSite, QueryTable) {
  ControlSite site(nullptr);
  IUnknown* client = static_cast<IOleClientSite*>(&site);
  const struct {
    const char* name;
    IID iid;
    void* expected;
    HRESULT hr;
  } cases[] = {
      {"IUnknown", IID_IUnknown, static_cast<IOleClientSite*>(&site), S_OK},
      {"IOleClientSite", IID_IOleClientSite, static_cast<IOleClientSite*>(&site), S_OK},
      {"IOleInPlaceSite", IID_IOleInPlaceSite, static_cast<IOleInPlaceSite*>(&site), S_OK},
      {"events", DIID_FLASH_EVENTS, static_cast<IDispatch*>(&site), S_OK},
      {"IDispatch", IID_IDispatch, nullptr, E_NOINTERFACE},
      {"IOleWindow", IID_IOleWindow, nullptr, E_NOINTERFACE},
      {"IOleContainer", IID_IOleContainer, nullptr, E_NOINTERFACE},
      {"IOleInPlaceFrame", IID_IOleInPlaceFrame, nullptr, E_NOINTERFACE},
  };
  IUnknown* through[] = {client, static_cast<IOleInPlaceSite*>(&site),
                         static_cast<IDispatch*>(&site)};
  for (IUnknown* unknown : through) {
    for (const auto& c : cases) {
      void* out = reinterpret_cast<void*>(1);
      EXPECT_EQ(unknown->QueryInterface(c.iid, &out), c.hr) << c.name;
      EXPECT_EQ(out, c.expected) << c.name;
    }
    EXPECT_EQ(unknown->AddRef(), 1u);
    EXPECT_EQ(unknown->Release(), 1u);
  }
}

TEST(ControlSite, FrameAnswersNoQueryAndLeavesTheOutPointer) {
  ControlSite site(nullptr);
  IOleInPlaceFrame* frame = nullptr;
  IOleInPlaceUIWindow* document = reinterpret_cast<IOleInPlaceUIWindow*>(1);
  OLEINPLACEFRAMEINFO info = {};
  info.cb = 1234;
  info.cAccelEntries = 9;
  ASSERT_EQ(static_cast<IOleInPlaceSite&>(site).GetWindowContext(&frame, &document, nullptr,
                                                                  nullptr, &info),
            S_OK);
  ASSERT_EQ(frame, static_cast<IOleInPlaceFrame*>(&site));
  EXPECT_EQ(document, nullptr);
  EXPECT_EQ(info.cb, 1234u);  // left as the caller set it
  EXPECT_EQ(info.cAccelEntries, 0u);
  void* out = reinterpret_cast<void*>(7);
  EXPECT_EQ(frame->QueryInterface(IID_IUnknown, &out), E_NOTIMPL);
  EXPECT_EQ(out, reinterpret_cast<void*>(7));
}

TEST(ControlSite, ClientSiteAnswers) {
  ControlSite site(nullptr);
  IOleClientSite& client = site;
  IMoniker* moniker = reinterpret_cast<IMoniker*>(3);
  EXPECT_EQ(client.GetMoniker(0, 0, &moniker), E_FAIL);
  EXPECT_EQ(moniker, reinterpret_cast<IMoniker*>(3));
  IOleContainer* container = reinterpret_cast<IOleContainer*>(3);
  EXPECT_EQ(client.GetContainer(&container), E_NOINTERFACE);
  EXPECT_EQ(container, nullptr);
  // Without a control a position change is still accepted.
  RECT r = {1, 2, 3, 4};
  EXPECT_EQ(static_cast<IOleInPlaceSite&>(site).OnPosRectChange(&r), S_OK);
}

TEST(ControlSite, DestroyingAWindowWithoutASiteDoesNothing) {
  HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr,
                                nullptr);
  ASSERT_NE(window, nullptr);
  destroy_control_site(window);
  EXPECT_EQ(control_site_of(window), nullptr);
  DestroyWindow(window);
}

}  // namespace
