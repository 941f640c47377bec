#include "common/failed.hpp"

#include <gtest/gtest.h>

#include "common/expected.hpp"
#include "linalg/basic/matrix.hpp"

namespace tacitor {
namespace {

TEST(Failed, DisplayFormJoinsKindTextAndMessage) {
  const Failed failed = Failed::fit("Number of rows of X doesn't match number of rows of Y");
  EXPECT_EQ(failed.to_string(),
            "Fit failed: Number of rows of X doesn't match number of rows of Y");
  EXPECT_EQ(Failed::input("bad").to_string(), "Error in input, check parameters: bad");
  EXPECT_EQ(failed.debug_string(),
            "Failed { err: FitFailed, msg: \"Number of rows of X doesn't match number of rows "
            "of Y\" }");
}

TEST(Failed, EveryKindHasItsText) {
  const std::pair<FailedError, const char*> kinds[] = {
      {FailedError::FitFailed, "Fit failed"},
      {FailedError::PredictFailed, "Predict failed"},
      {FailedError::TransformFailed, "Transform failed"},
      {FailedError::FindFailed, "Find failed"},
      {FailedError::DecompositionFailed, "Decomposition failed"},
      {FailedError::SolutionFailed, "Can't find solution"},
      {FailedError::ParametersError, "Error in input, check parameters"},
      {FailedError::InvalidStateError, "Invalid state, this should never happen"},
  };
  std::uint8_t value = 1;
  for (const auto& [kind, text] : kinds) {
    EXPECT_EQ(static_cast<std::uint8_t>(kind), value++);
    EXPECT_EQ(display_text(kind), text);
  }
}

TEST(Expected, HoldsValueOrErrorEvenOfTheSameType) {
  Expected<std::string, std::string> ok(std::string("value"));
  Expected<std::string, std::string> bad(unexpected(std::string("error")));
  ASSERT_TRUE(ok);
  EXPECT_EQ(*ok, "value");
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error(), "error");
}

}  // namespace
}  // namespace tacitor
