#include "linear/symmetric_eigen.hpp"

#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#include "common/internal_failure.hpp"

namespace tacitor::linear {
namespace {

// Jacobi converges quadratically once the off-diagonal part is small; 8 to 12 sweeps are
// usual at double precision. The cap only guards against a matrix that never settles.
constexpr int kMaxSweeps = 60;
// An off-diagonal entry this far below the largest entry of the matrix moves no eigenvalue by
// more than that share of the largest one, far below what double precision resolves in it; it
// is set to zero instead of rotated away, so the sweeps end.
constexpr double kNegligible = 0x1p-60;
// Beyond this |theta| the rotation's tangent is 1 / (2 theta) to double precision, and
// theta^2 would overflow.
constexpr double kLargeTheta = 0x1p500;

struct Rotation {
  double c;
  double s;
  double tau;  // s / (1 + c)
  double t;    // tangent
};

// The rotation that annihilates a[p][q] between diagonal entries a[p][p] and a[q][q].
Rotation rotation_for(double app, double aqq, double apq) {
  const double theta = (aqq - app) / (2.0 * apq);
  double t = 0.0;
  if (std::fabs(theta) > kLargeTheta) {
    t = 0.5 / theta;
  } else {
    const double root = std::sqrt(theta * theta + 1.0);
    t = 1.0 / (std::fabs(theta) + root);
    if (theta < 0.0) {
      t = -t;
    }
  }
  const double c = 1.0 / std::sqrt(t * t + 1.0);
  const double s = t * c;
  return {c, s, s / (1.0 + c), t};
}

}  // namespace

SymmetricEigen symmetric_eigen(std::vector<double> a, std::size_t n) {
  if (a.size() != n * n) {
    raise_internal_failure("symmetric_eigen: the matrix does not have the size given");
  }
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i; j < n; ++j) {
      if (!std::isfinite(a[i * n + j])) {
        raise_internal_failure("symmetric_eigen: the matrix holds a non-finite value");
      }
      a[j * n + i] = a[i * n + j];
    }
  }
  SymmetricEigen result;
  result.size = n;
  result.vectors.assign(n * n, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    result.vectors[i * n + i] = 1.0;
  }
  double* v = result.vectors.data();
  for (int sweep = 0; sweep < kMaxSweeps; ++sweep) {
    bool rotated = false;
    double largest = 0.0;
    for (const double value : a) {
      largest = std::fmax(largest, std::fabs(value));
    }
    const double negligible = kNegligible * largest;
    for (std::size_t p = 0; p + 1 < n; ++p) {
      for (std::size_t q = p + 1; q < n; ++q) {
        const double apq = a[p * n + q];
        if (std::fabs(apq) <= negligible) {
          a[p * n + q] = 0.0;
          a[q * n + p] = 0.0;
          continue;
        }
        const double app = a[p * n + p];
        const double aqq = a[q * n + q];
        rotated = true;
        const Rotation r = rotation_for(app, aqq, apq);
        const double shift = r.t * apq;
        a[p * n + p] = app - shift;
        a[q * n + q] = aqq + shift;
        a[p * n + q] = 0.0;
        a[q * n + p] = 0.0;
        for (std::size_t k = 0; k < n; ++k) {
          if (k == p || k == q) {
            continue;
          }
          const double g = a[k * n + p];
          const double h = a[k * n + q];
          const double gp = g - r.s * (h + g * r.tau);
          const double hq = h + r.s * (g - h * r.tau);
          a[k * n + p] = gp;
          a[p * n + k] = gp;
          a[k * n + q] = hq;
          a[q * n + k] = hq;
        }
        for (std::size_t k = 0; k < n; ++k) {
          const double g = v[k * n + p];
          const double h = v[k * n + q];
          v[k * n + p] = g - r.s * (h + g * r.tau);
          v[k * n + q] = h + r.s * (g - h * r.tau);
        }
      }
    }
    if (!rotated) {
      break;
    }
  }
  result.values.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    result.values[i] = a[i * n + i];
  }
  return result;
}

}  // namespace tacitor::linear
