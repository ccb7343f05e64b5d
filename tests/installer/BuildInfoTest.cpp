// The app's build values and the Info.json of the app's copy of the
// camera service come from the same build values.
#include <gtest/gtest.h>

#include "app/installer/BuildInfo.h"
#include "platform/userservice/InstalledService.h"
#include "tests/support/InstallerTestSupport.h"

using namespace tovrelle;

TEST(BuildInfo, GeneratedServiceInfoMatchesTheAppsVersion) {
  test::FakeAppPrefix app;
  std::filesystem::create_directories(app.service());
  std::filesystem::copy_file(TOVRELLE_TEST_EXTENSION_INFO, app.service() / "Info.json");
  const auto version = userservice::readServiceVersion(app.service());
  ASSERT_TRUE(version);
  EXPECT_EQ(version->shortVersion, build_info::shortVersion());
  EXPECT_EQ(version->buildNumber, build_info::buildNumber());
}
