#include "orv/memstream.h"

#include <cstring>
#include <limits>
#include <new>

namespace orv {
namespace memstream_internal {

namespace {

// Small first blocks only cost reallocations; lazily created buffers start
// here.
constexpr std::size_t kFirstBlock = 64;

}  // namespace

Buffer::Buffer(std::size_t capacity) {
  if (capacity > 0) {
    block_.reset(new char[capacity]);
    capacity_ = capacity;
    setp(block_.get(), block_.get() + capacity_ - 1);
  }
}

basic_string_view<char> Buffer::view() {
  if (!block_) return basic_string_view<char>("", 0);
  // The NUL slot is always free: epptr() stops one byte short of the block.
  *pptr() = '\0';
  return basic_string_view<char>(pbase(), static_cast<std::size_t>(pptr() - pbase()));
}

Buffer::int_type Buffer::overflow(int_type ch) {
  if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
  Grow(1);
  *pptr() = traits_type::to_char_type(ch);
  pbump(1);
  return ch;
}

std::streamsize Buffer::xsputn(const char* data, std::streamsize size) {
  if (size <= 0) return 0;
  const std::size_t count = static_cast<std::size_t>(size);
  if (static_cast<std::size_t>(epptr() - pptr()) < count) Grow(count);
  std::memcpy(pptr(), data, count);
  Advance(count);
  return size;
}

void Buffer::Grow(std::size_t needed) {
  const std::size_t used = block_ ? static_cast<std::size_t>(pptr() - pbase()) : 0;
  const std::size_t limit = std::numeric_limits<std::size_t>::max();
  if (needed > limit - used - 1) throw std::bad_alloc();
  const std::size_t minimum = used + needed + 1;
  std::size_t capacity = capacity_ > 0 ? capacity_ : kFirstBlock;
  while (capacity < minimum) capacity = capacity > limit / 2 ? minimum : capacity * 2;

  std::unique_ptr<char[]> block(new char[capacity]);
  if (used > 0) std::memcpy(block.get(), block_.get(), used);
  block_ = std::move(block);
  capacity_ = capacity;
  setp(block_.get(), block_.get() + capacity_ - 1);
  Advance(used);
}

void Buffer::Advance(std::size_t count) {
  // pbump takes an int; more than 2 GiB has to be skipped in steps.
  constexpr std::size_t kMaxStep = static_cast<std::size_t>(std::numeric_limits<int>::max());
  while (count > 0) {
    const std::size_t step = count < kMaxStep ? count : kMaxStep;
    pbump(static_cast<int>(step));
    count -= step;
  }
}

}  // namespace memstream_internal

// The ostream base is built before buffer_ exists, so it starts without a
// buffer and is pointed at buffer_ once that is constructed.
basic_memstream::basic_memstream(std::size_t capacity) : std::ostream(nullptr), buffer_(capacity) {
  rdbuf(&buffer_);
}

basic_memstream::~basic_memstream() = default;

}  // namespace orv
