#include "orv/path.h"

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
  std::string text;
  if (raw) {
    text.assign(piece.data(), piece.size());
  } else {
    AppendEscaped(text, piece);
  }

  const bool piece_has_slash = !text.empty() && text.front() == '/';
  if (text_.empty()) {
    if (!piece_has_slash) text_ += '/';
    text_ += text;
    return *this;
  }
  const bool path_has_slash = text_.back() == '/';
  if (path_has_slash && piece_has_slash) {
    text_.append(text, 1, std::string::npos);
  } else {
    if (!path_has_slash && !piece_has_slash) text_ += '/';
    text_ += text;
  }
  return *this;
}

}  // namespace orv
