#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/win/held_ref.h"
#include "base/win/platform.h"
#include "delivery/delivery_testing.h"
#include "delivery/resource_moniker.h"
#include "delivery/resource_stream.h"
#include "delivery_support.h"
#include "package/platform.h"
#include "package/player_state.h"

namespace {

constexpr uint32_t FILE_SIZE = 0x100000;
constexpr const char* URL = "http://example.com/movie.swf";
using Calls = std::vector<std::string>;

std::u16string* g_fixture_path;

class DeliveryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { g_fixture_path = new std::u16string(write_fixture_file(FILE_SIZE)); }
  static void TearDownTestSuite() {
    DeleteFileW(reinterpret_cast<const wchar_t*>(g_fixture_path->c_str()));
  }

  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ASSERT_TRUE(FreeCounter::instance().start()) << "frees could not be counted";
    window_ = create_test_window();
    ASSERT_NE(window_, nullptr);
    reset_platform_cache();
    set_executable_path_for_test(g_fixture_path->c_str());
    ASSERT_NE(alloc_resource_table(4), nullptr);
    g_player_ready_messages = 0;
  }

  void TearDown() override {
    pump_pending();
    const delivery_testing::LiveCounts live = delivery_testing::live_counts();
    EXPECT_EQ(live.monikers, 0);
    EXPECT_EQ(live.streams, 0);
    EXPECT_EQ(live.buffers, 0);
    EXPECT_EQ(live.files, 0);
    EXPECT_EQ(live.timers, 0);
    // Extra info, custom verb and extra headers: each freed exactly once.
    EXPECT_TRUE(FreeCounter::instance().each_freed_once());
    delivery_testing::fail_chunk_buffers(false);
    delivery_testing::fail_file_reads(false);
    set_video_player_loading(false);
    DestroyWindow(window_);
    reset_player_state();
    reset_platform_cache();
    FreeCounter::instance().stop();
    CoUninitialize();
  }

  static void entry(int32_t index, uint32_t size, uint32_t offset,
                    const char16_t* type = nullptr, const char16_t* alternate = nullptr) {
    const std::u16string url(URL, URL + std::char_traits<char>::length(URL));
    set_entry_url(url.c_str(), index, int32_t(url.size()));
    if (type) set_entry_content_type(type, index, int32_t(std::char_traits<char16_t>::length(type)));
    if (alternate)
      set_entry_alternate_url(alternate, index,
                              int32_t(std::char_traits<char16_t>::length(alternate)));
    resource_table()[index].size = int32_t(size);
    resource_table()[index].data_offset = int32_t(offset);
  }

  // A new moniker, bound; the callback holds the control's reference to it.
  HRESULT bind(int32_t index, RecordingCallback& callback) {
    callback.moniker = resource_moniker_interface(create_resource_moniker(index, window_));
    IBindCtx* context = make_bind_context(&callback);
    void* out = &callback;
    HRESULT hr = callback.moniker->BindToStorage(context, nullptr, IID_IStream, &out);
    EXPECT_EQ(out, nullptr);
    context->Release();
    return hr;
  }

  static bool finish(RecordingCallback& callback) {
    return pump_until([&] { return callback.stopped; });
  }

  // Drops what the control would hold; the callback must be back to the test's reference.
  static void release(RecordingCallback& callback) {
    if (callback.binding) callback.binding->Release();
    if (callback.moniker) callback.moniker->Release();
    if (callback.kept_stream) callback.kept_stream->Release();
    callback.binding = nullptr;
    callback.moniker = nullptr;
    callback.kept_stream = nullptr;
    EXPECT_EQ(callback.refs, 1);
    EXPECT_EQ(callback.calls_after_death, 0);
  }

  HWND window_ = nullptr;
};

Calls only(const Calls& calls, const std::vector<std::string>& prefixes) {
  Calls out;
  for (const std::string& call : calls)
    for (const std::string& prefix : prefixes)
      if (call.compare(0, prefix.size(), prefix) == 0) out.push_back(call);
  return out;
}

// The data notifications and the progress that comes with later chunks.
Calls data_calls(const Calls& calls) {
  Calls out;
  for (const std::string& call : calls) {
    if (call.compare(0, 15, "OnDataAvailable") == 0 ||
        (call.compare(0, 10, "OnProgress") == 0 &&
         (call.find(" DOWNLOADINGDATA ") != std::string::npos ||
          call.find(" ENDDOWNLOADDATA ") != std::string::npos)))
      out.push_back(call);
  }
  return out;
}

