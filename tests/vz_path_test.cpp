#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "orv/path.h"
#include "orv/settings.h"
#include "support/temp_store.h"

namespace {

std::string Joined(std::initializer_list<std::string> pieces) {
  orv::path key;
  for (const std::string& piece : pieces) key.add_piece(true, orv::basic_string_view<char>(piece));
  return key.str();
}

TEST(PathTest, PutsExactlyOneSlashBetweenPieces) {
  EXPECT_EQ(orv::path().str(), "");
  EXPECT_TRUE(orv::path().empty());
  EXPECT_EQ(Joined({"devices"}), "/devices");
  EXPECT_EQ(Joined({"/devices"}), "/devices");
  EXPECT_EQ(Joined({"/devices", "d1"}), "/devices/d1");
  EXPECT_EQ(Joined({"/devices/", "d1"}), "/devices/d1");
  EXPECT_EQ(Joined({"/devices", "/d1"}), "/devices/d1");
  EXPECT_EQ(Joined({"/devices/", "/d1"}), "/devices/d1");
  EXPECT_EQ(Joined({"/a", "b/c", "d"}), "/a/b/c/d");

  orv::path base;
  base.add_piece(true, "/devices").add_piece(false, 42);
  EXPECT_EQ(base.str(), "/devices/42");
  orv::path nested;
  nested.add_piece(true, base).add_piece(true, std::string("name"));
  EXPECT_EQ(nested.str(), "/devices/42/name");
  std::ostringstream streamed;
  streamed << nested;
  EXPECT_EQ(streamed.str(), "/devices/42/name");
}

TEST(PathTest, EscapesOnlyWhatWouldLeaveTheName) {
  const auto escaped = [](const std::string& name) {
    orv::path key;
    key.add_piece(true, "/n").add_piece(false, name);
    return key.str();
  };
  EXPECT_EQ(escaped("aa/bb"), "/n/aa%2Fbb");
  EXPECT_EQ(escaped("/lead"), "/n/%2Flead");
  EXPECT_EQ(escaped(std::string("a\0b", 3)), "/n/a%00b");
  EXPECT_EQ(escaped(".hidden"), "/n/%2Ehidden");
  EXPECT_EQ(escaped(".."), "/n/%2E.");
  EXPECT_EQ(escaped("a.b."), "/n/a.b.");
  EXPECT_EQ(escaped("50%2F off"), "/n/50%2F off");
  EXPECT_EQ(escaped("caf\xc3\xa9"), "/n/caf\xc3\xa9");
  // With the flag true the piece is taken as it is.
  orv::path raw;
  raw.add_piece(true, "/n").add_piece(true, "x/y");
  EXPECT_EQ(raw.str(), "/n/x/y");
}

TEST(PathTest, ListedNamesAddressTheNodesTheyCameFrom) {
  TempStore store;
  const std::vector<std::string> names = {"plain", "with space",  "a.b",   "aa/bb",
                                          ".dot",  "caf\xc3\xa9", "x~y!#", std::string("n\0ul", 4)};
  for (const std::string& name : names) {
    orv::path key;
    key.add_piece(true, "/list").add_piece(false, name);
    store.Set(key.str(), "value of " + key.str());
  }
  std::vector<std::string> listed;
  ASSERT_EQ(orv::setMgmt::enumSubkeys("/list", listed), static_cast<int>(names.size()));
  for (const std::string& name : listed) {
    orv::path key;
    key.add_piece(true, "/list").add_piece(false, name);
    EXPECT_EQ(key.str(), "/list/" + name);
    std::string value;
    ASSERT_GE(orv::setMgmt::getKey(key.str(), value), 0) << key;
    EXPECT_EQ(value, "value of " + key.str());
  }
}

}  // namespace
