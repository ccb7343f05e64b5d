// Writes the fixture files into a folder, as the fuzzer's seed corpus.
#include <cstdio>
#include <filesystem>

#include "tests/imaging/ImageFixtures.h"
#include "tests/imaging/ImagingTestSupport.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  tovrelle::test::quietFfmpeg();
  const std::filesystem::path folder = argv[1];
  std::filesystem::create_directories(folder);
  for (const auto& [name, bytes] : tovrelle::test::fixtures::seedCorpus()) {
    tovrelle::test::fixtures::writeFile(folder / name, bytes);
  }
  return 0;
}