TEST_F(DeliveryTest, OneChunkEntryCallSequence) {
  const std::string url = URL;
  for (const char16_t* type : {static_cast<const char16_t*>(nullptr), u"text/plain"}) {
    entry(0, 0x8000, 0x1000, type);
    RecordingCallback callback;
    EXPECT_EQ(bind(0, callback), S_OK);
    // Asynchronous: the data comes only from the message loop.
    EXPECT_EQ(callback.calls, (Calls{"GetBindInfo", "OnStartBinding"}));
    ASSERT_TRUE(finish(callback));
    Calls expected = {"GetBindInfo", "OnStartBinding", "OnProgress 1/32768 CONNECTING " + url,
                      "BeginningTransaction " + url, "OnProgress 1/32768 SENDINGREQUEST " + url, "OnResponse 200"};
    if (type) expected.push_back("OnProgress 1/32768 MIMETYPEAVAILABLE text/plain");
    expected.insert(expected.end(), {"OnProgress 1/32768 BEGINDOWNLOADDATA " + url,
                                     "OnProgress 32768/32768 ENDDOWNLOADDATA " + url, "OnDataAvailable 5 32768",
                                     "OnStopBinding 0x00000001"});
    EXPECT_EQ(callback.calls, expected);
    EXPECT_TRUE(callback.data == fixture_bytes(0x1000, 0x8000));
    EXPECT_EQ(callback.last_read, S_FALSE);
    release(callback);
    reset_player_state();
    alloc_resource_table(1);
  }
}

TEST_F(DeliveryTest, ChunkFlagsProgressAndTotals) {
  const std::string u = std::string(" ") + URL;
  const struct {
    uint32_t size;
    Calls later;  // data notifications and the progress after the first data
  } cases[] = {
      {0x20001, {"OnDataAvailable 1 131073", "OnProgress 65536/131073 DOWNLOADINGDATA" + u,
                 "OnDataAvailable 2 131073", "OnProgress 131073/131073 ENDDOWNLOADDATA" + u,
                 "OnDataAvailable 4 131073"}},
      {0x10000, {"OnProgress 65536/65536 ENDDOWNLOADDATA" + u, "OnDataAvailable 5 65536"}},
      {0x10001, {"OnDataAvailable 1 65537", "OnProgress 65537/65537 ENDDOWNLOADDATA" + u,
                 "OnDataAvailable 4 65537"}},
      {1, {"OnProgress 1/1 ENDDOWNLOADDATA" + u, "OnDataAvailable 5 1"}},
      {0, {}},
  };
  for (const auto& c : cases) {
    entry(0, c.size, 3);
    RecordingCallback callback;
    EXPECT_EQ(bind(0, callback), S_OK);
    ASSERT_TRUE(finish(callback));
    EXPECT_EQ(data_calls(callback.calls), c.later) << c.size;
    EXPECT_EQ(callback.calls.back(), "OnStopBinding 0x00000001");
    if (c.size == 0) {
      EXPECT_EQ(callback.calls, (Calls{"GetBindInfo", "OnStartBinding", "OnStopBinding 0x00000001"}));
    }
    EXPECT_TRUE(callback.data == fixture_bytes(3, c.size)) << c.size;
    release(callback);
  }
}

TEST_F(DeliveryTest, MissingEntryIsReportedOnce) {
  entry(0, 10, 0);
  for (int32_t index : {-1, 4, 1000}) {
    RecordingCallback callback;
    EXPECT_EQ(bind(index, callback), INET_E_RESOURCE_NOT_FOUND);
    EXPECT_EQ(callback.calls, (Calls{"GetBindInfo", "OnStopBinding 0x800c0005"}));
    pump_pending();
    EXPECT_EQ(callback.calls.size(), 2u);
    release(callback);
  }
}

TEST_F(DeliveryTest, BindWithoutContextOrCallbackFailsQuietly) {
  entry(0, 10, 0);
  IMoniker* moniker = resource_moniker_interface(create_resource_moniker(0, window_));
  EXPECT_EQ(moniker->BindToStorage(nullptr, nullptr, IID_IStream, nullptr), E_UNEXPECTED);
  IBindCtx* empty = nullptr;
  ASSERT_EQ(CreateBindCtx(0, &empty), S_OK);
  EXPECT_TRUE(FAILED(moniker->BindToStorage(empty, nullptr, IID_IStream, nullptr)));
  empty->Release();
  moniker->Release();
}

TEST_F(DeliveryTest, AlternateUrlIsReportedAndDisplayNameIsTheUrl) {
  entry(0, 100, 0, u"text/xml", u"http://alt.example/x");
  RecordingCallback callback;
  EXPECT_EQ(bind(0, callback), S_OK);
  ASSERT_TRUE(finish(callback));
  for (const std::string& call : only(callback.calls, {"OnProgress", "BeginningTransaction"}))
    if (call.find(" MIMETYPEAVAILABLE ") == std::string::npos) {
      EXPECT_NE(call.find("http://alt.example/x"), std::string::npos) << call;
    }
  LPOLESTR name = nullptr;
  EXPECT_EQ(callback.moniker->GetDisplayName(nullptr, nullptr, &name), S_OK);
  EXPECT_EQ(narrow(name), URL);
  CoTaskMemFree(name);
  EXPECT_EQ(callback.moniker->GetDisplayName(nullptr, nullptr, nullptr), E_UNEXPECTED);
  release(callback);
}

