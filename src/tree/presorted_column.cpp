#include "tree/presorted_column.hpp"

#include <limits>
#include <new>
#include <utility>

#include "tree/argsort.hpp"

namespace tacitor {

PresortedColumn presort_column(std::vector<float> values) {
  if (values.size() > std::numeric_limits<TreeRow>::max()) {
    throw std::bad_alloc();
  }
  PresortedColumn column;
  column.row_values = values;
  {
    const std::vector<std::size_t> order = argsort_mut(values);
    column.order.resize(order.size());
    for (std::size_t k = 0; k < order.size(); ++k) {
      column.order[k] = static_cast<TreeRow>(order[k]);
    }
  }
  column.values = std::move(values);
  return column;
}

}  // namespace tacitor
