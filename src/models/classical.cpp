#include "models/classical.hpp"

namespace tacitor::models {

Expected<data::PredictionColumns, std::string> as_columns(
    const std::vector<std::vector<float>>& columns) {
  if (columns.empty()) {
    return unexpected(std::string("ShapeError/Unsupported: unsupported operation"));
  }
  const std::size_t rows = columns.front().size();
  for (const std::vector<float>& column : columns) {
    if (column.size() != rows) {
      return unexpected(std::string("ShapeError/IncompatibleShape: incompatible shapes"));
    }
  }
  data::PredictionColumns view;
  view.rows = rows;
  for (const std::vector<float>& column : columns) {
    view.columns.push_back(column.data());
  }
  return view;
}

}  // namespace tacitor::models
