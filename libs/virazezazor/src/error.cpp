#include "orv/error.h"

namespace orv {

void _ORVErrorStorage::set(int code) {
  code_ = code;
  message_.clear();
}

void _ORVErrorStorage::set(int code, basic_string_view<char> message) {
  code_ = code;
  message_.assign(message.data(), message.size());
}

}  // namespace orv

namespace {

// The record itself; orverrno is only a name for it, so that callers can use
// it like errno without caring how each thread gets its own.
thread_local orv::_ORVErrorStorage thread_error;

}  // namespace

thread_local orv::_ORVErrorStorage& orverrno = thread_error;
