// The app's info dictionary and the embedded extension's Info.json come
// from the same build values.
#include <gtest/gtest.h>

#include "app/installer/BundleInfo.h"
#include "platform/sysext/ExtensionBundle.h"
#include "tests/installer/InstallerTestSupport.h"

using namespace tovrelle;

TEST(BundleInfo, GeneratedExtensionInfoMatchesTheAppsVersion) {
  test::FakeAppBundle app;
  std::filesystem::create_directories(app.extension());
  std::filesystem::copy_file(TOVRELLE_TEST_EXTENSION_INFO, app.extension() / "Info.json");
  const auto version = sysext::readExtensionVersion(app.extension());
  ASSERT_TRUE(version);
  EXPECT_EQ(version->shortVersion, bundle::shortVersion());
  EXPECT_EQ(version->bundleVersion, bundle::buildNumber());
}