TEST_F(DeliveryTest, DisplayNameWithoutEntryIsNeverSuccess) {
  IMoniker* left = nullptr;
  ASSERT_EQ(CreateItemMoniker(L"!", L"left", &left), S_OK);
  IMoniker* moniker = resource_moniker_interface(create_resource_moniker(-1, nullptr));
  for (IMoniker* l : {static_cast<IMoniker*>(nullptr), left}) {
    LPOLESTR name = reinterpret_cast<LPOLESTR>(1);
    EXPECT_TRUE(FAILED(moniker->GetDisplayName(nullptr, l, &name)));
    EXPECT_EQ(name, nullptr);
  }
  moniker->Release();
  left->Release();
}

TEST_F(DeliveryTest, ResponseHeaderText) {
  const struct {
    const char16_t* type;
    const wchar_t* header;
  } cases[] = {
      {u"text/xml", L"HTTP/1.1 200 OK\r\nAccept-Range: bytes\r\nContent-Length: 1234\r\n"
                    L"Content-Type: text/xml\r\n\r\n"},
      {nullptr, L"HTTP/1.1 200 OK\r\nAccept-Range: bytes\r\nContent-Length: 1234\r\n\r\n"},
  };
  for (const auto& c : cases) {
    reset_player_state();
    alloc_resource_table(1);
    entry(0, 1234, 0, c.type);
    RecordingCallback callback;
    bind(0, callback);
    ASSERT_TRUE(finish(callback));
    EXPECT_EQ(callback.response, c.header);
    release(callback);
  }
}

TEST_F(DeliveryTest, WithoutNegotiationOnlyTheResponseIsSkipped) {
  entry(0, 100, 0);
  RecordingCallback::Options no_provider, no_service;
  no_provider.service_provider = false;
  no_service.negotiate = false;
  for (const auto& options : {no_provider, no_service}) {
    RecordingCallback callback(options);
    bind(0, callback);
    ASSERT_TRUE(finish(callback));
    EXPECT_EQ(only(callback.calls, {"BeginningTransaction", "OnResponse"}), Calls{});
    EXPECT_EQ(only(callback.calls, {"OnProgress"}).size(), 4u);
    EXPECT_TRUE(callback.data == fixture_bytes(0, 100));
    release(callback);
  }
}

TEST_F(DeliveryTest, StreamReadAndStat) {
  entry(0, 100, 50);
  for (bool loading : {false, true}) {
    set_video_player_loading(loading);
    g_player_ready_messages = 0;
    RecordingCallback::Options options;
    options.read_in_data = false;
    options.keep_stream = true;
    RecordingCallback callback(options);
    bind(0, callback);
    ASSERT_TRUE(finish(callback));
    IStream* stream = callback.kept_stream;
    char buffer[1000];
    ULONG got = 7;
    EXPECT_EQ(stream->Read(nullptr, 10, &got), STG_E_INVALIDPOINTER);
    EXPECT_EQ(stream->Read(buffer, 0, &got), STG_E_INVALIDPOINTER);
    EXPECT_EQ(stream->Read(buffer, 10, nullptr), STG_E_INVALIDPOINTER);
    EXPECT_EQ(got, 7u);
    EXPECT_EQ(stream->Stat(nullptr, STATFLAG_DEFAULT), STG_E_INVALIDPOINTER);
    EXPECT_EQ(stream->Read(buffer, 30, &got), S_OK);
    EXPECT_EQ(got, 30u);
    EXPECT_EQ(stream->Read(buffer + 30, sizeof buffer, &got), S_OK);
    EXPECT_EQ(got, 70u);
    EXPECT_TRUE(std::string(buffer, 100) == fixture_bytes(50, 100));
    EXPECT_EQ(stream->Read(buffer, 10, &got), S_FALSE);
    EXPECT_EQ(got, 0u);
    pump_pending();
    EXPECT_EQ(g_player_ready_messages, loading ? 1 : 0);
    release(callback);
  }
  set_video_player_loading(false);
}

