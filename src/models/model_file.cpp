#include "models/model_file.hpp"

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

#include "common/internal_failure.hpp"
#include "models/module_parameters.hpp"

namespace tacitor::models {
namespace {

constexpr char kMagic[8] = {'T', 'A', 'C', 'I', 'T', 'O', 'R', 'M'};
constexpr std::uint8_t kLinear = 1;
constexpr std::uint8_t kTree = 2;
constexpr std::uint8_t kFillMissing = 1;
constexpr std::uint8_t kHasScaling = 2;
constexpr std::size_t kHeaderBytes = 40;
constexpr std::size_t kNodeBytes = 37;
constexpr std::size_t kChecksumBytes = 4;

std::uint32_t crc32(std::span<const std::uint8_t> bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const std::uint8_t byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
  }
  return ~crc;
}

class Writer {
 public:
  template <class Unsigned>
  void put(Unsigned value) {
    for (std::size_t i = 0; i < sizeof(Unsigned); ++i) {
      bytes_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
  }
  void f32(float value) { put(std::bit_cast<std::uint32_t>(value)); }
  void f64(double value) { put(std::bit_cast<std::uint64_t>(value)); }
  void u32(std::size_t value) {
    if (value > UINT32_MAX) {
      raise_internal_failure("a model file field exceeds 32 bits");
    }
    put(static_cast<std::uint32_t>(value));
  }
  std::vector<std::uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

// Reads fields in order; a read past the end sets `truncated` and yields zeros.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  template <class Unsigned>
  Unsigned get() {
    if (remaining() < sizeof(Unsigned)) {
      truncated = true;
      position_ = bytes_.size();
      return 0;
    }
    Unsigned value = 0;
    for (std::size_t i = 0; i < sizeof(Unsigned); ++i) {
      value |= static_cast<Unsigned>(static_cast<Unsigned>(bytes_[position_ + i]) << (8 * i));
    }
    position_ += sizeof(Unsigned);
    return value;
  }
  float f32() { return std::bit_cast<float>(get<std::uint32_t>()); }
  double f64() { return std::bit_cast<double>(get<std::uint64_t>()); }
  std::size_t remaining() const { return bytes_.size() - position_; }

  bool truncated = false;

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t position_ = 0;
};

void write_linear(Writer& out, const LinearRegression& estimator, std::size_t window_size) {
  if (!estimator.coefficients || !estimator.intercept ||
      estimator.coefficients->values.size() != window_size - 1) {
    raise_internal_failure("a linear estimator to save is not fitted for its window");
  }
  for (const float weight : estimator.coefficients->values) {
    out.f32(weight);
  }
  out.f32(*estimator.intercept);
}

void write_tree(Writer& out, const DecisionTreeRegressor& estimator) {
  out.u32(estimator.nodes.size());
  out.put(estimator.depth);
  for (const TreeNode& node : estimator.nodes) {
    out.f64(node.mean);
    out.u32(node.feature);
    out.put(static_cast<std::uint8_t>((node.threshold ? 1 : 0) | (node.gain ? 2 : 0) |
                                      (node.lower_child ? 4 : 0) | (node.upper_child ? 8 : 0)));
    out.f64(node.threshold.value_or(0.0));
    out.f64(node.gain.value_or(0.0));
    out.u32(node.lower_child.value_or(0));
    out.u32(node.upper_child.value_or(0));
  }
}

Expected<LinearRegression, std::string> read_linear(Reader& in, std::size_t window_size) {
  std::vector<float> weights(window_size - 1);
  for (float& weight : weights) {
    weight = in.f32();
  }
  const float intercept = in.f32();
  LinearRegression estimator;
  estimator.coefficients =
      DenseMatrix::create(window_size - 1, 1, std::move(weights), false).value();
  estimator.intercept = intercept;
  return estimator;
}

Expected<DecisionTreeRegressor, std::string> read_tree(Reader& in, std::size_t window_size,
                                                       std::size_t position) {
  const std::size_t count = in.get<std::uint32_t>();
  const std::uint16_t depth = in.get<std::uint16_t>();
  if (in.truncated) {
    return unexpected(std::string("the file is truncated"));
  }
  if (count == 0 || count > in.remaining() / kNodeBytes) {
    return unexpected("tree " + std::to_string(position) + " claims " + std::to_string(count) +
                      " nodes, which the file's remaining " + std::to_string(in.remaining()) +
                      " bytes cannot hold");
  }
  DecisionTreeRegressor tree;
  // The file does not repeat the module's tree settings.
  tree.parameters = module_tree_parameters();
  tree.depth = depth;
  tree.nodes.resize(count);
  for (std::size_t index = 0; index < count; ++index) {
    TreeNode& node = tree.nodes[index];
    node.mean = in.f64();
    node.feature = in.get<std::uint32_t>();
    const std::uint8_t flags = in.get<std::uint8_t>();
    const double threshold = in.f64();
    const double gain = in.f64();
    const std::size_t lower = in.get<std::uint32_t>();
    const std::size_t upper = in.get<std::uint32_t>();
    if ((flags & 1) != 0) {
      node.threshold = threshold;
    }
    if ((flags & 2) != 0) {
      node.gain = gain;
    }
    if ((flags & 4) != 0) {
      node.lower_child = lower;
    }
    if ((flags & 8) != 0) {
      node.upper_child = upper;
    }
    const bool links_ok = (!node.lower_child || (lower > index && lower < count)) &&
                          (!node.upper_child || (upper > index && upper < count));
    const bool split_ok = node.is_leaf() || (node.lower_child && node.upper_child &&
                                             node.threshold && node.feature < window_size - 1);
    if ((flags & ~0x0Fu) != 0 || !links_ok || !split_ok) {
      return unexpected("node " + std::to_string(index) + " of tree " + std::to_string(position) +
                        " is malformed");
    }
  }
  return tree;
}

}  // namespace

std::vector<std::uint8_t> write_model_file(const ModelFile& file) {
  Writer out;
  for (const char c : kMagic) {
    out.put(static_cast<std::uint8_t>(c));
  }
  out.put(kModelFileVersion);
  const auto* linear = std::get_if<LRModel>(&file.model);
  const std::size_t window_size =
      linear != nullptr ? linear->window_size : std::get<DTModel>(file.model).window_size;
  const bool has_scaling = linear != nullptr && linear->scaling.has_value();
  const SampleScaling scaling = has_scaling ? *linear->scaling : SampleScaling{};
  out.put(linear != nullptr ? kLinear : kTree);
  out.put(static_cast<std::uint8_t>((file.fill_missing ? kFillMissing : 0) |
                                    (has_scaling ? kHasScaling : 0)));
  out.put(std::uint16_t{0});
  out.u32(window_size);
  out.put(file.stride);
  out.f64(file.blend_weight);
  out.f32(scaling.offset);
  out.put(static_cast<std::uint32_t>(scaling.exponent));
  std::visit(
      [&](const auto& set) {
        if (set.estimators.size() != window_size || window_size == 0) {
          raise_internal_failure("a model set to save holds the wrong number of estimators");
        }
        for (const auto& estimator : set.estimators) {
          if constexpr (std::is_same_v<std::decay_t<decltype(estimator)>, LinearRegression>) {
            write_linear(out, estimator, window_size);
          } else {
            write_tree(out, estimator);
          }
        }
      },
      file.model);
  out.put(crc32(out.bytes()));
  return std::move(out.bytes());
}

Expected<ModelFile, std::string> read_model_file(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < sizeof(kMagic) || std::memcmp(bytes.data(), kMagic, sizeof(kMagic)) != 0) {
    return unexpected(std::string("not a tacitor model file (no TACITORM header)"));
  }
  if (bytes.size() < kHeaderBytes + kChecksumBytes) {
    return unexpected(std::string("the file is truncated"));
  }
  Reader header(bytes.subspan(sizeof(kMagic)));
  const std::uint32_t version = header.get<std::uint32_t>();
  if (version != kModelFileVersion) {
    return unexpected("the file has format version " + std::to_string(version) +
                      "; this tacitor reads version " + std::to_string(kModelFileVersion));
  }
  const std::span<const std::uint8_t> body = bytes.first(bytes.size() - kChecksumBytes);
  Reader trailer(bytes.last(kChecksumBytes));
  if (crc32(body) != trailer.get<std::uint32_t>()) {
    return unexpected(std::string(
        "the file is truncated or corrupted (its checksum does not match its contents)"));
  }
  const std::uint8_t method = header.get<std::uint8_t>();
  const std::uint8_t flags = header.get<std::uint8_t>();
  header.get<std::uint16_t>();
  const std::size_t window_size = header.get<std::uint32_t>();
  ModelFile file;
  file.stride = header.get<std::uint32_t>();
  file.blend_weight = header.f64();
  SampleScaling scaling;
  scaling.offset = header.f32();
  scaling.exponent = static_cast<std::int32_t>(header.get<std::uint32_t>());
  file.fill_missing = (flags & kFillMissing) != 0;
  if (method != kLinear && method != kTree) {
    return unexpected("unknown method " + std::to_string(method));
  }
  // A change of units scales by 2^exponent with the exponent of a finite double's spread;
  // anything beyond that range (or a non-finite offset) is not one `train` chooses.
  const bool scaling_ok = std::abs(scaling.exponent) <= 1100 && std::isfinite(scaling.offset);
  if ((flags & ~(kFillMissing | kHasScaling)) != 0 ||
      ((flags & kHasScaling) != 0 && (method != kLinear || !scaling_ok))) {
    return unexpected(std::string("the header's flags or change of units are invalid"));
  }
  Reader in(body.subspan(kHeaderBytes));
  // Every estimator takes at least 4 bytes.
  if (window_size == 0 || window_size > in.remaining() / 4 || file.stride == 0) {
    return unexpected("the header's window size " + std::to_string(window_size) + " or stride " +
                      std::to_string(file.stride) + " is impossible here");
  }
  if (method == kLinear) {
    if (window_size > in.remaining() / (4 * window_size)) {
      return unexpected(std::string("the file is truncated"));
    }
    LRModel model;
    model.window_size = window_size;
    if ((flags & kHasScaling) != 0) {
      model.scaling = scaling;
    }
    for (std::size_t position = 0; position < window_size; ++position) {
      model.estimators.push_back(read_linear(in, window_size).value());
    }
    file.model = std::move(model);
  } else {
    DTModel model;
    model.window_size = window_size;
    for (std::size_t position = 0; position < window_size; ++position) {
      auto tree = read_tree(in, window_size, position);
      if (!tree) {
        return unexpected(std::move(tree).error());
      }
      model.estimators.push_back(std::move(tree).value());
    }
    file.model = std::move(model);
  }
  if (in.truncated) {
    return unexpected(std::string("the file is truncated"));
  }
  if (in.remaining() != 0) {
    return unexpected("the file has " + std::to_string(in.remaining()) +
                      " bytes after its last estimator");
  }
  return file;
}

}  // namespace tacitor::models
