// orv/memstream.h: a std::ostream that writes into a growable byte buffer.
//
//   orv::basic_memstream out(512);   // 512 bytes reserved up front
//   out << "id=" << 42;
//   orv::basic_string_view<char> text = out.view();   // "id=42", NUL-terminated
//
// The buffer is allocated on the first write (or by the constructor when a
// capacity above zero is given) and doubles as it fills; the view stays valid
// until the next write or the stream's destruction.

#ifndef ORV_MEMSTREAM_H_
#define ORV_MEMSTREAM_H_

#include <cstddef>
#include <memory>
#include <ostream>
#include <streambuf>

#include "orv/string_view.h"
#include "orv/virazezazor_export.h"

namespace orv {

namespace memstream_internal {

// The stream buffer behind basic_memstream: one heap block, one byte of it
// always kept free for the terminating NUL.
class VIRAZEZAZOR_EXPORT Buffer : public std::streambuf {
 public:
  explicit Buffer(std::size_t capacity);
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  basic_string_view<char> view();

 protected:
  int_type overflow(int_type ch) override;
  std::streamsize xsputn(const char* data, std::streamsize size) override;

 private:
  // Grow makes room for `needed` more bytes, keeping what was written.
  void Grow(std::size_t needed);
  // Advance moves the write position `count` bytes on.
  void Advance(std::size_t count);

  std::unique_ptr<char[]> block_;
  std::size_t capacity_ = 0;  // bytes in block_, NUL slot included
};

}  // namespace memstream_internal

class VIRAZEZAZOR_EXPORT basic_memstream : public std::ostream {
 public:
  // basic_memstream reserves `capacity` bytes now (none when 0).
  explicit basic_memstream(std::size_t capacity = 64);
  basic_memstream(const basic_memstream&) = delete;
  basic_memstream& operator=(const basic_memstream&) = delete;
  ~basic_memstream() override;

  // view returns the bytes written so far, NUL-terminated in place; empty if
  // no buffer was ever allocated.
  basic_string_view<char> view() { return buffer_.view(); }

 private:
  memstream_internal::Buffer buffer_;
};

}  // namespace orv

#endif  // ORV_MEMSTREAM_H_
