// orv/path.h: settings keys built piece by piece.
//
// A key is the text of a path in the settings tree: pieces separated by "/",
// starting with "/". A path is built from an empty one by add_piece:
//
//   orv::path key;
//   key.add_piece(true, "/devices");        // "/devices"
//   key.add_piece(true, device_id);         // "/devices/d1"
//   key.add_piece(false, "aa/bb");          // "/devices/d1/aa%2Fbb"
//
// With the flag true the piece is taken as it is and may itself hold several
// pieces ("/devices/d1"). With the flag false the piece is one node name and is
// escaped so that it stays one name: "/" becomes "%2F", a NUL byte "%00", and a
// leading "." becomes "%2E" (names starting with "." are reserved for the
// store). Nothing else changes, so every name that setMgmt::enumSubkeys lists
// comes back unchanged and addresses the node it was listed from.
//
// Joining: a "/" is put between the text so far and the piece unless one of
// them already provides it; a piece added to an empty path gets a leading "/".
//
// Streamed, a path writes its text.

#ifndef ORV_PATH_H_
#define ORV_PATH_H_

#include <ostream>
#include <string>

#include "orv/memstream.h"
#include "orv/string_view.h"
#include "orv/virazezazor_export.h"

namespace orv {

class VIRAZEZAZOR_EXPORT path {
 public:
  path() = default;

  // add_piece appends one piece (see above) and returns *this.
  path& add_piece(bool raw, basic_string_view<char> piece);

  // add_piece renders any streamable value (a std::string, another path, a
  // number) in a default basic_memstream and appends its text with the same
  // flag.
  template <class T>
  path& add_piece(bool raw, const T& piece) {
    basic_memstream rendered;
    rendered << piece;
    return add_piece(raw, rendered.view());
  }

  const std::string& str() const noexcept { return text_; }
  bool empty() const noexcept { return text_.empty(); }

 private:
  std::string text_;
};

inline std::ostream& operator<<(std::ostream& out, const path& key) { return out << key.str(); }

}  // namespace orv

#endif  // ORV_PATH_H_
