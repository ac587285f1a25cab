#include "host/host_support.h"

#include <gtest/gtest.h>

#include "delivery/delivery_support.h"
#include "host/control_site.h"

namespace {

constexpr char SCRATCH[] = "Software\\TessivoHostTestScratch";
// Deepest first: RegDeleteKey takes only empty keys.
const char* const SCRATCH_TREE[] = {
    "Software\\TessivoHostTestScratch\\SOFTWARE\\Calventra\\Tessivo\\SWFPlay",
    "Software\\TessivoHostTestScratch\\SOFTWARE\\Calventra\\Tessivo",
    "Software\\TessivoHostTestScratch\\SOFTWARE\\Calventra",
    "Software\\TessivoHostTestScratch\\SOFTWARE",
    "Software\\TessivoHostTestScratch",
};

class OleEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr))); }
  void TearDown() override { OleUninitialize(); }
};

const auto* const g_ole = ::testing::AddGlobalTestEnvironment(new OleEnvironment);

class RecordingLayout final : public SiteCallback {
 public:
  void layout_video(HWND) override {
    if (g_layout_log)
      g_layout_log->push_back("layout_video(" + std::to_string(g_layout_client_width) + "," +
                              std::to_string(g_layout_client_height) + ")");
  }
};

RecordingLayout g_layout;

}  // namespace

std::vector<std::string>* g_layout_log;
int32_t g_layout_client_width, g_layout_client_height;

SiteCallback* test_site_callback() { return &g_layout; }

ScratchRegistry::ScratchRegistry() {
  for (const char* path : SCRATCH_TREE) RegDeleteKeyA(HKEY_CURRENT_USER, path);
  if (RegCreateKeyExA(HKEY_CURRENT_USER, SCRATCH, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_,
                      nullptr) != ERROR_SUCCESS) {
    key_ = nullptr;
    return;
  }
  if (RegOverridePredefKey(HKEY_CURRENT_USER, key_) != ERROR_SUCCESS) {
    RegCloseKey(key_);
    key_ = nullptr;
  }
}

ScratchRegistry::~ScratchRegistry() {
  if (!key_) return;
  RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
  RegCloseKey(key_);
  for (const char* path : SCRATCH_TREE) RegDeleteKeyA(HKEY_CURRENT_USER, path);
}

SiteWindow::SiteWindow(FakeControl* control) : factory_(control), window_(create_test_window()) {}

int SiteWindow::create() {
  ScopedClassRegistration registration(&factory_);
  EXPECT_TRUE(registration.ok());
  created_ = create_control_site(window_, test_site_callback());
  return created_;
}

SiteWindow::~SiteWindow() {
  destroy_control_site(window_);
  DestroyWindow(window_);
}
