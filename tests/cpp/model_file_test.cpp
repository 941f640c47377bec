// The model file: what is written reads back to the same estimators, a file written on
// x86-64 gives the same bits on every platform, and damaged or hostile bytes are refused
// with a text that names the problem.

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "data/array2.hpp"
#include "models/model_file.hpp"

namespace tacitor::models {
namespace {

// Written on x86-64 by tacitor_tools.fit(...).to_bytes() for the samples below.
// linear: 4 x 9 samples, offset 5000.0, window 3, stride 2
constexpr const char* kLinearFile =
    "54414349544f524d01000000010200000300000002000000000000000000f87fab459c45010000003891343d"
    "ce0777be5c9b6b3b9a21493d29d02bbed44406bd00676bbe84fc12be3b32313da1ba4aab";
constexpr std::uint32_t kLinearOutput[] = {
    0x459c45cbu, 0x459c4534u, 0x459c4542u, 0x459c447eu, 0x459c463du, 0x459c4621u,
    0x459c4438u, 0x459c44bau, 0x459c470au, 0x459c467eu, 0x459c462bu, 0x459c45dbu,
    0x459c454du, 0x459c4575u, 0x459c44d4u, 0x459c45dbu, 0x459c45b2u, 0x459c4483u,
    0x459c45e2u, 0x459c45cbu, 0x459c4523u, 0x459c4681u, 0x459c46a0u, 0x459c45e0u,
    0x459c45a4u, 0x459c44a1u, 0x459c4736u, 0x459c4463u, 0x459c44bau, 0x459c46cfu,
    0x459c465du, 0x459c4519u, 0x459c44f7u, 0x459c4660u, 0x459c469au, 0x459c458bu};
// tree: 2 x 5 samples, offset 0.0, window 2, stride 1
constexpr const char* kTreeFile =
    "54414349544f524d01000000020000000200000001000000000000000000f87f00000000000000000b000000"
    "0400000000000000e33f000000000f000000000000ec3f444444444404ec3f01000000020000003333333333"
    "33eb3f000000000f000000000000e43f202222222222d03f0300000004000000555555555555c53f00000000"
    "0f000000000000f23f585555555555853f0500000006000000555555555555e53f000000000f000000000000"
    "d83f805555555555853f0700000008000000000000000000f23f000000000000000000000000000000000000"
    "0000000000000000000000000000000000d03f00000000000000000000000000000000000000000000000000"
    "00000000000000000000c03f000000000f000000000000f63f000000000000a03f090000000a000000000000"
    "000000e43f0000000000000000000000000000000000000000000000000000000000000000000000e83f0000"
    "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
    "0000000000000000000000000000000000000000000000000000d03f00000000000000000000000000000000"
    "000000000000000000000000000b0000000400000000000000e93f000000000f000000000000d83f00000000"
    "00e0f03f0100000002000000000000000000f43f000000000f000000000000c03f0000000000000000030000"
    "0004000000000000000000e03f000000000f000000000000ec3fa8aaaaaaaaaaca3f05000000060000000000"
    "00000000f43f0000000000000000000000000000000000000000000000000000000000000000000000f43f00"
    "00000000000000000000000000000000000000000000000000000000555555555555d53f000000000f000000"
    "000000e43f605555555555853f0700000008000000000000000000e83f000000000f000000000000f23f0000"
    "000000000000090000000a000000000000000000d03f00000000000000000000000000000000000000000000"
    "00000000000000000000000000d83f0000000000000000000000000000000000000000000000000000000000"
    "000000000000e83f0000000000000000000000000000000000000000000000000000000000000000000000e8"
    "3f0000000000000000000000000000000000000000000000000000000000e7a18c5d";
constexpr std::uint32_t kTreeOutput[] = {0x00000000u, 0x3f980000u, 0x3f300000u, 0x3ea00000u,
                                         0x3fa00000u, 0x3f400000u, 0x3f000000u, 0x3e800000u,
                                         0x3f980000u, 0x3f400000u};

data::Array2 formula_samples(std::size_t series, std::size_t length, float offset) {
  data::Array2 samples(series, length);
  for (std::size_t s = 0; s < series; ++s) {
    for (std::size_t t = 0; t < length; ++t) {
      samples(s, t) = static_cast<float>((3 * s + 5 * t + (s * t) % 3) % 7) / 4.0f + offset;
    }
  }
  return samples;
}

std::vector<std::uint8_t> from_hex(const std::string& hex) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

data::Array2 denoise(const ModelFile& file, const data::Array2& samples) {
  return std::visit([&](const auto& set) { return set.denoise(samples, file.stride).value(); },
                    file.model);
}

template <std::size_t N>
void expect_bits(const data::Array2& actual, const std::uint32_t (&expected)[N]) {
  ASSERT_EQ(actual.size(), N);
  for (std::size_t i = 0; i < N; ++i) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(actual.data()[i]), expected[i]) << "element " << i;
  }
}

