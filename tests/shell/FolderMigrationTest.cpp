// Moving the data folder and settings of earlier versions to the current
// names: a real old folder with images, state and settings, on disk.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "app/shell/FolderMigration.h"
#include "shared/DataFolder.h"
#include "tests/support/InstallerTestSupport.h"

using namespace tovrelle;
namespace fs = std::filesystem;
using test::readFile;

namespace {

class FolderMigrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tovrelle-migration-XXXXXX";
    root = ::mkdtemp(tmpl);
    ::setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
    ::unsetenv(kDataDirEnv);
    ::unsetenv("TOVRELLE_SETTINGS_FILE");
    // What an earlier version left: two images, the selection, the settings.
    old = root / "data" / "Q7KX2RW9ZC.velkari.tovrelle";
    fs::create_directories(old / "Images");
    files["state.json"] = R"({"mode":"image","selectedImageId":"0F6B0D52-5C4F-4D3A-9D63-2E8C1C3E2A11"})";
    files["images.json"] = R"([{"id":"0F6B0D52-5C4F-4D3A-9D63-2E8C1C3E2A11","name":"Beach","fileName":"A_Beach.png"},)"
                           R"({"id":"7E0E7D8C-1A5B-4C43-8F0E-6C9B1B2D3E44","name":"Logo","fileName":"B_Logo.gif"}])";
    files["Images/A_Beach.png"] = std::string("\x89PNG\r\n\x1a\n", 8) + std::string(5000, '\x11');
    files["Images/B_Logo.gif"] = "GIF89a" + std::string(3000, '\x22');
    files["heartbeat"] = "";
    for (auto& [name, bytes] : files) std::ofstream(old / name, std::ios::binary) << bytes;
    fs::create_directories(root / "config" / "velkari");
    std::ofstream(root / "config" / "velkari" / "tovrelle.ini")
        << "[General]\nhasCompletedOnboarding=true\nlastSelectedImageId=0F6B0D52-5C4F-4D3A-9D63-2E8C1C3E2A11\n";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root, ec);
    ::unsetenv("XDG_DATA_HOME");
    ::unsetenv("XDG_CONFIG_HOME");
  }

  fs::path root, old;
  std::map<std::string, std::string> files;
  test::LogRecorder logs;
};

TEST_F(FolderMigrationTest, TheOldFolderAndSettingsMoveOverWholeOnce) {
  // The camera service's installed copies may already be in the new folder.
  fs::create_directories(root / "data" / "tovrelle" / "SystemExtensions");
  const auto result = migrateLegacyFolders();
  EXPECT_TRUE(result.dataMoved);
  EXPECT_TRUE(result.settingsMoved);
  EXPECT_FALSE(fs::exists(old));
  EXPECT_EQ(dataDir(), root / "data" / "tovrelle");
  for (auto& [name, bytes] : files) EXPECT_EQ(readFile(dataDir() / name), bytes) << name;
  EXPECT_TRUE(fs::is_directory(dataDir() / "SystemExtensions"));
  EXPECT_NE(readFile(settingsFilePath()).find("lastSelectedImageId=0F6B0D52"), std::string::npos);
  EXPECT_EQ(settingsFilePath(), root / "config" / "tovrelle" / "tovrelle.ini");
  EXPECT_FALSE(fs::exists(root / "config" / "velkari"));
  EXPECT_TRUE(logs.contains("FolderMigration: moved the data folder"));
  EXPECT_TRUE(logs.contains("FolderMigration: moved the settings"));

  // Once: the next start has nothing to move.
  const auto again = migrateLegacyFolders();
  EXPECT_FALSE(again.dataMoved || again.settingsMoved);
}

TEST_F(FolderMigrationTest, AFailedMoveLeavesTheOldOnesInUse) {
  // Something that is not a folder sits where the new folders go.
  std::ofstream(root / "data" / "tovrelle") << "x";
  fs::create_directories(root / "config");
  std::ofstream(root / "config" / "tovrelle") << "x";
  const auto result = migrateLegacyFolders();
  EXPECT_FALSE(result.dataMoved);
  ASSERT_TRUE(result.keepSettingsAt);
  EXPECT_EQ(*result.keepSettingsAt, root / "config" / "velkari" / "tovrelle.ini");
  EXPECT_EQ(dataDir(), old) << "both processes keep resolving the old folder";
  for (auto& [name, bytes] : files) EXPECT_EQ(readFile(old / name), bytes) << name;
  EXPECT_TRUE(logs.contains("it stays in use"));
  EXPECT_TRUE(logs.contains("they stay in use"));
}

}  // namespace
