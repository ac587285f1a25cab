// read_post_key and resolve_request against a real bind context holding a
// fake bind-status callback. Reference counts and CoTaskMem frees are
// counted on every path.
#include <windows.h>
#include <objidl.h>
#include <urlmon.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "resolve/resolve_win.h"
#include "resolve_fixture.h"

namespace {

using namespace resolve_test;

// Counts frees of the blocks that the fake hands out, through the malloc spy.
struct FreeSpy : IMallocSpy {
  void* watched[2] = {};
  int frees_of_watched[2] = {};
  ULONG refs = 1;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IMallocSpy) {
      *out = this;
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T cb) override { return cb; }
  void* STDMETHODCALLTYPE PostAlloc(void* p) override { return p; }
  void* STDMETHODCALLTYPE PreFree(void* p, BOOL) override {
    for (int i = 0; i < 2; ++i)
      if (p && p == watched[i]) ++frees_of_watched[i];
    return p;
  }
  void STDMETHODCALLTYPE PostFree(BOOL) override {}
  SIZE_T STDMETHODCALLTYPE PreRealloc(void* p, SIZE_T cb, void** out, BOOL) override {
    *out = p;
    return cb;
  }
  void* STDMETHODCALLTYPE PostRealloc(void* p, BOOL) override { return p; }
  void* STDMETHODCALLTYPE PreGetSize(void* p, BOOL) override { return p; }
  SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T cb, BOOL) override { return cb; }
  void* STDMETHODCALLTYPE PreDidAlloc(void* p, BOOL) override { return p; }
  int STDMETHODCALLTYPE PostDidAlloc(void*, BOOL, int actual) override { return actual; }
  void STDMETHODCALLTYPE PreHeapMinimize() override {}
  void STDMETHODCALLTYPE PostHeapMinimize() override {}
};

struct Counted : IUnknown {
  LONG refs = 1;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown) {
      *out = this;
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ULONG(++refs); }
  ULONG STDMETHODCALLTYPE Release() override { return ULONG(--refs); }
};

