#pragma once
// DTModel: the model set of regression trees.

#include "models/classical.hpp"
#include "tree/decision_tree_regressor.hpp"

namespace tacitor::models {

using DTModel = Classical<DecisionTreeRegressor, DecisionTreeRegressorParameters>;

}  // namespace tacitor::models