TEST_F(DeliveryTest, StatGivesTheTotalBeforeAnyData) {
  ResourceStream* stream = create_resource_stream(1234, window_, nullptr);
  STATSTG stat;
  std::memset(&stat, 0xcc, sizeof stat);
  EXPECT_EQ(stream->Stat(&stat, STATFLAG_DEFAULT), S_OK);
  EXPECT_EQ(stat.type, DWORD(STGTY_STREAM));
  EXPECT_EQ(stat.cbSize.QuadPart, 1234u);
  EXPECT_EQ(stat.pwcsName, nullptr);
  IUnknown* out = nullptr;
  EXPECT_EQ(stream->QueryInterface(IID_IMoniker, reinterpret_cast<void**>(&out)), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(stream->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&out)), S_OK);
  EXPECT_EQ(out, static_cast<IStream*>(stream));
  out->Release();
  stream->Release();
}

TEST_F(DeliveryTest, QueryInterfaceAnswersAndCounts) {
  ResourceMoniker* resource = create_resource_moniker(0, window_);
  IMoniker* moniker = resource;
  const struct {
    const IID* iid;
    void* expected;
  } cases[] = {
      {&IID_IUnknown, moniker},
      {&IID_IPersist, moniker},
      {&IID_IPersistStream, moniker},
      {&IID_IMoniker, moniker},
      {&IID_IAsyncMoniker, moniker},
      {&IID_IROTData, static_cast<IROTData*>(resource)},
      {&IID_IBinding, static_cast<IBinding*>(resource)},
      {&IID_IStream, nullptr},
      {&IID_IBindStatusCallback, nullptr},
  };
  for (const auto& c : cases) {
    void* out = &out;
    EXPECT_EQ(moniker->QueryInterface(*c.iid, &out), c.expected ? S_OK : E_NOINTERFACE);
    EXPECT_EQ(out, c.expected);
    // A counted reference: releasing it must not end the moniker.
    if (out) static_cast<IUnknown*>(out)->Release();
    EXPECT_EQ(delivery_testing::live_counts().monikers, 1);
  }
  EXPECT_EQ(moniker->Release(), 0u);
}

// Abort as urlmon answers it: the transfer stops at once (no timer, no file,
// no further notification), OnStopBinding comes once with E_ABORT, and a
// second Abort fails; after the end an Abort changes nothing. urlmon has no
// binding before binding starts: an Abort then must not disarm a later one.
TEST_F(DeliveryTest, AbortStopsTheTransferOnce) {
  constexpr const char* ABORTED = "OnStopBinding 0x80004004";
  const struct {
    const char* inside;  // Abort from inside the first call recorded with this text
    int wait;            // else from outside: 0 at once, 1 after the first data, 2 after the end
    uint32_t size;
    uint32_t data;       // bytes the control still gets
    const char* stop;
    bool before_bind = false;  // an Abort on the IBinding before BindToStorage comes first
  } cases[] = {
      {nullptr, 0, 0x20001, 0, ABORTED},
      {nullptr, 0, 0x20001, 0, ABORTED, true},
      {nullptr, 1, 0x20001, 0x10000, ABORTED},
      {"OnStartBinding", 0, 0x20001, 0, ABORTED},
      {" CONNECTING ", 0, 0x20001, 0, ABORTED},
      {"BeginningTransaction", 0, 0x20001, 0, ABORTED},
      {" SENDINGREQUEST ", 0, 0x20001, 0, ABORTED},
      {"OnResponse", 0, 0x20001, 0, ABORTED},
      {" MIMETYPEAVAILABLE ", 0, 0x20001, 0, ABORTED},
      {" BEGINDOWNLOADDATA ", 0, 0x20001, 0, ABORTED},
      {"OnDataAvailable", 0, 0x20001, 0x10000, ABORTED},
      {" DOWNLOADINGDATA ", 0, 0x20001, 0x10000, ABORTED},
      {" ENDDOWNLOADDATA ", 0, 0x20001, 0x20000, ABORTED},
      {"OnDataAvailable", 0, 0x8000, 0x8000, ABORTED},  // the last one
      {nullptr, 2, 0x20001, 0x20001, "OnStopBinding 0x00000001"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.inside ? c.inside : "outside") + " " + std::to_string(c.wait) +
                 " " + std::to_string(c.size) + (c.before_bind ? " before bind" : ""));
    entry(0, c.size, 0, u"text/plain");
    RecordingCallback::Options options;
    options.abort_in = c.inside != nullptr;
    options.abort_at = c.inside;
    options.keep_stream = true;
    RecordingCallback callback(options);
    // The control's own hold on the binding, kept past OnStopBinding.
    IBinding* binding = nullptr;
    if (c.before_bind) {
      callback.moniker = resource_moniker_interface(create_resource_moniker(0, window_));
      ASSERT_EQ(callback.moniker->QueryInterface(IID_IBinding, reinterpret_cast<void**>(&binding)),
                S_OK);
      EXPECT_EQ(binding->Abort(), S_OK);
      IBindCtx* context = make_bind_context(&callback);
      EXPECT_EQ(callback.moniker->BindToStorage(context, nullptr, IID_IStream, nullptr), S_OK);
      context->Release();
    } else {
      EXPECT_EQ(bind(0, callback), S_OK);
      ASSERT_EQ(callback.moniker->QueryInterface(IID_IBinding, reinterpret_cast<void**>(&binding)),
                S_OK);
    }
    if (!c.inside) {
      if (c.wait == 1) {
        ASSERT_TRUE(pump_until([&] { return !callback.data.empty(); }));
      }
      if (c.wait == 2) {
        ASSERT_TRUE(finish(callback));
      }
      EXPECT_EQ(binding->Abort(), S_OK);
    } else {
      ASSERT_TRUE(finish(callback));
      EXPECT_EQ(callback.abort_result, S_OK);
    }
    EXPECT_TRUE(callback.stopped);
    EXPECT_EQ(delivery_testing::live_counts().timers, 0);
    EXPECT_EQ(delivery_testing::live_counts().files, 0);
    EXPECT_EQ(binding->Abort(), E_FAIL);
    pump_until([] { return false; }, 100);
    EXPECT_EQ(only(callback.calls, {"OnStopBinding"}), Calls{c.stop});
    EXPECT_EQ(callback.calls.back(), c.stop);
    EXPECT_TRUE(callback.data == fixture_bytes(0, c.data)) << callback.data.size();
    // The stream the control holds hands out what was in place before the
    // abort, then says nothing more will come.
    if (callback.kept_stream) {
      const HRESULT end = callback.drain(callback.kept_stream);
      if (callback.data.size() < c.size) EXPECT_EQ(end, E_ABORT);
    }
    binding->Release();
    release(callback);
    EXPECT_EQ(delivery_testing::live_counts().monikers, 0);
  }
}

