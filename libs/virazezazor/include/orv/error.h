// orv/error.h: the per-thread error record.
//
// orverrno names the calling thread's record of the last error: a code and a
// message text. Operations that fail record their error there; nothing clears
// it on success. Each thread has its own record.
//
//   if (orv::setMgmt::getKey("/x", value) < 0)
//     std::cerr << orverrno.code() << " " << orverrno.message() << "\n";

#ifndef ORV_ERROR_H_
#define ORV_ERROR_H_

#include <string>

#include "orv/string_view.h"
#include "orv/virazezazor_export.h"

namespace orv {

class VIRAZEZAZOR_EXPORT _ORVErrorStorage {  // NOLINT: the utility library's own name
 public:
  // set records `code` with an empty message.
  void set(int code);
  // set records `code` and a copy of `message`.
  void set(int code, basic_string_view<char> message);

  int code() const noexcept { return code_; }
  const std::string& message() const noexcept { return message_; }

 private:
  int code_ = 0;
  std::string message_;
};

}  // namespace orv

// orverrno refers to the calling thread's error record.
extern VIRAZEZAZOR_EXPORT thread_local orv::_ORVErrorStorage& orverrno;

#endif  // ORV_ERROR_H_
