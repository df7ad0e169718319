// Model tests: a property checked with RapidCheck over generated cases, the
// same cases on every run unless the caller asks for others.
//
//   TEST(StoreModelTest, StoreAnswersAsTheModel) {
//     CheckModel(60, [] { ... RC_ASSERT(...); });   // 60 cases
//   }
//
// Without RC_PARAMS in the environment a fixed seed and the count given are
// used, so a CI run is repeatable. With it, RapidCheck's own settings apply:
// RC_PARAMS="max_success=1000" draws 1000 fresh cases per property, and a
// failure prints the RC_PARAMS that reproduces it.

#ifndef ORV_TESTS_SUPPORT_MODEL_H_
#define ORV_TESTS_SUPPORT_MODEL_H_

#include <gtest/gtest.h>
#include <rapidcheck.h>

#include <string>
#include <utility>

namespace model_internal {
// Params gives the test parameters for a property of `runs` cases whose
// generated sequences hold at most `size` steps.
rc::detail::TestParams Params(int runs, int size);
rc::detail::TestMetadata Metadata();
// Report fails the current test with RapidCheck's account of a failure.
void Report(const rc::detail::TestResult& result);
}  // namespace model_internal

template <class Property>
void CheckModel(int runs, int size, Property&& property) {
  using namespace model_internal;
  Report(
      rc::detail::checkTestable(std::forward<Property>(property), Metadata(), Params(runs, size)));
}

// AnyOf draws an index below `count` at full size: RapidCheck scales a range
// down with a case's size, which would leave a table's later entries out of
// every case of a property whose size is below 100.
inline rc::Gen<int> AnyOf(int count) { return rc::gen::resize(100, rc::gen::inRange(0, count)); }

#endif  // ORV_TESTS_SUPPORT_MODEL_H_
