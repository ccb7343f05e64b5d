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
  EXPECT_EQ(componentOf("libQt6Network.so.6")->dependency.name, "Qt");
  EXPECT_EQ(componentOf("libOpenGL.so.0")->dependency.name, "libglvnd");
  EXPECT_EQ(componentOf("libgtest.so.1.12.1"), nullptr);
  EXPECT_EQ(componentOf("libc.so.6"), nullptr);
  EXPECT_TRUE(isSystemRuntimeLibrary("libasan.so.8"));
  EXPECT_FALSE(isSystemRuntimeLibrary("libQt6Core.so.6"));
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
  auto needed = readelfNeeded(selfPath());
  if (!needed) GTEST_SKIP() << "readelf is not installed";
  const auto rows = acknowledgementsOfThisProgram();
  auto listed = [&rows](const Dependency& d) { return std::find(rows.begin(), rows.end(), d) != rows.end(); };
  std::vector<const Component*> linked;
  for (const std::string& library : *needed) {
    if (const Component* component = componentOf(library)) {
      EXPECT_TRUE(listed(component->dependency)) << library;
      linked.push_back(component);
    }
  }
  // No row without a linked library, except what is compiled in.
  for (const Component& component : knownComponents()) {
    if (component.libraries.isEmpty() || !listed(component.dependency)) continue;
    EXPECT_NE(std::find(linked.begin(), linked.end(), &component), linked.end()) << component.dependency.name.toStdString();
  }
  const auto rowNames = names(rows);
  EXPECT_NE(std::find(rowNames.begin(), rowNames.end(), "Qt"), rowNames.end());
}

// The host program, once it is built: every library it links is the system
// runtime or belongs to a component the About tab names.
TEST(Acknowledgements, TheHostProgramLinksNothingUnacknowledged) {
#ifdef TOVRELLE_HOST_PROGRAM
  const fs::path program = TOVRELLE_HOST_PROGRAM;
  auto needed = neededLibraries(program);
  ASSERT_TRUE(needed) << program;
  EXPECT_FALSE(needed->empty());
  for (const std::string& library : *needed)
    EXPECT_TRUE(isSystemRuntimeLibrary(library) || componentOf(library))
        << library << " is linked by " << program << " but not acknowledged";
#else
  GTEST_SKIP() << "the host program is not part of this build";
#endif
}

}  // namespace
}  // namespace tovrelle::settings
