#pragma once
// LRModel: the model set of least-squares linear regressions.

#include "linear/linear_regression.hpp"
#include "models/classical.hpp"

namespace tacitor::models {

using LRModel = Classical<LinearRegression, LinearRegressionParameters>;

}  // namespace tacitor::models
