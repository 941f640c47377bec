#pragma once
// The estimator settings of the module's two functions. Everything that trains a model set
// meant to match them (the functions themselves, trained denoisers, model files) takes its
// settings from here, so that they cannot drift apart.

#include "linear/linear_regression.hpp"
#include "tree/decision_tree_regressor.hpp"

namespace tacitor::models {

// Least squares through the singular value decomposition.
LinearRegressionParameters module_linear_parameters();

// Depth at most 8, leaves of one row or more, every node of two rows or more may split.
DecisionTreeRegressorParameters module_tree_parameters();

}  // namespace tacitor::models
