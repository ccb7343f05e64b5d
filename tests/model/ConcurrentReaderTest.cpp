#include <QProcess>

#include "tests/model/ModelFixture.h"

namespace tovrelle::test {
namespace {

class ConcurrentReaderTest : public ModelFixture {
 protected:
  void SetUp() override {
    ModelFixture::SetUp();
    // Memory-backed when available: the test is about atomicity, not disks.
    if (fs::is_directory("/dev/shm")) {
      char tmpl[] = "/dev/shm/tovrelle-model-XXXXXX";
      if (::mkdtemp(tmpl)) {
        shm_ = tmpl;
        data_ = shm_ / "data";
        ::setenv(kDataDirEnv, data_.c_str(), 1);
      }
    }
    log::setSink([](const log::Record&) {});
  }
  void TearDown() override {
    ModelFixture::TearDown();
    std::error_code ec;
    if (!shm_.empty()) fs::remove_all(shm_, ec);
  }
  fs::path shm_;
};

TEST_F(ConcurrentReaderTest, AReaderProcessNeverSeesATornOrPartialFile) {
  constexpr int kLibrarySize = 10;
  constexpr int kRewrites = 10000;
  for (int i = 0; i < kLibrarySize; ++i) images().addImage(pickedFile("P" + std::to_string(i) + ".png"));
  camera();
  const std::vector<SavedImage> list = images().savedImages();
  ASSERT_EQ(list.size(), size_t{kLibrarySize});

  QProcess reader;
  reader.setProcessChannelMode(QProcess::MergedChannels);
  reader.start(TOVRELLE_MODEL_READER, {QString::fromStdString(data_.string()), QString::number(kLibrarySize)});
  ASSERT_TRUE(reader.waitForStarted(5000));
  ASSERT_TRUE(reader.waitForReadyRead(5000));
  ASSERT_TRUE(reader.readLine().startsWith("reader: ready"));

  for (int i = 0; i < kRewrites; ++i) {
    const std::string n = std::to_string(i);
    camera().setSelectedCameraId("c" + n + "-" + n);
    camera().writeState();
    images().renameImage(list[static_cast<size_t>(i % kLibrarySize)].id, "n" + n + "-" + n);
  }
  camera().setSelectedCameraId("stop");
  camera().writeState();

  ASSERT_TRUE(reader.waitForFinished(60000));
  const std::string output = reader.readAll().toStdString();
  EXPECT_EQ(reader.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(reader.exitCode(), 0) << output;
  EXPECT_NE(output.find(" bad=0 "), std::string::npos) << output;
  // The reader really ran alongside the writes: it saw many versions of each.
  int stateVersions = 0, libraryVersions = 0;
  ASSERT_EQ(std::sscanf(output.c_str() + output.find("stateVersions="), "stateVersions=%d libraryVersions=%d",
                        &stateVersions, &libraryVersions),
            2)
      << output;
  EXPECT_GT(stateVersions, 20) << output;
  EXPECT_GT(libraryVersions, 20) << output;
  // The final state and library are the last ones written.
  EXPECT_EQ(readFile(data_ / "state.json"), R"({"mode":"off","selectedCameraId":"stop"})");
  EXPECT_EQ(readFile(data_ / "images.json"), encodeSavedImages(images().savedImages()));
  std::cout << output;
}

}  // namespace
}  // namespace tovrelle::test