TEST(ModelFile, AFileWrittenOnX86ReadsBackToTheSameBitsAndBytes) {
  const std::vector<std::uint8_t> linear = from_hex(kLinearFile);
  const auto linear_file = read_model_file(linear);
  ASSERT_TRUE(linear_file) << linear_file.error();
  ASSERT_TRUE(std::get<LRModel>(linear_file->model).scaling.has_value());
  expect_bits(denoise(*linear_file, formula_samples(4, 9, 5000.0f)), kLinearOutput);
  EXPECT_EQ(write_model_file(*linear_file), linear);

  const std::vector<std::uint8_t> tree = from_hex(kTreeFile);
  const auto tree_file = read_model_file(tree);
  ASSERT_TRUE(tree_file) << tree_file.error();
  expect_bits(denoise(*tree_file, formula_samples(2, 5, 0.0f)), kTreeOutput);
  EXPECT_EQ(write_model_file(*tree_file), tree);
}

TEST(ModelFile, TrainingHereWritesTheBytesOfX86) {
  const auto trained = LRModel::train(formula_samples(4, 9, 5000.0f), 3, 2,
                                      LinearRegressionParameters{LeastSquaresMethod::SVD});
  ASSERT_TRUE(trained);
  ModelFile file{*trained, 2, false, std::bit_cast<double>(0x7ff8000000000000ull)};
  EXPECT_EQ(write_model_file(file), from_hex(kLinearFile));
}

TEST(ModelFile, EveryTruncationAndEveryFlippedByteIsRefused) {
  for (const char* hex : {kLinearFile, kTreeFile}) {
    const std::vector<std::uint8_t> bytes = from_hex(hex);
    for (std::size_t length = 0; length < bytes.size(); ++length) {
      const std::vector<std::uint8_t> cut(bytes.begin(), bytes.begin() + length);
      EXPECT_FALSE(read_model_file(cut)) << "length " << length;
    }
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      std::vector<std::uint8_t> flipped = bytes;
      flipped[i] ^= 0x10;
      EXPECT_FALSE(read_model_file(flipped)) << "byte " << i;
    }
  }
}

// The CRC-32 of zlib, to forge files whose checksum matches their hostile contents.
void reseal(std::vector<std::uint8_t>& bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i + 4 < bytes.size(); ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
  }
  crc = ~crc;
  for (std::size_t i = 0; i < 4; ++i) {
    bytes[bytes.size() - 4 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
  }
}

std::string refusal(std::vector<std::uint8_t> bytes) {
  reseal(bytes);
  const auto file = read_model_file(bytes);
  return file ? std::string("accepted") : file.error();
}

TEST(ModelFile, ForgedFilesWithMatchingChecksumsAreRefusedByName) {
  const std::vector<std::uint8_t> tree = from_hex(kTreeFile);
  std::vector<std::uint8_t> bytes = tree;
  bytes[8] = 2;  // version
  EXPECT_EQ(refusal(bytes), "the file has format version 2; this tacitor reads version 1");
  bytes = tree;
  bytes[12] = 7;  // method
  EXPECT_EQ(refusal(bytes), "unknown method 7");
  bytes = tree;
  bytes[19] = 0x7f;  // a window far larger than the file
  EXPECT_NE(refusal(bytes).find("window size"), std::string::npos);
  bytes = tree;
  bytes[43] = 0x7f;  // the first tree's node count
  EXPECT_NE(refusal(bytes).find("claims"), std::string::npos);
  bytes = tree;
  bytes[46 + 8] = 9;  // the root's feature, beyond the window's other positions
  EXPECT_NE(refusal(bytes).find("malformed"), std::string::npos);
  bytes = tree;
  bytes[46 + 29] = 0;  // the root's lower child pointing at itself
  EXPECT_NE(refusal(bytes).find("malformed"), std::string::npos);
  bytes = tree;
  bytes.insert(bytes.end() - 4, 0);
  EXPECT_NE(refusal(bytes).find("after its last estimator"), std::string::npos);
  EXPECT_EQ(refusal(tree), "accepted");
  bytes = from_hex(kLinearFile);
  bytes[36] = bytes[37] = bytes[38] = 0;
  bytes[39] = 0x80;  // a change of units by 2^-2147483648
  EXPECT_NE(refusal(bytes).find("change of units"), std::string::npos);
}

}  // namespace
}  // namespace tacitor::models
