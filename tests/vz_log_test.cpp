#include <gtest/gtest.h>
#include <jansson.h>
#include <stdio.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "orv/log.h"
#include "support/log_capture.h"

namespace {

// StderrToFile sends descriptor 2 to a temporary file while it lives and
// restores the logger's default output (no sink).
class StderrToFile {
 public:
  StderrToFile() : file_(tmpfile()), saved_fd_(dup(STDERR_FILENO)) {
    saved_sink_ = orv::log::set_sink(orv::log::Sink());
    fflush(stderr);
    dup2(fileno(file_), STDERR_FILENO);
  }
  ~StderrToFile() {
    dup2(saved_fd_, STDERR_FILENO);
    close(saved_fd_);
    fclose(file_);
    orv::log::set_sink(std::move(saved_sink_));
  }
  std::string Text() {
    std::string text;
    rewind(file_);
    char chunk[4096];
    for (std::size_t got; (got = fread(chunk, 1, sizeof(chunk), file_)) > 0;)
      text.append(chunk, got);
    return text;
  }

 private:
  FILE* file_;
  int saved_fd_;
  orv::log::Sink saved_sink_;
};

TEST(LogTest, SinkReceivesEachLineWithItsLevel) {
  LogCapture capture(4);
  orv::log::print(0, orv::log::kInfo, "hello");
  orv::log::print(0, orv::log::kError, std::string("broken"));
  const std::vector<LogLine> lines = capture.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].level, 3);
  EXPECT_EQ(lines[0].text, "hello");
  EXPECT_EQ(lines[1].level, 0);
  EXPECT_EQ(lines[1].text, "broken");

  // set_sink hands back the sink it replaces.
  std::vector<std::string> mine;
  orv::log::Sink previous = orv::log::set_sink(
      [&mine](orv::log::level, std::string_view text) { mine.emplace_back(text); });
  orv::log::print(0, orv::log::kDebug, "to mine");
  orv::log::Sink returned = orv::log::set_sink(std::move(previous));
  ASSERT_TRUE(returned);
  returned(orv::log::kNotice, "direct");
  EXPECT_EQ(mine, (std::vector<std::string>{"to mine", "direct"}));
  orv::log::print(0, orv::log::kNotice, "back to capture");
  EXPECT_TRUE(capture.Contains(2, "back to capture"));
}

TEST(LogTest, StderrGetsWholeLinesFromConcurrentThreads) {
  StderrToFile redirect;
  orv::log::print(0, orv::log::kNotice, "first");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) {
        orv::log::print(
            0, orv::log::kInfo,
            "thread " + std::to_string(t) + " line " + std::to_string(i) + std::string(100, 'x'));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::istringstream text(redirect.Text());
  std::string line;
  ASSERT_TRUE(std::getline(text, line));
  EXPECT_EQ(line, "2: first");
  std::set<std::string> seen;
  while (std::getline(text, line)) {
    EXPECT_EQ(line.compare(0, 10, "3: thread "), 0) << line;
    EXPECT_EQ(line.substr(line.size() - 100), std::string(100, 'x')) << line;
    seen.insert(line);
  }
  EXPECT_EQ(seen.size(), 800u);
}

TEST(LogTest, JsonIsCompactInMemberOrderAndKeepsTheReference) {
  json_t* value = json_object();
  json_object_set_new(value, "zeta", json_integer(1));
  json_object_set_new(value, "alpha", json_string("x y"));
  json_object_set_new(value, "mid", json_pack("[i,b]", 2, 0));
  {
    LogCapture capture(3);
    orv::log_json(orv::log::kInfo, "state", value);
    orv::log_json(orv::log::kDebug, "hidden", value);  // above the threshold
    orv::log_json(orv::log::kError, "none", nullptr);
    json_t* number = json_integer(7);
    orv::log_json(orv::log::kNotice, "n", number);
    json_decref(number);
    const std::vector<LogLine> lines = capture.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].level, 3);
    EXPECT_EQ(lines[0].text, "state {\"zeta\":1,\"alpha\":\"x y\",\"mid\":[2,false]}");
    EXPECT_EQ(lines[1].level, 0);
    EXPECT_EQ(lines[1].text, "none null");
    EXPECT_EQ(lines[2].text, "n 7");
  }
  EXPECT_EQ(value->refcount, 1u);
  json_decref(value);
}

}  // namespace
