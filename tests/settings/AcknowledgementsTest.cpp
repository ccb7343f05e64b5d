// The acknowledgements name exactly the components the program is linked with.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#include "app/settings/Acknowledgements.h"

namespace tovrelle::settings {
namespace {

namespace fs = std::filesystem;

// The NEEDED entries as binutils reads them; none when readelf is missing.
std::optional<std::vector<std::string>> readelfNeeded(const fs::path& file) {
  const std::string command = "readelf -d '" + file.string() + "' 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return std::nullopt;
  std::vector<std::string> needed;
  char line[1024];
  bool any = false;
  while (std::fgets(line, sizeof line, pipe)) {
    any = true;
    std::string text(line);
    if (text.find("(NEEDED)") == std::string::npos) continue;
    const size_t open = text.find('['), close = text.find(']');
    if (open != std::string::npos && close != std::string::npos) needed.push_back(text.substr(open + 1, close - open - 1));
  }
  const int status = ::pclose(pipe);
  if (!any || status != 0) return std::nullopt;
  return needed;
}

std::vector<QString> names(const std::vector<Dependency>& rows) {
  std::vector<QString> out;
  for (const auto& row : rows) out.push_back(row.name);
  return out;
}

fs::path selfPath() { return fs::read_symlink("/proc/self/exe"); }

TEST(Acknowledgements, NeededLibrariesMatchWhatTheLinkerRecorded) {
  auto expected = readelfNeeded(selfPath());
  if (!expected) GTEST_SKIP() << "readelf is not installed";
  auto needed = neededLibraries(selfPath());
  ASSERT_TRUE(needed.has_value());
  EXPECT_EQ(*needed, *expected);
  EXPECT_NE(std::find_if(needed->begin(), needed->end(), [](auto& n) { return n.rfind("libQt6Widgets", 0) == 0; }),
            needed->end());
}

TEST(Acknowledgements, FilesThatAreNotProgramsGiveNone) {
  char tmpl[] = "/tmp/tovrelle-elf-XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  std::ofstream(dir / "text") << "#!/bin/sh\necho hello\n";
  EXPECT_FALSE(neededLibraries(dir / "text"));
  EXPECT_FALSE(neededLibraries(dir / "absent"));
  EXPECT_FALSE(neededLibraries(dir));
  // The first kilobyte of a real program: headers that point past the end.
  {
    std::ifstream in(selfPath(), std::ios::binary);
    std::string head(1024, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    std::ofstream(dir / "truncated", std::ios::binary) << head;
  }
  EXPECT_FALSE(neededLibraries(dir / "truncated"));
  fs::remove_all(dir);
}

TEST(Acknowledgements, ComponentsFollowTheLinkedLibrariesInListOrder) {
  // Only what is linked, plus what is compiled in.
  EXPECT_EQ(names(acknowledgements({"libQt6Core.so.6", "libc.so.6", "libstdc++.so.6"})),
            (std::vector<QString>{"Qt", "JSON for Modern C++"}));
  EXPECT_EQ(names(acknowledgements({"libsystemd.so.0", "libxcb-keysyms.so.1", "libavutil.so.57", "libpipewire-0.3.so.0",
                                    "libQt6Gui.so.6"})),
            (std::vector<QString>{"Qt", "PipeWire", "FFmpeg", "xcb-util-keysyms", "libsystemd", "JSON for Modern C++"}));
  // A helper library of one project does not bring in another of a similar name.
  EXPECT_EQ(names(acknowledgements({"libxcb.so.1"})), (std::vector<QString>{"libxcb", "JSON for Modern C++"}));
  EXPECT_EQ(names(acknowledgements({"libxcb-xkb.so.1", "libcairo.so.2", "libpangocairo-1.0.so.0"})),
            (std::vector<QString>{"cairo", "Pango", "libxcb", "JSON for Modern C++"}));

  // Every row carries an author, a licence and a licence address.
  for (const Component& component : knownComponents()) {
    EXPECT_FALSE(component.dependency.author.isEmpty()) << component.dependency.name.toStdString();
    EXPECT_FALSE(component.dependency.license.isEmpty()) << component.dependency.name.toStdString();
    EXPECT_TRUE(component.dependency.url.startsWith("https://")) << component.dependency.name.toStdString();
  }
}

TEST(Acknowledgements, ThisProgramListsWhatItLinks) {
  auto needed = neededLibraries(selfPath());
  ASSERT_TRUE(needed);
  EXPECT_EQ(acknowledgementsOfThisProgram(), acknowledgements(*needed));
  const auto rows = names(acknowledgementsOfThisProgram());
  EXPECT_NE(std::find(rows.begin(), rows.end(), "Qt"), rows.end());
  // This test program does not link the camera's libraries.
  EXPECT_EQ(std::find(rows.begin(), rows.end(), "PipeWire"), rows.end());
  EXPECT_EQ(std::find(rows.begin(), rows.end(), "FFmpeg"), rows.end());
}

// The host program, once it is built: every library it links is the system
// runtime or a component the About tab names.
TEST(Acknowledgements, TheHostProgramLinksNothingUnacknowledged) {
#ifdef TOVRELLE_HOST_PROGRAM
  const fs::path program = TOVRELLE_HOST_PROGRAM;
  auto needed = neededLibraries(program);
  ASSERT_TRUE(needed) << program;
  for (const std::string& library : *needed) {
    if (isSystemRuntimeLibrary(library)) continue;
    const auto rows = acknowledgements({library});
    EXPECT_GT(rows.size(), 1u) << library << " is linked by " << program << " but not acknowledged";
  }
#else
  GTEST_SKIP() << "the host program is not part of this build";
#endif
}

}  // namespace
}  // namespace tovrelle::settings
