#pragma once
// The file of a trained model set: a versioned, little-endian byte layout that reads back to
// the same estimators, bit for bit, on any platform.
//
// Layout, version 1 (all numbers little-endian, IEEE floats):
//   offset  0  8 bytes  magic "TACITORM"
//          8  u32      version (1)
//         12  u8       method: 1 linear regression, 2 regression tree
//         13  u8       flags: bit 0 fill missing values, bit 1 linear change of units present
//         14  u16      0
//         16  u32      window size w (at least 1)
//         20  u32      default stride (at least 1)
//         24  f64      blend weight (NaN: none)
//         32  f32, i32 change of units: offset, power-of-two exponent (0, 0 when absent)
//         40  w estimators, in window-position order:
//             linear: f32 x (w - 1) coefficients, f32 intercept
//             tree:   u32 node count n (at least 1), u16 depth, then n nodes of 37 bytes:
//                     f64 mean, u32 feature, u8 flags (bit 0 threshold, 1 gain, 2 lower
//                     child, 3 upper child), f64 threshold, f64 gain, u32 lower, u32 upper
//                     (absent fields are 0); children come after their parent
//   end     u32      CRC-32 (IEEE) of every byte before it
//
// Reading checks every count against the bytes that remain before it allocates, so a hostile
// file cannot make the reader allocate more than the file's own size warrants.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "common/expected.hpp"
#include "models/decision_tree.hpp"
#include "models/linear_regression.hpp"

namespace tacitor::models {

inline constexpr std::uint32_t kModelFileVersion = 1;

struct ModelFile {
  std::variant<LRModel, DTModel> model;
  std::uint32_t stride = 1;
  bool fill_missing = false;
  double blend_weight = 0.0;  // NaN: none
};

std::vector<std::uint8_t> write_model_file(const ModelFile& file);

// The model file in `bytes`, or a text naming what is wrong with them.
Expected<ModelFile, std::string> read_model_file(std::span<const std::uint8_t> bytes);

}  // namespace tacitor::models
