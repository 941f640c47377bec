#include "models/classical.hpp"

namespace tacitor::models {

Expected<data::Array2, std::string> stack_columns(std::vector<std::vector<float>>&& columns) {
  if (columns.empty()) {
    return unexpected(std::string("ShapeError/Unsupported: unsupported operation"));
  }
  const std::size_t rows = columns.front().size();
  for (const std::vector<float>& column : columns) {
    if (column.size() != rows) {
      return unexpected(std::string("ShapeError/IncompatibleShape: incompatible shapes"));
    }
  }
  const std::size_t width = columns.size();
  data::Array2 stacked(rows, width);
  for (std::size_t i = 0; i < width; ++i) {
    float* out = stacked.data() + i;
    for (const float value : columns[i]) {
      *out = value;
      out += width;
    }
    columns[i] = {};
  }
  return stacked;
}

}  // namespace tacitor::models
