#pragma once
// The estimators' recoverable error record: a kind and a message. The dense matrix, the
// solvers and both estimators return it, so it sits with the shared types.

#include <cstdint>
#include <string>
#include <string_view>

namespace tacitor {

enum class FailedError : std::uint8_t {
  FitFailed = 1,
  PredictFailed = 2,
  TransformFailed = 3,
  FindFailed = 4,
  DecompositionFailed = 5,
  SolutionFailed = 6,
  ParametersError = 7,
  InvalidStateError = 8,
};

// The kind's user-facing text, e.g. "Fit failed".
std::string_view display_text(FailedError kind);
// The kind's name, e.g. "FitFailed".
std::string_view kind_name(FailedError kind);

struct Failed {
  FailedError err;
  std::string msg;

  static Failed fit(std::string_view msg) { return {FailedError::FitFailed, std::string(msg)}; }
  static Failed input(std::string_view msg) {
    return {FailedError::ParametersError, std::string(msg)};
  }

  // "<kind text>: <msg>", the form the pipeline reports to users.
  std::string to_string() const;
  // "Failed { err: FitFailed, msg: \"...\" }", for diagnostics only.
  std::string debug_string() const;

  bool operator==(const Failed&) const = default;
};

}  // namespace tacitor
