#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "orv/memstream.h"
#include "orv/path.h"

namespace {

TEST(MemstreamTest, GrowsPastItsFirstBlockAndStaysTerminated) {
  for (const std::size_t capacity :
       {std::size_t{0}, std::size_t{1}, std::size_t{4}, std::size_t{64}}) {
    orv::basic_memstream out(capacity);
    std::string expected;
    for (int i = 0; i < 300; ++i) {
      out << i << ',';
      out.put(static_cast<char>('a' + i % 26));
      expected += std::to_string(i) + ',' + static_cast<char>('a' + i % 26);
    }
    const std::string block(5000, 'z');
    out << block;
    expected += block;
    ASSERT_TRUE(out.good()) << capacity;
    const orv::basic_string_view<char> view = out.view();
    ASSERT_EQ(std::string(view.data(), view.size()), expected) << capacity;
    EXPECT_EQ(view.data()[view.size()], '\0') << capacity;
  }
}

TEST(MemstreamTest, KeepsNulBytesAndReportsNothingWhenEmpty) {
  orv::basic_memstream never_written(0);
  EXPECT_TRUE(never_written.view().empty());
  ASSERT_NE(never_written.view().data(), nullptr);
  EXPECT_EQ(never_written.view().data()[0], '\0');

  orv::basic_memstream reserved(16);
  EXPECT_EQ(reserved.view().size(), 0u);
  EXPECT_EQ(reserved.view().data()[0], '\0');

  orv::basic_memstream out(2);
  out.write("a\0b", 3);
  out << "id=" << 42;
  const orv::basic_string_view<char> view = out.view();
  EXPECT_EQ(std::string(view.data(), view.size()), std::string("a\0bid=42", 8));
  // The view is refreshed in place by later writes.
  out << '!';
  EXPECT_EQ(std::string(out.view()), std::string("a\0bid=42!", 9));
  EXPECT_EQ(std::strlen(out.view().data() + 3), 6u);
}

}  // namespace