// A control that lets go of the moniker once bound, keeping only the
// IBinding, still gets every byte, and afterwards nothing is left.
TEST_F(DeliveryTest, MonikerReleasedAfterBindingStillDelivers) {
  entry(0, 0x20001, 7);
  RecordingCallback callback;
  EXPECT_EQ(bind(0, callback), S_OK);
  callback.moniker->Release();
  callback.moniker = nullptr;
  ASSERT_TRUE(finish(callback));
  EXPECT_TRUE(callback.data == fixture_bytes(7, 0x20001));
  EXPECT_EQ(callback.calls.back(), "OnStopBinding 0x00000001");
  release(callback);
  EXPECT_EQ(delivery_testing::live_counts().monikers, 0);
  EXPECT_EQ(delivery_testing::live_counts().streams, 0);
}

// ReadFile calls of this program, by whether an OVERLAPPED came with them.
int g_reads[2];
void* g_read_file;
BOOL WINAPI spy_read_file(HANDLE file, void* buffer, DWORD size, DWORD* got, OVERLAPPED* at) {
  ++g_reads[at != nullptr];
  return reinterpret_cast<decltype(&ReadFile)>(g_read_file)(file, buffer, size, got, at);
}

// The 9x family cannot read at an OVERLAPPED offset (Wine can, so only the
// call shows it): there each chunk is read after positioning the moniker's
// own file; NT keeps the offset form. Two transfers interleave, so a shared
// position would show in the data.
TEST_F(DeliveryTest, ChunkReadsTakeThePlatformsForm) {
  ScopedImport spy("kernel32.dll", "ReadFile", reinterpret_cast<void*>(spy_read_file));
  g_read_file = spy.original();
  ASSERT_NE(g_read_file, nullptr);
  for (bool nt : {true, false}) {
    SCOPED_TRACE(nt ? "NT" : "9x");
    set_nt_platform_for_test(nt);
    entry(0, 0x20001, 0x123);
    entry(1, 0x18000, 0x50000);
    g_reads[0] = g_reads[1] = 0;
    RecordingCallback first, second;
    bind(0, first);
    bind(1, second);
    ASSERT_TRUE(pump_until([&] { return first.stopped && second.stopped; }));
    EXPECT_TRUE(first.data == fixture_bytes(0x123, 0x20001));
    EXPECT_TRUE(second.data == fixture_bytes(0x50000, 0x18000));
    EXPECT_EQ(g_reads[1], nt ? 5 : 0);
    EXPECT_EQ(g_reads[0], nt ? 0 : 5);
    release(first);
    release(second);
  }
}

TEST_F(DeliveryTest, SecondBindIsRefusedAndTheFirstGoesOn) {
  entry(0, 0x18000, 0);
  RecordingCallback callback, second;
  bind(0, callback);
  IBindCtx* context = make_bind_context(&second);
  EXPECT_EQ(callback.moniker->BindToStorage(context, nullptr, IID_IStream, nullptr), E_UNEXPECTED);
  context->Release();
  ASSERT_TRUE(finish(callback));
  EXPECT_TRUE(callback.data == fixture_bytes(0, 0x18000));
  EXPECT_TRUE(second.calls.empty());
  release(callback);
}

