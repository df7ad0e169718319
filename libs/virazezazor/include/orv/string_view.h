// orv/string_view.h: the utility library's non-owning text view.
//
// orv::basic_string_view<char> is a pointer and a length, passed by value. It
// converts from C strings, std::string and std::string_view, and back to
// std::string_view, so it can be handed to anything that takes either.
//
//   void show(orv::basic_string_view<char> text);
//   show("literal");  show(some_std_string);

#ifndef ORV_STRING_VIEW_H_
#define ORV_STRING_VIEW_H_

#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>

namespace orv {

template <class CharT>
class basic_string_view {
 public:
  constexpr basic_string_view() noexcept = default;
  constexpr basic_string_view(const CharT* data, std::size_t size) noexcept
      : data_(data), size_(size) {}
  // A NUL-terminated string; a null pointer is the empty view.
  basic_string_view(const CharT* text) noexcept  // NOLINT: implicit by design
      : data_(text), size_(text ? std::char_traits<CharT>::length(text) : 0) {}
  basic_string_view(const std::basic_string<CharT>& text) noexcept  // NOLINT
      : data_(text.data()), size_(text.size()) {}
  constexpr basic_string_view(std::basic_string_view<CharT> text) noexcept  // NOLINT
      : data_(text.data()), size_(text.size()) {}

  constexpr const CharT* data() const noexcept { return data_; }
  constexpr std::size_t size() const noexcept { return size_; }
  constexpr bool empty() const noexcept { return size_ == 0; }

  constexpr operator std::basic_string_view<CharT>() const noexcept {  // NOLINT
    return std::basic_string_view<CharT>(data_, size_);
  }
  std::basic_string<CharT> str() const { return std::basic_string<CharT>(data_, size_); }

 private:
  const CharT* data_ = nullptr;
  std::size_t size_ = 0;
};

template <class CharT>
std::basic_ostream<CharT>& operator<<(std::basic_ostream<CharT>& out,
                                      basic_string_view<CharT> text) {
  return out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

}  // namespace orv

#endif  // ORV_STRING_VIEW_H_
