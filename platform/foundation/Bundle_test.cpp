#include "platform/foundation/Bundle.h"
#include "platform/testing/TestSupport.h"

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

namespace foundation {
namespace {

namespace fs = std::filesystem;

class BundleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    app_ = dir_ + "/Sample.app";
    fs::create_directories(app_ + "/Contents/MacOS");
    fs::create_directories(app_ + "/Contents/Resources");
  }

  void Write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }

  // An Info.plist in the given libplist format with the given identifier node.
  void WriteInfo(plist_t identifier, bool binary) {
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "CFBundleName", plist_new_string("Sample"));
    if (identifier) plist_dict_set_item(dict, "CFBundleIdentifier", identifier);
    char* data = nullptr;
    uint32_t length = 0;
    if (binary) {
      plist_to_bin(dict, &data, &length);
    } else {
      plist_to_xml(dict, &data, &length);
    }
    Write(app_ + "/Contents/Info.plist", std::string(data, length));
    free(data);
    plist_free(dict);
  }

  rctest::TempDir tmp_{"bundle_test"};
  std::string dir_ = tmp_.path();
  std::string app_;
};

TEST_F(BundleTest, ExecutableInContentsMacOSBelongsToTheBundleAboveIt) {
  auto bundle = NSBundle::bundleForExecutable(app_ + "/Contents/MacOS/Sample");
  EXPECT_EQ(bundle->bundlePath(), app_);
  EXPECT_EQ(bundle->resourcePath(), app_ + "/Contents/Resources");
  auto flat = NSBundle::bundleForExecutable(dir_ + "/bin/tool");
  EXPECT_EQ(flat->bundlePath(), dir_ + "/bin");
  EXPECT_EQ(flat->resourcePath(), dir_ + "/bin");
}

TEST_F(BundleTest, IdentifierFromXmlAndBinaryInfoPlist) {
  for (bool binary : {false, true}) {
    SCOPED_TRACE(binary ? "binary" : "xml");
    WriteInfo(plist_new_string("com.example.sample"), binary);
    EXPECT_EQ(NSBundle::bundleWithPath(app_ + "/")->bundleIdentifier(), "com.example.sample");
  }
}

TEST_F(BundleTest, NoIdentifierWhenInfoPlistIsMissingBrokenOrWronglyTyped) {
  auto bundle = NSBundle::bundleWithPath(app_);
  EXPECT_EQ(bundle->bundleIdentifier(), std::nullopt);
  WriteInfo(nullptr, false);
  EXPECT_EQ(bundle->bundleIdentifier(), std::nullopt);
  WriteInfo(plist_new_uint(7), false);
  EXPECT_EQ(bundle->bundleIdentifier(), std::nullopt);
  Write(app_ + "/Contents/Info.plist", "<?xml version=\"1.0\"?><plist><dict><key>CFBundle");
  EXPECT_EQ(bundle->bundleIdentifier(), std::nullopt);
  Write(app_ + "/Contents/Info.plist", "<plist version=\"1.0\"><array/></plist>");
  EXPECT_EQ(bundle->bundleIdentifier(), std::nullopt);
}

TEST_F(BundleTest, ResourcesAreLookedUpAfreshAndNeverOutsideTheResourcesDirectory) {
  auto bundle = NSBundle::bundleWithPath(app_);
  EXPECT_EQ(bundle->pathForResource("run", "sh"), std::nullopt);
  Write(app_ + "/Contents/Resources/run.sh", "exit 0\n");
  EXPECT_EQ(bundle->pathForResource("run", "sh"), app_ + "/Contents/Resources/run.sh");
  Write(app_ + "/Contents/Info.plist", "x");
  EXPECT_EQ(bundle->pathForResource("../Info", "plist"), std::nullopt);
  EXPECT_EQ(bundle->pathForResource("..", ""), std::nullopt);
  fs::remove(app_ + "/Contents/Resources/run.sh");
  EXPECT_EQ(bundle->pathForResource("run", "sh"), std::nullopt);
}

TEST(MainBundleTest, IsTheBundleOfTheRunningExecutable) {
  auto main = NSBundle::mainBundle();
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(main->bundlePath(), fs::read_symlink("/proc/self/exe").parent_path().string());
  EXPECT_EQ(main, NSBundle::mainBundle());
}

}  // namespace
}  // namespace foundation
