// Tests of the utility library's text helpers: the per-thread error record,
// the memory stream and the logger.

#include <gtest/gtest.h>
#include <jansson.h>

#include <string>
#include <thread>
#include <vector>

#include "orv/error.h"
#include "orv/log.h"
#include "orv/memstream.h"
#include "orv/settings.h"
#include "support/log_capture.h"

namespace {

using Texts = std::vector<std::string>;

TEST(ErrorTest, EachThreadHasItsOwnRecord) {
  orverrno.set(7, "main thread");
  int other_before = -1;
  int other_after = -1;
  std::thread([&] {
    other_before = orverrno.code();
    std::string value;
    orv::setMgmt::getKey("not a key", value);  // fails, on this thread only
    other_after = orverrno.code();
  }).join();
  EXPECT_EQ(other_before, 0);
  EXPECT_EQ(other_after, orv::setMgmt::kBadKey);
  EXPECT_EQ(orverrno.code(), 7);
  EXPECT_EQ(orverrno.message(), "main thread");
}

TEST(MemstreamTest, GrowsKeepingEveryByteAndTheTerminator) {
  for (const std::size_t capacity : {0, 1, 64}) {
    orv::basic_memstream out(capacity);
    EXPECT_EQ(out.view().size(), 0u);
    std::string expected("a\0b", 3);
    out.write(expected.data(), 3);
    for (int i = 0; i < 300; ++i) {
      out << i << ',';
      expected += std::to_string(i) + ',';
    }
    out << std::string(5000, 'z');
    expected += std::string(5000, 'z');
    const orv::basic_string_view<char> view = out.view();
    EXPECT_EQ(std::string(view.data(), view.size()), expected) << capacity;
    EXPECT_EQ(view.data()[view.size()], '\0') << capacity;
  }
}

TEST(LogTest, SinkAndJsonLinesInOrderWithTheirLevels) {
  json_t* value = json_pack("{s:i, s:s, s:[i,b]}", "zeta", 1, "alpha", "x y", "mid", 2, 0);
  {
    LogCapture capture(3);
    orv::log::print(0, orv::log::kError, std::string("broken"));
    orv::log_json(orv::log::kInfo, "state", value);
    orv::log_json(orv::log::kDebug, "hidden", value);  // above the threshold
    orv::log_json(orv::log::kNotice, "none", nullptr);
    // set_sink hands back the sink it replaces.
    Texts mine;
    orv::log::Sink previous = orv::log::set_sink([&mine](orv::log::level lvl, std::string_view t) {
      mine.push_back(std::to_string(lvl) + " " + std::string(t));
    });
    orv::log::print(0, orv::log::kDebug, "to mine");
    orv::log::set_sink(std::move(previous))(orv::log::kNotice, "direct");
    orv::log::print(0, orv::log::kInfo, "back");
    EXPECT_EQ(mine, (Texts{"4 to mine", "2 direct"}));
    Texts lines;
    for (const LogLine& line : capture.Lines()) {
      lines.push_back(std::to_string(line.level) + " " + line.text);
    }
    EXPECT_EQ(lines, (Texts{"0 broken", R"(3 state {"zeta":1,"alpha":"x y","mid":[2,false]})",
                            "2 none null", "3 back"}));
  }
  EXPECT_EQ(value->refcount, 1u);
  json_decref(value);
}

}  // namespace
