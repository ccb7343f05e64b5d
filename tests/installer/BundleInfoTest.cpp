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

TEST(ExtensionBundle, VersionTextsMustBePlain) {
  for (const char* good : {"1", "1.0.0", "2.0-beta.1", "1.0+git~3", "10_2"}) EXPECT_TRUE(sysext::isPlainVersionText(good)) << good;
  for (const char* bad : {"", ".", "..", "-1", "1/2", "1 0", "1\n", "1\"", "1%i", "1$HOME", "1.0\xc3\xa9", "1\\x"})
    EXPECT_FALSE(sysext::isPlainVersionText(bad)) << bad;
  EXPECT_FALSE(sysext::isPlainVersionText(std::string(65, '1')));
}

TEST(ExtensionBundle, OversizedInfoIsUnreadable) {
  test::FakeAppBundle app;
  app.writeInfo("{\"CFBundleShortVersionString\": \"1\", \"CFBundleVersion\": \"1\", \"pad\": \"" +
                std::string(70 * 1024, 'x') + "\"}");
  EXPECT_FALSE(sysext::readExtensionVersion(app.extension()));
  int code = 0;
  std::string problem;
  EXPECT_FALSE(sysext::validateExtensionBundle(app.extension(), "velkari.tovrelle.cameraextension", code, problem));
  EXPECT_EQ(code, 9);
  EXPECT_NE(problem.find("too large"), std::string::npos) << problem;
}
