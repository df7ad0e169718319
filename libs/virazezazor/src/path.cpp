#include "orv/path.h"

#include <functional>
#include <string_view>

namespace orv {

namespace {

// AppendEscaped appends `name` so that it stays one node name that the store
// accepts: no "/" inside, no NUL, no leading "." (reserved for the store's own
// files). Every other byte is kept, so listed names round-trip unchanged.
void AppendEscaped(std::string& out, std::string_view name) {
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (c == '/') {
      out += "%2F";
    } else if (c == '\0') {
      out += "%00";
    } else if (c == '.' && i == 0) {
      out += "%2E";
    } else {
      out += c;
    }
  }
}

}  // namespace

path& path::add_piece(bool raw, basic_string_view<char> piece) {
  const std::string_view view(piece.data(), piece.size());
  // A piece taken from this very path is copied before the path grows.
  const std::less<const char*> before;
  if (!view.empty() && !before(view.data(), text_.data()) &&
      before(view.data(), text_.data() + text_.size())) {
    const std::string copy(view);
    return add_piece(raw, basic_string_view<char>(copy));
  }
  // An escaped piece never starts with "/"; a raw one is appended as it is,
  // without a copy.
  const bool piece_has_slash = raw && !view.empty() && view.front() == '/';
  if (text_.empty()) {
    if (!piece_has_slash) text_ += '/';
  } else {
    const bool path_has_slash = text_.back() == '/';
    if (!path_has_slash && !piece_has_slash) text_ += '/';
    if (path_has_slash && piece_has_slash) {
      text_.append(view.substr(1));
      return *this;
    }
  }
  if (raw) {
    text_.append(view);
  } else {
    AppendEscaped(text_, view);
  }
  return *this;
}

}  // namespace orv