TEST_F(DeliveryTest, EveryByteArrivesForManySizes) {
  const uint32_t sizes[] = {2, 0x7fff, 0xffff, 0x10000, 0x10001, 0x1ffff, 0x30000, 0x4a3c1};
  const ULONG read_sizes[] = {1, 0x1000, 0x10000, 0x10010};
  int turn = 0;
  for (uint32_t size : sizes) {
    for (ULONG read_size : read_sizes) {
      if (read_size == 1 && size > 0x20000) continue;
      const uint32_t offset = (size * 7 + read_size) % (FILE_SIZE - size);
      entry(0, size, offset);
      RecordingCallback::Options options;
      options.read_size = read_size;
      RecordingCallback callback(options);
      bind(0, callback);
      ASSERT_TRUE(finish(callback));
      EXPECT_TRUE(callback.data == fixture_bytes(offset, size)) << size << " " << read_size;
      EXPECT_EQ(only(callback.calls, {"OnDataAvailable"}).size(), (size + 0xffff) / 0x10000);
      release(callback);
      ++turn;
    }
  }
  EXPECT_GT(turn, 20);
}

TEST_F(DeliveryTest, HundredTransfersAtOnce) {
  constexpr int N = 100;
  reset_player_state();
  alloc_resource_table(N);
  std::vector<RecordingCallback> callbacks(N);
  for (int i = 0; i < N; ++i) entry(i, uint32_t(i * 3001 + 1), uint32_t(i * 5003));
  for (int i = 0; i < N; ++i) EXPECT_EQ(bind(i, callbacks[i]), S_OK);
  EXPECT_EQ(delivery_testing::live_counts().files, N);
  ASSERT_TRUE(pump_until([&] {
    for (auto& c : callbacks)
      if (!c.stopped) return false;
    return true;
  }));
  for (int i = 0; i < N; ++i) {
    EXPECT_TRUE(callbacks[i].data == fixture_bytes(uint32_t(i * 5003), uint32_t(i * 3001 + 1))) << i;
    release(callbacks[i]);
  }
}

// Mended faults.

TEST_F(DeliveryTest, NextChunkMessageForAGoneMonikerIsIgnored) {
  entry(0, 0x30000, 0);
  entry(1, 0x30000, 0x40000);
  RecordingCallback first;
  bind(0, first);
  ASSERT_TRUE(pump_until([&] { return !first.data.empty(); }));
  // Hold back the stream's request until the transfer has gone quiet.
  MSG request;
  ASSERT_TRUE(PeekMessageW(&request, window_, MSG_READ_NEXT_CHUNK, MSG_READ_NEXT_CHUNK, PM_REMOVE));
  ASSERT_TRUE(pump_until([] { return delivery_testing::live_counts().timers == 0; }));
  // A byte copy of the moniker stands for its freed block: same contents,
  // no longer a moniker. Acting on it would read and arm a timer.
  std::vector<unsigned char> stale(sizeof(ResourceMoniker));
  std::memcpy(stale.data(), static_cast<ResourceMoniker*>(first.moniker), stale.size());
  read_next_chunk(reinterpret_cast<ResourceMoniker*>(stale.data()));
  transfer_timer_step(window_, WM_TIMER, reinterpret_cast<UINT_PTR>(stale.data()), 0);
  read_next_chunk(nullptr);
  EXPECT_EQ(delivery_testing::live_counts().timers, 0);
  // The control walks away; its request arrives afterwards.
  release(first);
  EXPECT_EQ(delivery_testing::live_counts().monikers, 0);
  PostMessageW(window_, request.message, request.wParam, request.lParam);
  // A later moniker may take the freed place; the stale message must not drive it.
  RecordingCallback second;
  bind(1, second);
  ASSERT_TRUE(finish(second));
  EXPECT_TRUE(second.data == fixture_bytes(0x40000, 0x30000));
  EXPECT_EQ(only(second.calls, {"OnDataAvailable"}).size(), 3u);
  release(second);
}

TEST_F(DeliveryTest, StreamKeptAfterMonikerReleaseReadsLiveData) {
  entry(0, 0x20000, 0x100);
  RecordingCallback::Options options;
  options.read_in_data = false;
  options.keep_stream = true;
  RecordingCallback callback(options);
  bind(0, callback);
  ASSERT_TRUE(pump_until([&] { return callback.kept_stream != nullptr; }));
  IStream* stream = callback.kept_stream;
  callback.kept_stream = nullptr;
  release(callback);
  EXPECT_EQ(delivery_testing::live_counts().monikers, 0);
  // Whatever takes the place of a freed chunk buffer must not show through.
  void* reuse = GlobalAlloc(GMEM_FIXED, 0x10000);
  std::memset(reuse, 0xee, 0x10000);
  std::string got(0x10000, '\0');
  ULONG n = 0;
  EXPECT_EQ(stream->Read(&got[0], 0x10000, &n), S_OK);
  EXPECT_EQ(n, 0x10000u);
  EXPECT_TRUE(got == fixture_bytes(0x100, 0x10000));
  // No more will come, and the stream says so instead of waiting.
  EXPECT_EQ(stream->Read(&got[0], 0x10000, &n), E_ABORT);
  EXPECT_EQ(n, 0u);
  pump_pending();
  GlobalFree(reuse);
  stream->Release();
}

