// Log lines keep their priority on the way to the journal: natively when a
// journal listens, else as the "<N>" prefix journald reads on stderr.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <systemd/sd-journal.h>

#include <cstdlib>
#include <sstream>

#include "platform/log/Log.h"
#include "shared/Uuid.h"

using namespace tovrelle;

namespace {

bool journalListens() {
  struct stat st {};
  return ::stat("/run/systemd/journal/socket", &st) == 0;
}

}  // namespace

TEST(Log, WithoutAJournalEveryStderrLineCarriesItsPriority) {
  const char* saved = std::getenv("TOVRELLE_NO_JOURNAL");
  ::setenv("TOVRELLE_NO_JOURNAL", "1", 1);
  const log::Logger logger("ossel.tovrelle", "StreamSource");
  ::testing::internal::CaptureStderr();
  logger.error("cannot read %s", "state.json");
  logger.info("observed state mode=%s", "off");
  logger.error("forged\n<3>line");
  log::processLog("CameraManager: wrote state");
  logger.warning("slow frame");
  logger.debug("frame 1");
  const std::string text = ::testing::internal::GetCapturedStderr();
  if (!saved) ::unsetenv("TOVRELLE_NO_JOURNAL");
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 6u) << text;
  EXPECT_EQ(lines[0].rfind("<3>", 0), 0u);
  EXPECT_NE(lines[0].find("[ossel.tovrelle:StreamSource] error: cannot read state.json"), std::string::npos);
  EXPECT_EQ(lines[1].rfind("<6>", 0), 0u);
  EXPECT_EQ(lines[2].rfind("<3>", 0), 0u);
  EXPECT_NE(lines[2].find("forged\\n<3>line"), std::string::npos) << "a newline inside a message forges no line";
  EXPECT_EQ(lines[3].rfind("<6>", 0), 0u);
  EXPECT_NE(lines[3].find("CameraManager: wrote state"), std::string::npos);
  EXPECT_EQ(lines[4].rfind("<4>", 0), 0u);
  EXPECT_EQ(lines[5].rfind("<7>", 0), 0u);
}

TEST(Log, AJournalGetsPriorityIdentifierSubsystemAndCategoryAsFields) {
  if (!journalListens()) GTEST_SKIP() << "no journal on this machine";
  const char* saved = std::getenv("TOVRELLE_NO_JOURNAL");
  ::unsetenv("TOVRELLE_NO_JOURNAL");
  const std::string marker = "journal test " + Uuid::random().toString();
  log::Logger("ossel.tovrelle", "StreamSource").error("%s", marker.c_str());
  if (saved) ::setenv("TOVRELLE_NO_JOURNAL", saved, 1);

  sd_journal* journal = nullptr;
  ASSERT_GE(sd_journal_open(&journal, SD_JOURNAL_LOCAL_ONLY | SD_JOURNAL_CURRENT_USER), 0);
  ASSERT_GE(sd_journal_add_match(journal, ("MESSAGE=" + marker).c_str(), 0), 0);
  bool found = false;
  for (int attempt = 0; attempt < 50 && !found; ++attempt) {
    sd_journal_seek_head(journal);
    found = sd_journal_next(journal) > 0;
    if (!found) sd_journal_wait(journal, 100000);
  }
  if (!found) {
    sd_journal_close(journal);
    GTEST_SKIP() << "this user cannot read the journal back";
  }
  auto field = [&](const char* name) {
    const void* data = nullptr;
    size_t length = 0;
    if (sd_journal_get_data(journal, name, &data, &length) < 0) return std::string();
    return std::string(static_cast<const char*>(data), length).substr(std::string(name).size() + 1);
  };
  EXPECT_EQ(field("PRIORITY"), "3");
  EXPECT_EQ(field("TOVRELLE_SUBSYSTEM"), "ossel.tovrelle");
  EXPECT_EQ(field("TOVRELLE_CATEGORY"), "StreamSource");
  EXPECT_FALSE(field("SYSLOG_IDENTIFIER").empty());
  sd_journal_close(journal);
}
