#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "orv/error.h"
#include "orv/settings.h"

namespace {

TEST(ErrorTest, EachThreadHasItsOwnRecord) {
  orverrno.set(7, "main thread");
  EXPECT_EQ(orverrno.code(), 7);
  EXPECT_EQ(orverrno.message(), "main thread");

  int other_code_before = -1;
  std::string other_message_before = "unset";
  int other_code_after = -1;
  std::thread other([&] {
    other_code_before = orverrno.code();
    other_message_before = orverrno.message();
    // A failing store call records in this thread's record only.
    std::string value;
    orv::setMgmt::getKey("not a key", value);
    other_code_after = orverrno.code();
  });
  other.join();
  EXPECT_EQ(other_code_before, 0);
  EXPECT_EQ(other_message_before, "");
  EXPECT_EQ(other_code_after, orv::setMgmt::kBadKey);
  EXPECT_EQ(orverrno.code(), 7);
  EXPECT_EQ(orverrno.message(), "main thread");

  orverrno.set(9);
  EXPECT_EQ(orverrno.code(), 9);
  EXPECT_EQ(orverrno.message(), "");
}

}  // namespace