TEST_F(DeliveryTest, CallbackDroppedInLastDataStillGetsStopBinding) {
  for (uint32_t size : {0x100u, 0x18000u}) {
    entry(0, size, 0);
    RecordingCallback::Options options;
    options.drop_moniker_in_last_data = true;
    RecordingCallback callback(options);
    bind(0, callback);
    callback.Release();  // from here the moniker holds the only references
    ASSERT_TRUE(pump_until([&] { return callback.dead; }));
    EXPECT_EQ(callback.calls_after_death, 0);
    EXPECT_EQ(callback.calls.back(), "OnStopBinding 0x00000001");
    EXPECT_TRUE(callback.data == fixture_bytes(0, size));
  }
}

// A control that faults inside a notification: the loop abandons that
// message, and nothing the transfer held across the call stays held.
TEST_F(DeliveryTest, FaultInANotificationLeavesNothingHeld) {
  const char* methods[] = {"OnStartBinding", "GetBindInfo",     "OnProgress",   "BeginningTransaction",
                           "OnResponse",     "OnDataAvailable", "OnStopBinding"};
  for (bool access_violation : {false, true}) {
    for (const char* method : methods) {
      SCOPED_TRACE(std::string(method) + (access_violation ? " access violation" : " raise"));
      entry(0, 0x20001, 0);
      RecordingCallback::Options options;
      options.fault_in = method;
      options.access_violation = access_violation;
      RecordingCallback callback(options);
      // The control's own frame is abandoned too: what it holds is made outside.
      callback.moniker = resource_moniker_interface(create_resource_moniker(0, window_));
      IBindCtx* context = make_bind_context(&callback);
      struct Bind {
        IMoniker* moniker;
        IBindCtx* context;
      } call = {callback.moniker, context};
      run_in_message(
          window_,
          [](void* p) {
            auto* b = static_cast<Bind*>(p);
            void* out = nullptr;
            b->moniker->BindToStorage(b->context, nullptr, IID_IStream, &out);
          },
          &call);
      ASSERT_TRUE(pump_until([&] { return callback.faulted; }));
      pump_until([] { return delivery_testing::live_counts().timers == 0; }, 500);
      EXPECT_EQ(base::win::held_ref_depth(), 0u);
      context->Release();
      release(callback);
      pump_pending();
      EXPECT_EQ(delivery_testing::live_counts().monikers, 0);
      EXPECT_EQ(delivery_testing::live_counts().files, 0);
      EXPECT_EQ(delivery_testing::live_counts().buffers, 0);
    }
  }
}

// Interface tables with only the slot a test calls: a bind context whose
// GetObjectParam (slot 10) and a moniker whose GetDisplayName (slot 20) hand
// something over and then fault.
struct Faulting {
  const void* const* table;
  IUnknown* object;  // what GetObjectParam hands over
  bool faulted;
};
HRESULT STDMETHODCALLTYPE handing_get_object_param(Faulting* self, LPOLESTR, IUnknown** out) {
  self->object->AddRef();
  *out = self->object;
  self->faulted = true;
  RaiseException(0xE0545304, 0, 0, nullptr);
  return S_OK;
}
HRESULT STDMETHODCALLTYPE handing_display_name(Faulting* self, IBindCtx*, IMoniker*,
                                               LPOLESTR* out) {
  *out = handed_text(L"http://left.test/");
  self->faulted = true;
  RaiseException(0xE0545304, 0, 0, nullptr);
  return S_OK;
}

// Whether this program gave back the response text a callback was handed,
// through its import of free.
const RecordingCallback* g_watched;
bool g_response_freed;
void* g_free;
void __cdecl watching_free(void* block) {
  if (block && g_watched && block == g_watched->response_block) g_response_freed = true;
  reinterpret_cast<void(__cdecl*)(void*)>(g_free)(block);
}

