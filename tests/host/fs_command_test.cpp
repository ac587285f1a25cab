#include <windows.h>

#include <cstdint>

#include <gtest/gtest.h>

#include "base/win/settings_store.h"
#include "host/control_site.h"
#include "host/fs_command.h"
#include "host/host_support.h"

namespace {

constexpr int32_t UNSET = 0x7E57;

TEST(VolumeText, KeepsTheFirstCharacterAndTheDigitsAfterIt) {
  const struct {
    const char16_t* text;
    int32_t expected;
  } rows[] = {
      {u"75", 75},
      {u"75.5", 75},
      {u"-20", -20},
      {u"+5", 5},
      {u" 8", 8},
      {u"7a3", 7},
      {u"a12", 0},
      {u"", 0},
      {u"\t9", 9},
      {u"  8", 0},    // the second space ends the kept text
      {u" -5", 0},    // so does a sign after a space
      {u"-", 0},
      {u"007", 7},
      {u"2147483647", INT32_MAX},
      {u"2147483648", INT32_MAX},
      {u"99999999999999999999", INT32_MAX},
      {u"-2147483648", INT32_MIN},
      {u"-99999999999999999999", INT32_MIN},
  };
  int row_number = 0;
  for (const auto& row : rows) {
    EXPECT_EQ(parse_volume_text(row.text), row.expected) << "row " << row_number;
    ++row_number;
  }
  EXPECT_EQ(parse_volume_text(nullptr), 0);
}

class FsCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(registry_.ok());
    write_setting("svol", UNSET);
  }
  int32_t stored() { return read_setting("svol", -1); }
  ScratchRegistry registry_;
};

// The parser's rows are above; these show that its number, negative too, is
// what gets stored.
TEST_F(FsCommand, VolumeStoresItsNumber) {
  const struct {
    const char16_t* argument;
    int32_t expected;
  } rows[] = {{u"75.5", 75}, {u"-20", -20}, {u"", 0}};
  for (const auto& row : rows) {
    write_setting("svol", UNSET);
    handle_fs_command(u"volume", row.argument);
    EXPECT_EQ(stored(), row.expected);
  }
}

TEST_F(FsCommand, OtherCommandsAreIgnored) {
  for (const char16_t* command : {u"Volume", u"VOLUME", u"volume ", u" volume", u"vol", u"",
                                  u"quit", u"volumes"}) {
    handle_fs_command(command, u"42");
    EXPECT_EQ(stored(), UNSET);
  }
  handle_fs_command(nullptr, u"42");
  EXPECT_EQ(stored(), UNSET);
}

TEST_F(FsCommand, NullArgumentIsTheEmptyText) {
  handle_fs_command(u"volume", nullptr);
  EXPECT_EQ(stored(), 0);
}

// The event sink as the control calls it: positional arguments in reverse.
class EventSink : public FsCommand {
 protected:
  static VARIANT text(const wchar_t* s) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = s ? SysAllocString(s) : nullptr;
    return v;
  }
  static VARIANT number(LONG n) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_I4;
    V_I4(&v) = n;
    return v;
  }
  HRESULT invoke(DISPID id, std::vector<VARIANT> args, UINT named = 0) {
    DISPPARAMS params = {args.empty() ? nullptr : args.data(), nullptr, UINT(args.size()), named};
    HRESULT hr = sink()->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr,
                                nullptr);
    for (VARIANT& v : args) VariantClear(&v);
    return hr;
  }
  IDispatch* sink() {
    void* out = nullptr;
    EXPECT_EQ(static_cast<IOleClientSite&>(site_).QueryInterface(DIID_FLASH_EVENTS, &out), S_OK);
    return static_cast<IDispatch*>(out);
  }
  ControlSite site_{nullptr};
};

TEST_F(EventSink, FsCommandReachesTheVolumeHandler) {
  // rgvarg[0] is the argument text, the last element the command.
  EXPECT_EQ(invoke(DISPID_FS_COMMAND, {text(L"33"), text(L"volume")}), S_OK);
  EXPECT_EQ(stored(), 33);
}

TEST_F(EventSink, MalformedOrForeignEventsAreDroppedSafely) {
  BSTR volume = SysAllocString(L"volume");
  BSTR argument = SysAllocString(L"61");
  VARIANT by_ref;
  VariantInit(&by_ref);
  V_VT(&by_ref) = VT_BSTR | VT_BYREF;
  V_BSTRREF(&by_ref) = &volume;
  VARIANT arg_by_ref = by_ref;
  V_BSTRREF(&arg_by_ref) = &argument;

  const struct {
    const char* name;
    DISPID id;
    std::vector<VARIANT> args;
    UINT named;
    int32_t expected;
  } rows[] = {
      {"other dispatch id", 151, {text(L"12"), text(L"volume")}, 0, UNSET},
      {"dispatch id 0", 0, {text(L"12"), text(L"volume")}, 0, UNSET},
      {"no arguments", DISPID_FS_COMMAND, {}, 0, UNSET},
      {"command only", DISPID_FS_COMMAND, {text(L"volume")}, 0, UNSET},
      {"order reversed", DISPID_FS_COMMAND, {text(L"volume"), text(L"12")}, 0, UNSET},
      {"number as command", DISPID_FS_COMMAND, {text(L"12"), number(7)}, 0, UNSET},
      {"number as argument", DISPID_FS_COMMAND, {number(12), text(L"volume")}, 0, UNSET},
      {"two named, none positional", DISPID_FS_COMMAND, {text(L"12"), text(L"volume")}, 2, UNSET},
      {"named count past the array", DISPID_FS_COMMAND, {text(L"12"), text(L"volume")}, 5, UNSET},
      {"null argument BSTR", DISPID_FS_COMMAND, {text(nullptr), text(L"volume")}, 0, 0},
      {"null command BSTR", DISPID_FS_COMMAND, {text(L"12"), text(nullptr)}, 0, UNSET},
      {"extra leading named argument", DISPID_FS_COMMAND,
       {number(1), text(L"44"), text(L"volume")}, 1, 44},
  };
  for (const auto& row : rows) {
    write_setting("svol", UNSET);
    std::vector<VARIANT> args = row.args;
    DISPPARAMS params = {args.empty() ? nullptr : args.data(), nullptr, UINT(args.size()),
                         row.named};
    EXPECT_EQ(sink()->Invoke(row.id, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr,
                             nullptr),
              S_OK)
        << row.name;
    EXPECT_EQ(stored(), row.expected) << row.name;
    for (VARIANT& v : args) VariantClear(&v);
  }

  write_setting("svol", UNSET);
  EXPECT_EQ(sink()->Invoke(DISPID_FS_COMMAND, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr,
                           nullptr, nullptr),
            S_OK);
  DISPPARAMS no_array = {nullptr, nullptr, 2, 0};
  EXPECT_EQ(sink()->Invoke(DISPID_FS_COMMAND, IID_NULL, 0, DISPATCH_METHOD, &no_array, nullptr,
                           nullptr, nullptr),
            S_OK);
  EXPECT_EQ(stored(), UNSET);

  // Strings passed by reference are strings too.
  VARIANT refs[] = {arg_by_ref, by_ref};
  DISPPARAMS params = {refs, nullptr, 2, 0};
  EXPECT_EQ(sink()->Invoke(DISPID_FS_COMMAND, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr,
                           nullptr, nullptr),
            S_OK);
  EXPECT_EQ(stored(), 61);
  SysFreeString(volume);
  SysFreeString(argument);
}

}  // namespace
