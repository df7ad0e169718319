#include "support/model.h"

#include <cstdlib>
#include <sstream>

namespace model_internal {

rc::detail::TestParams Params(int runs, int size) {
  rc::detail::TestParams params = rc::detail::configuration().testParams;
  if (std::getenv("RC_PARAMS") == nullptr) {
    params.seed = 20261206;
    params.maxSuccess = runs;
    params.maxSize = size;
  }
  return params;
}

rc::detail::TestMetadata Metadata() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  rc::detail::TestMetadata metadata;
  metadata.id = std::string(info->test_suite_name()) + "/" + info->name();
  metadata.description = info->name();
  return metadata;
}

void Report(const rc::detail::TestResult& result) {
  if (result.is<rc::detail::SuccessResult>()) return;
  std::ostringstream text;
  rc::detail::printResultMessage(result, text);
  ADD_FAILURE() << text.str();
}

}  // namespace model_internal
