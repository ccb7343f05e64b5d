// Desktop-entry values as a launcher reads them back: an Exec argument
// survives any path, and no value can add a line to the entry.
#include <gtest/gtest.h>

#include "shared/DesktopEntry.h"

using namespace tovrelle;

TEST(DesktopEntry, ExecArgumentsRoundTripAndStayOnOneLine) {
  for (std::string arg : {"/usr/bin/tovrelle", "/opt/My Apps/tovrelle", "/tmp/a\"b$c`d\\e", "/tmp/100%/x",
                          "/tmp/new\nline\tand tab", "TOVRELLE_APP=/opt/x y/tovrelle"}) {
    const std::string quoted = desktop_entry::execArgument(arg);
    EXPECT_EQ(quoted.find('\n'), std::string::npos) << quoted;
    EXPECT_EQ(desktop_entry::execProgram(quoted + " " + desktop_entry::execArgument("--flag")), arg) << quoted;
  }
  EXPECT_EQ(desktop_entry::execArgument("/tmp/100%/x"), "\"/tmp/100%%/x\"");
  EXPECT_EQ(desktop_entry::execProgram("\"/unterminated"), "");
  EXPECT_EQ(desktop_entry::execProgram("   "), "");
  EXPECT_EQ(desktop_entry::execProgram("/usr/bin/plain --flag"), "/usr/bin/plain");
}

TEST(DesktopEntry, StringValuesEscapeWhatWouldEndTheLine) {
  EXPECT_EQ(desktop_entry::stringValue("/a\\b\nName=Forged"), "/a\\\\b\\nName=Forged");
  EXPECT_EQ(desktop_entry::unescape(desktop_entry::stringValue("tab\there\r\\")), "tab\there\r\\");
}
