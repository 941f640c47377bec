#include "models/module_parameters.hpp"

#include <optional>

namespace tacitor::models {

LinearRegressionParameters module_linear_parameters() {
  return LinearRegressionParameters{LeastSquaresMethod::SVD};
}

DecisionTreeRegressorParameters module_tree_parameters() {
  DecisionTreeRegressorParameters parameters;
  parameters.depth_limit = 8;
  parameters.min_leaf_count = 1;
  parameters.min_split_count = 2;
  parameters.random_seed = std::nullopt;
  return parameters;
}

}  // namespace tacitor::models
