// The device library's log frame: the level gate, the prefix and the
// printf-like formats.

#include "log_frame.h"

#include <gtest/gtest.h>

#include <string>

#include "orv/path.h"
#include "support/log_capture.h"

namespace {

// LogAtEveryLevel logs once at each level the library uses (1 is not).
int LogAtEveryLevel() {
  for (int level : {0, 2, 3, 4}) {
    ORV_LOG(static_cast<orv::log::level>(level), "level %d", level);
  }
  return __LINE__ - 2;  // the line of the ORV_LOG call above
}

TEST(LogFrameTest, LevelGateLetsThroughOnlyLevelsUpToTheCurrentOne) {
  {
    LogCapture log(2);
    const int line = LogAtEveryLevel();
    const std::string prefix = "[orvdevmgmt:" + std::to_string(line) + "][LogAtEveryLevel()]: ";
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, 0);
    EXPECT_EQ(lines[0].text, prefix + "level 0");
    EXPECT_EQ(lines[1].level, 2);
    EXPECT_EQ(lines[1].text, prefix + "level 2");
  }
  {
    LogCapture log(-1);
    LogAtEveryLevel();
    EXPECT_TRUE(log.Lines().empty());
  }
  {
    LogCapture log(4);
    LogAtEveryLevel();
    EXPECT_EQ(log.Lines().size(), 4u);
  }
}

TEST(LogFrameTest, FormatsTextsIntegersPathsAndPercentSigns) {
  LogCapture log(4);
  orv::path key;
  key.add_piece(true, "/devices").add_piece(true, std::string("d1"));
  const std::string mac = "aa:bb";
  const char* ip = "10.0.0.1";
  const unsigned int count = 7;
  ORV_LOG(orv::log::kInfo, "Loading devices from storage");
  ORV_LOG(orv::log::kInfo, "key %s, mac=%s, ip=%s, n=%d, neg=%d", key, mac, ip, count, -3);
  ORV_LOG(orv::log::kInfo, "100%% sure, %5s %-3d|", "x", 4);
  ORV_LOG(orv::log::kInfo, "missing %s and %d", "one");
  ORV_LOG(orv::log::kInfo, "extra", 1, 2);
  ORV_LOG(orv::log::kInfo, "%s", std::string(600, 'y'));  // more than the 512 reserved
  const auto messages = log.Messages();
  ASSERT_EQ(messages.size(), 6u);
  const std::string who = "3 TestBody: ";
  EXPECT_EQ(messages[0], who + "Loading devices from storage");
  EXPECT_EQ(messages[1], who + "key /devices/d1, mac=aa:bb, ip=10.0.0.1, n=7, neg=-3");
  EXPECT_EQ(messages[2], who + "100% sure, x 4|");
  EXPECT_EQ(messages[3], who + "missing one and ");
  EXPECT_EQ(messages[4], who + "extra");
  EXPECT_EQ(messages[5], who + std::string(600, 'y'));
}

TEST(LogFrameTest, ControlCharactersInTextsKeepALineOneLine) {
  LogCapture log(3);
  orv::path key;
  key.add_piece(true, "/devices/a\nb");
  ORV_LOG(orv::log::kInfo, "Changed key %s, value=%s\tend", key,
          std::string("x\r\x7f\x01y\xc3\xa9"));
  ASSERT_EQ(log.Lines().size(), 1u);
  // Bytes of UTF-8 text pass unchanged; the format's own tab is not an argument.
  EXPECT_EQ(log.Messages()[0],
            "3 TestBody: Changed key /devices/a\\x0ab, value=x\\x0d\\x7f\\x01y\xc3\xa9\tend");
}

}  // namespace
