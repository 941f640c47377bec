#pragma once
// Runs a test body once for every instruction-set level of the column kernels, forcing each
// level in turn; levels this processor lacks are reported as skipped, not silently passed.

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "linalg/basic/instruction_set.hpp"

namespace tacitor::testing {

inline void for_each_instruction_set(const std::function<void()>& body) {
  using linalg::InstructionSet;
  const InstructionSet before = linalg::active_instruction_set();
  std::string skipped;
  for (const InstructionSet level :
       {InstructionSet::baseline, InstructionSet::avx2, InstructionSet::avx512}) {
    if (!linalg::force_instruction_set(level)) {
      skipped += std::string(" ") + linalg::instruction_set_name(level);
      continue;
    }
    SCOPED_TRACE(std::string("instruction set ") + linalg::instruction_set_name(level));
    body();
  }
  linalg::force_instruction_set(before);
  if (!skipped.empty()) {
    GTEST_SKIP() << "this processor lacks the kernel levels" << skipped
                 << "; the supported levels passed";
  }
}

}  // namespace tacitor::testing