struct FakeCallback : IBindStatusCallback {
  LONG refs = 1;
  bool offer_callback = true;
  HRESULT bind_info_result = S_OK;
  DWORD verb = BINDVERB_POST;
  DWORD tymed = TYMED_HGLOBAL;
  HGLOBAL body = nullptr;
  DWORD body_length = 0;
  bool give_extra_info = true;
  Counted* give_unknown = nullptr;
  Counted medium_owner;  // the body's release object, as a browser hands it
  Counted stream;        // the medium of TYMED_ISTREAM
  LPWSTR handed_extra_info = nullptr;
  FreeSpy* spy = nullptr;
  int bind_info_calls = 0;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || (offer_callback && iid == IID_IBindStatusCallback)) {
      *out = static_cast<IBindStatusCallback*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ULONG(++refs); }
  ULONG STDMETHODCALLTYPE Release() override { return ULONG(--refs); }
  HRESULT STDMETHODCALLTYPE OnStartBinding(DWORD, IBinding*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetPriority(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnLowResource(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnProgress(ULONG, ULONG, ULONG, LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnStopBinding(HRESULT, LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD* flags, BINDINFO* info) override {
    ++bind_info_calls;
    if (info->cbSize != 84) return E_INVALIDARG;
    if (FAILED(bind_info_result)) return bind_info_result;
    *flags = BINDF_ASYNCHRONOUS;
    info->dwBindVerb = verb;
    info->stgmedData.tymed = tymed;
    if (tymed == TYMED_ISTREAM) {
      stream.AddRef();
      info->stgmedData.pstm = reinterpret_cast<IStream*>(static_cast<IUnknown*>(&stream));
    } else {
      info->stgmedData.hGlobal = body;
    }
    medium_owner.AddRef();
    info->stgmedData.pUnkForRelease = &medium_owner;
    info->cbstgmedData = body_length;
    if (give_extra_info) {
      handed_extra_info = static_cast<LPWSTR>(CoTaskMemAlloc(8));
      std::memcpy(handed_extra_info, L"x=1", 8);
      info->szExtraInfo = handed_extra_info;
      info->szCustomVerb = static_cast<LPWSTR>(CoTaskMemAlloc(10));
      std::memcpy(info->szCustomVerb, L"POST", 10);
      if (spy) {
        spy->watched[0] = handed_extra_info;
        spy->watched[1] = info->szCustomVerb;
        spy->frees_of_watched[0] = spy->frees_of_watched[1] = 0;
      }
    }
    if (give_unknown) {
      give_unknown->AddRef();
      info->pUnk = give_unknown;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnObjectAvailable(REFIID, IUnknown*) override { return S_OK; }
};

HGLOBAL make_body(const char* bytes, size_t n) {
  HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, n);
  std::memcpy(GlobalLock(h), bytes, n);
  GlobalUnlock(h);
  return h;
}

class PostKeyTest : public ResolveTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    spy_registered = SUCCEEDED(CoRegisterMallocSpy(&spy));
    ASSERT_TRUE(SUCCEEDED(CreateBindCtx(0, &bind_context)));
  }
  void TearDown() override {
    bind_context->Release();
    if (spy_registered) CoRevokeMallocSpy();
    CoUninitialize();
    ResolveTest::TearDown();
  }
  // Registers the fake under "_BSCB_Holder_".
  void hold(FakeCallback* fake) {
    ASSERT_EQ(bind_context->RegisterObjectParam(const_cast<wchar_t*>(L"_BSCB_Holder_"),
                                                static_cast<IBindStatusCallback*>(fake)),
              S_OK);
  }
  FreeSpy spy;
  bool spy_registered = false;
  IBindCtx* bind_context = nullptr;
};

TEST_F(PostKeyTest, NoBindContextOrNoHolderGivesNoKey) {
  EXPECT_EQ(read_post_key(nullptr), nullptr);
  EXPECT_EQ(read_post_key(bind_context), nullptr);
}

struct BodyCase {
  const char* name;
  bool offer_callback;
  HRESULT bind_info_result;
  DWORD verb;
  DWORD tymed;
  const char* body;  // null: no HGLOBAL
  DWORD body_length;
  const char* key;   // null: no key
};

TEST_F(PostKeyTest, EveryPathGivesTheRightKeyAndLeaksNothing) {
  const BodyCase cases[] = {
      {"no callback interface", false, S_OK, BINDVERB_POST, TYMED_HGLOBAL, "abc", 3, nullptr},
      {"GetBindInfo fails", true, E_FAIL, BINDVERB_POST, TYMED_HGLOBAL, "abc", 3, nullptr},
      {"GET", true, S_OK, BINDVERB_GET, TYMED_HGLOBAL, "abc", 3, nullptr},
      {"PUT", true, S_OK, BINDVERB_PUT, TYMED_HGLOBAL, "abc", 3, nullptr},
      {"stream medium", true, S_OK, BINDVERB_POST, TYMED_ISTREAM, "abc", 3, nullptr},
      {"empty body", true, S_OK, BINDVERB_POST, TYMED_HGLOBAL, "abc", 0, nullptr},
      {"no memory handle", true, S_OK, BINDVERB_POST, TYMED_HGLOBAL, nullptr, 3, nullptr},
      {"one byte", true, S_OK, BINDVERB_POST, TYMED_HGLOBAL, "a", 1, "YQ=="},
      {"three bytes", true, S_OK, BINDVERB_POST, TYMED_HGLOBAL, "abc", 3, "YWJj"},
      {"length below block", true, S_OK, BINDVERB_POST, TYMED_HGLOBAL, "abcdef", 2, "YWI="},
  };
  ASSERT_TRUE(spy_registered) << "frees could not be counted";
  for (const BodyCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeCallback fake;
    Counted unknown;
    fake.offer_callback = c.offer_callback;
    fake.bind_info_result = c.bind_info_result;
    fake.verb = c.verb;
    fake.tymed = c.tymed;
    fake.body = c.body ? make_body(c.body, std::strlen(c.body)) : nullptr;
    fake.body_length = c.body_length;
    fake.give_unknown = &unknown;
    fake.spy = &spy;
    hold(&fake);
    LONG refs_before = fake.refs;
    char* key = read_post_key(bind_context);
    EXPECT_EQ(fake.refs, refs_before) << "holder or callback not released";
    EXPECT_EQ(unknown.refs, 1) << "pUnk not released";
    EXPECT_EQ(fake.medium_owner.refs, 1) << "medium not released exactly once";
    EXPECT_EQ(fake.stream.refs, 1) << "stream medium not released exactly once";
    EXPECT_EQ(std::string(key ? key : "(none)"), std::string(c.key ? c.key : "(none)"));
    std::free(key);
    if (fake.handed_extra_info && spy_registered) {
      EXPECT_EQ(spy.frees_of_watched[0], 1) << "extra info not freed exactly once";
      EXPECT_EQ(spy.frees_of_watched[1], 1) << "custom verb not freed exactly once";
    }
    spy.watched[0] = spy.watched[1] = nullptr;
    if (fake.body) {
      // Given back through its release object: the block stays the fake's.
      EXPECT_NE(GlobalSize(fake.body), 0u);
      GlobalFree(fake.body);
    }
    bind_context->RevokeObjectParam(const_cast<wchar_t*>(L"_BSCB_Holder_"));
    EXPECT_EQ(fake.refs, 1);
  }
}

TEST_F(PostKeyTest, LengthBeyondTheBlockReadsOnlyTheBlock) {
  FakeCallback fake;
  fake.body = make_body("abc", 3);
  fake.body_length = 1000000;
  hold(&fake);
  char* key = read_post_key(bind_context);
  ASSERT_NE(key, nullptr);
  size_t block = GlobalSize(fake.body);
  EXPECT_EQ(std::strlen(key), (block + 2) / 3 * 4);
  EXPECT_EQ(std::string(key).substr(0, 4), "YWJj");
  std::free(key);
  GlobalFree(fake.body);
}

TEST_F(PostKeyTest, ResolveRequestUsesTheBodyOnlyInPostMode) {
  char* k1 = nullptr;
  char* k2 = nullptr;
  base64_encode("first", 5, &k1);
  base64_encode("second", 6, &k2);
  load_table({{u"http://example.test/gw", nullptr, k1}, {u"http://example.test/gw", nullptr, k2}});
  FakeCallback fake;
  fake.body = make_body("second", 6);
  fake.body_length = 6;
  hold(&fake);

  const struct { int32_t mode; const char16_t* url; HRESULT hr; int32_t index; int calls; } cases[] = {
      {PLAYBACK_PAGE_POST, u"http://EXAMPLE.test/gw", S_OK, 1, 1},
      {PLAYBACK_PAGE, u"http://example.test/gw", S_OK, 0, 0},
      {PLAYBACK_VIDEO, u"http://example.test/gw", S_OK, 0, 0},
      {PLAYBACK_PAGE_POST, u"ftp://example.test/gw", MK_E_SYNTAX, -1, 0},
      {PLAYBACK_PAGE_POST, u"", MK_E_SYNTAX, -1, 0},
      {PLAYBACK_PAGE_POST, u"http://example.test/none", S_OK, -1, 1},
  };
  for (const auto& c : cases) {
    set_playback_mode(c.mode);
    fake.bind_info_calls = 0;
    int32_t index = 7;
    EXPECT_EQ(resolve_request(c.url, bind_context, &index), c.hr) << narrow(c.url);
    EXPECT_EQ(index, c.index) << narrow(c.url);
    EXPECT_EQ(fake.bind_info_calls, c.calls) << narrow(c.url);
  }
  // Without a bind context mode 2 proceeds without a key.
  set_playback_mode(PLAYBACK_PAGE_POST);
  int32_t index = 7;
  EXPECT_EQ(resolve_request(u"http://example.test/gw", nullptr, &index), S_OK);
  EXPECT_EQ(index, 0);
  GlobalFree(fake.body);
  std::free(k1);
  std::free(k2);
}

}  // namespace
