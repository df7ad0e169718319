#include "support/temp_store.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "orv/error.h"
#include "orv/settings.h"

TempStore::TempStore() {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/orv-store-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp " << pattern;
  root_ = pattern;
  orv::setMgmt::set_root(root_);
}

TempStore::~TempStore() {
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

void TempStore::Set(const std::string& key, const std::string& value) {
  EXPECT_EQ(orv::setMgmt::setKey(key, value), 0)
      << key << ": " << orverrno.code() << " " << orverrno.message();
}

void TempStore::Delete(const std::string& key) {
  EXPECT_EQ(orv::setMgmt::deleteKey(key), 0)
      << key << ": " << orverrno.code() << " " << orverrno.message();
}

std::string Error(int result) {
  return result < 0 ? std::to_string(orverrno.code()) + " " + orverrno.message() : "ok";
}
