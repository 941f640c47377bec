// Results must not depend on whether the compiler fuses a multiply and an add: every product
// is rounded to float32 before it is added. The first expected values here are computed with
// each product stored through a volatile, so they stay unfused whatever the build flags; they
// also show that the tests themselves are built without contraction, so the plain solvers
// (plain_solvers.hpp) round every product too. Inputs are chosen (and checked) so that a
// fused multiply-add would give different bits.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <random>
#include <regex>
#include <string>

#include "linalg/traits/qr.hpp"
#include "linalg/traits/svd.hpp"
#include "linear/linear_regression.hpp"
#include "plain_solvers.hpp"

namespace tacitor {
namespace {

// a * b = 1 + 2^-11 + 2^-24 exactly; rounded, the 2^-24 is lost, fused it survives.
constexpr float kA = 1.0f + 0x1p-12f;
constexpr float kB = 1.0f + 0x1p-12f;
constexpr float kC = -1.0f;

float unfused_multiply_add(float a, float b, float c) {
  volatile float product = a * b;
  return product + c;
}

TEST(NoFusedMultiplyAdd, InputsDiscriminate) {
  ASSERT_NE(unfused_multiply_add(kA, kB, kC), std::fma(kA, kB, kC));
}

// An expression the compiler could contract, on values it cannot fold.
TEST(NoFusedMultiplyAdd, TestsAreBuiltWithoutContraction) {
  volatile float a = kA, b = kB, c = kC;
  const float x = a, y = b, z = c;
  EXPECT_EQ(x * y + z, unfused_multiply_add(kA, kB, kC));
}

TEST(NoFusedMultiplyAdd, MatmulAndPredict) {
  const DenseMatrix x = DenseMatrix::create(1, 2, {1.0f, kA}, false).value();
  const DenseMatrix w = DenseMatrix::create(2, 1, {kC, kB}, false).value();
  // (0 + 1 * c) + a * b
  EXPECT_EQ(x.matmul(w).values[0], unfused_multiply_add(kA, kB, kC));

  LinearRegression model;
  model.coefficients = DenseMatrix::create(1, 1, {kB}, false).value();
  model.intercept = kC;
  const DenseMatrix row = DenseMatrix::create(1, 1, {kA}, false).value();
  EXPECT_EQ(model.predict(row).value()[0], unfused_multiply_add(kA, kB, kC));
}

// Random systems: over enough of them a fused evaluation differs somewhere, which the count
// of discriminating dot products confirms.
TEST(NoFusedMultiplyAdd, SingleColumnSolvers) {
  std::mt19937 generator(7);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  int discriminating = 0;
  for (int trial = 0; trial < 200; ++trial) {
    const std::size_t m = 2 + trial % 5;
    std::vector<float> a(m), b(m);
    for (std::size_t i = 0; i < m; ++i)
      a[i] = uniform(generator), b[i] = uniform(generator);
    float unfused = 0.0f, fused = 0.0f;
    for (std::size_t i = 0; i < m; ++i) {
      volatile float product = a[i] * b[i];
      unfused = unfused + product;
      fused = std::fma(a[i], b[i], fused);
    }
    discriminating += unfused != fused;

    const DenseMatrix column_a = DenseMatrix::create(m, 1, a, true).value();
    const DenseMatrix column_b = DenseMatrix::create(m, 1, b, false).value();
    const DenseMatrix svd = SVDDecomposable::svd_solve_mut(column_a, column_b).value();
    EXPECT_EQ(svd.values[0], testing::plain_svd_solve(column_a, b)[0]) << "trial " << trial;
    const DenseMatrix qr = QRDecomposable::qr_solve_mut(column_a, column_b).value();
    EXPECT_EQ(qr.values[0], testing::plain_qr_solve(column_a, b)[0]) << "trial " << trial;
  }
  EXPECT_GT(discriminating, 20);
}

// The solver objects themselves contain no fused multiply-add instruction (x86 FMA3/FMA4,
// ARM VFPv4/NEON, AArch64).
TEST(NoFusedMultiplyAdd, SolverObjectCodeHasNoFmaInstructions) {
  const std::string library = std::string(TACITOR_BINARY_DIR) + "/libtacitor_core.a";
  // The build's objdump, which reads the target's instruction set.
  const std::string command =
      std::string(TACITOR_OBJDUMP) + " -d --no-show-raw-insn '" + library + "' 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    GTEST_SKIP() << "cannot run objdump";
  }
  const std::regex fused(
      R"(^\s*[0-9a-f]+:\s+(vfn?m(add|sub)\w*|vfn?m[as]\.\S*|fn?m(add|sub)|fml[as])\s)");
  std::array<char, 512> line{};
  std::string current_object;
  std::size_t instructions = 0;
  while (std::fgets(line.data(), line.size(), pipe) != nullptr) {
    const std::string text(line.data());
    if (text.find("file format") != std::string::npos) {
      current_object = text.substr(0, text.find(':'));
    }
    if (current_object.find("linalg") == std::string::npos &&
        current_object.find("linear_regression") == std::string::npos) {
      continue;
    }
    ++instructions;
    std::smatch match;
    if (std::regex_search(text, match, fused)) {
      ADD_FAILURE() << current_object << ": " << text;
    }
  }
  pclose(pipe);
  if (instructions == 0) {
    GTEST_SKIP() << "objdump produced no disassembly of the solver objects";
  }
}

}  // namespace
}  // namespace tacitor
