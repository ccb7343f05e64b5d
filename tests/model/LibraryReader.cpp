// tovrelle-model-reader <data folder> <library size>: a second process that
// reads "state.json" and "images.json" the way the extension does, as fast as
// it can, until the state names the camera "stop". Every file it reads must be
// one complete version written by the host: it decodes, the library has the
// expected size, and every stamped value ("c<n>-<n>", "n<n>-<n>") agrees with
// itself. Prints a summary; exits 1 when any read was torn or partial.
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "shared/CameraState.h"
#include "shared/DataFolder.h"

using namespace tovrelle;

namespace {

// "<prefix><n>-<n>" with both numbers equal, or a plain initial value.
bool consistentStamp(const std::string& value, char prefix) {
  if (value.empty() || value[0] != prefix) return true;
  size_t dash = value.find('-');
  if (dash == std::string::npos) return false;
  return value.substr(1, dash - 1) == value.substr(dash + 1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: tovrelle-model-reader <data folder> <library size>\n");
    return 2;
  }
  const std::string folder = argv[1];
  const size_t librarySize = std::strtoul(argv[2], nullptr, 10);
  const std::string stateFile = folder + "/state.json";
  const std::string imagesFile = folder + "/images.json";

  long reads = 0, bad = 0;
  std::set<std::string> stateVersions, libraryVersions;
  std::string firstBad;
  auto reject = [&](const std::string& what, const std::string& bytes) {
    if (bad++ == 0) firstBad = what + ": " + bytes;
  };

  std::printf("reader: ready\n");
  std::fflush(stdout);
  for (bool stop = false; !stop;) {
    ReadResult state = readFileBounded(stateFile, kMaxStateFileBytes);
    ++reads;
    std::optional<CameraState> decoded;
    if (!state.bytes || !(decoded = decodeCameraState(*state.bytes))) {
      reject("state.json " + state.error, state.bytes.value_or(""));
    } else {
      const std::string camera = decoded->selectedCameraId.value_or("");
      if (camera == "stop") stop = true;
      if (!consistentStamp(camera, 'c')) reject("state.json mixed", *state.bytes);
      stateVersions.insert(camera);
    }

    ReadResult library = readFileBounded(imagesFile, kMaxImagesFileBytes);
    ++reads;
    std::optional<std::vector<SavedImage>> list;
    if (!library.bytes || !(list = decodeSavedImages(*library.bytes))) {
      reject("images.json " + library.error, library.bytes.value_or(""));
    } else if (list->size() != librarySize) {
      reject("images.json size " + std::to_string(list->size()), *library.bytes);
    } else {
      for (auto& image : *list)
        if (!consistentStamp(image.name, 'n')) reject("images.json mixed", *library.bytes);
      libraryVersions.insert(*library.bytes);
    }
  }
  std::printf("reader: reads=%ld bad=%ld stateVersions=%zu libraryVersions=%zu\n", reads, bad, stateVersions.size(),
              libraryVersions.size());
  if (bad) std::printf("reader: first bad read: %s\n", firstBad.c_str());
  return bad ? 1 : 0;
}
