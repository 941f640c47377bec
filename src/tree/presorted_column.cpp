#include "tree/presorted_column.hpp"

#include <utility>

#include "tree/argsort.hpp"

namespace tacitor {

PresortedColumn presort_column(std::vector<float> values) {
  PresortedColumn column;
  {
    const std::vector<ValueAndIndex<TreeRow>> sorted = argsort_pairs(values);
    column.order.resize(sorted.size());
    column.values.resize(sorted.size());
    for (std::size_t k = 0; k < sorted.size(); ++k) {
      column.order[k] = sorted[k].index;
      column.values[k] = sorted[k].value;
    }
  }
  column.row_values = std::move(values);
  return column;
}

}  // namespace tacitor