// A control that hands a reference or a block over and faults inside the same
// call: whatever it handed over comes back.
TEST_F(DeliveryTest, FaultAfterHandingOverGivesItBack) {
  ScopedImport frees("msvcrt.dll", "free", reinterpret_cast<void*>(watching_free));
  g_free = frees.original();
  ASSERT_TRUE(g_free);
  const void* context_table[11] = {};
  context_table[10] = reinterpret_cast<const void*>(handing_get_object_param);
  const void* moniker_table[21] = {};
  moniker_table[20] = reinterpret_cast<const void*>(handing_display_name);
  for (const char* method :
       {"GetObjectParam", "QueryInterface", "BeginningTransaction", "OnResponse", "GetDisplayName"}) {
    SCOPED_TRACE(method);
    entry(0, 0x100, 0);
    RecordingCallback::Options options;
    options.fault_in = method;
    RecordingCallback callback(options);
    Faulting faulting = {std::strcmp(method, "GetDisplayName") ? context_table : moniker_table,
                         static_cast<IBindStatusCallback*>(&callback), false};
    callback.moniker = resource_moniker_interface(create_resource_moniker(0, window_));
    IBindCtx* context = make_bind_context(&callback);
    struct Call {
      const char* method;
      IMoniker* moniker;
      IBindCtx* context;
      Faulting* faulting;
    } call = {method, callback.moniker, context, &faulting};
    g_watched = &callback;
    g_response_freed = false;
    run_in_message(
        window_,
        [](void* p) {
          auto* c = static_cast<Call*>(p);
          if (!std::strcmp(c->method, "GetDisplayName")) {
            LPOLESTR name = nullptr;
            c->moniker->GetDisplayName(c->context, reinterpret_cast<IMoniker*>(c->faulting), &name);
            return;
          }
          IBindCtx* context = std::strcmp(c->method, "GetObjectParam")
                                  ? c->context
                                  : reinterpret_cast<IBindCtx*>(c->faulting);
          void* out = nullptr;
          c->moniker->BindToStorage(context, nullptr, IID_IStream, &out);
        },
        &call);
    ASSERT_TRUE(pump_until([&] { return callback.faulted || faulting.faulted; }));
    EXPECT_EQ(g_response_freed, !std::strcmp(method, "OnResponse"));
    pump_until([] { return delivery_testing::live_counts().timers == 0; }, 500);
    EXPECT_EQ(base::win::held_ref_depth(), 0u);
    context->Release();
    release(callback);
    pump_pending();
    g_watched = nullptr;
    EXPECT_EQ(delivery_testing::live_counts().monikers, 0);
    EXPECT_TRUE(FreeCounter::instance().each_freed_once());
  }
}

TEST_F(DeliveryTest, FailedOrShortReadEndsWithFailure) {
  const struct {
    uint32_t size, offset;
    bool fail_reads;
    uint32_t announced;  // bytes announced before the failure
  } cases[] = {
      {0x8000, FILE_SIZE - 100, false, 0},
      {0x20000, FILE_SIZE - 0x10000 - 10, false, 0x10000},
      {0x8000, 0, true, 0},
  };
  for (const auto& c : cases) {
    entry(0, c.size, c.offset);
    delivery_testing::fail_file_reads(c.fail_reads);
    RecordingCallback::Options options;
    options.keep_stream = true;
    RecordingCallback callback(options);
    EXPECT_EQ(bind(0, callback), S_OK);
    ASSERT_TRUE(finish(callback));
    EXPECT_EQ(callback.calls.back(), "OnStopBinding 0x800c0008") << c.offset;
    EXPECT_EQ(only(callback.calls, {"OnDataAvailable"}).size(), c.announced / 0x10000);
    EXPECT_TRUE(callback.data == fixture_bytes(c.offset, c.announced));
    // A control reading on after the failure learns it from the stream too.
    if (callback.kept_stream) {
      EXPECT_EQ(callback.drain(callback.kept_stream), INET_E_DOWNLOAD_FAILURE);
    }
    release(callback);
    delivery_testing::fail_file_reads(false);
  }
}

TEST_F(DeliveryTest, UnallocatableChunkBufferEndsWithFailure) {
  entry(0, 0x8000, 0);
  delivery_testing::fail_chunk_buffers(true);
  RecordingCallback callback;
  EXPECT_EQ(bind(0, callback), S_OK);
  EXPECT_EQ(callback.calls, (Calls{"GetBindInfo", "OnStartBinding", "OnStopBinding 0x8007000e"}));
  pump_pending();
  EXPECT_EQ(callback.calls.size(), 3u);
  release(callback);
}

TEST_F(DeliveryTest, UnopenableFileEndsWithFailure) {
  entry(0, 0x8000, 0);
  reset_platform_cache();
  set_executable_path_for_test(u"C:\\no\\such\\player.exe");
  RecordingCallback callback;
  EXPECT_EQ(bind(0, callback), S_OK);
  EXPECT_EQ(callback.calls, (Calls{"GetBindInfo", "OnStartBinding", "OnStopBinding 0x800c0008"}));
  release(callback);
}

}  // namespace
