// TempStore: a private settings store for one test.
//
//   TempStore store;                         // fresh root, made the store's root
//   store.Set("/devices/d1/display_name", "TV");
//   store.Delete("/devices/d1");
//
// The root is a new directory under $TMPDIR (or /tmp); it is removed with
// everything in it when the TempStore goes. Set and Delete fail the test when
// the store refuses.
//
// Error renders a store call's result: "ok" (0 or more), else orverrno's
// "<code> <text>", e.g. "4 key /a not found".

#ifndef ORV_TESTS_SUPPORT_TEMP_STORE_H_
#define ORV_TESTS_SUPPORT_TEMP_STORE_H_

#include <string>

class TempStore {
 public:
  TempStore();
  TempStore(const TempStore&) = delete;
  TempStore& operator=(const TempStore&) = delete;
  ~TempStore();

  const std::string& root() const { return root_; }
  void Set(const std::string& key, const std::string& value);
  void Delete(const std::string& key);

 private:
  std::string root_;
};

std::string Error(int result);

#endif  // ORV_TESTS_SUPPORT_TEMP_STORE_H_
