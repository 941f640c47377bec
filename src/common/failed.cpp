#include "common/failed.hpp"

namespace tacitor {

std::string_view display_text(FailedError kind) {
  switch (kind) {
    case FailedError::FitFailed:
      return "Fit failed";
    case FailedError::PredictFailed:
      return "Predict failed";
    case FailedError::TransformFailed:
      return "Transform failed";
    case FailedError::FindFailed:
      return "Find failed";
    case FailedError::DecompositionFailed:
      return "Decomposition failed";
    case FailedError::SolutionFailed:
      return "Can't find solution";
    case FailedError::ParametersError:
      return "Error in input, check parameters";
    case FailedError::InvalidStateError:
      return "Invalid state, this should never happen";
  }
  return "Unknown failure";
}

std::string_view kind_name(FailedError kind) {
  switch (kind) {
    case FailedError::FitFailed:
      return "FitFailed";
    case FailedError::PredictFailed:
      return "PredictFailed";
    case FailedError::TransformFailed:
      return "TransformFailed";
    case FailedError::FindFailed:
      return "FindFailed";
    case FailedError::DecompositionFailed:
      return "DecompositionFailed";
    case FailedError::SolutionFailed:
      return "SolutionFailed";
    case FailedError::ParametersError:
      return "ParametersError";
    case FailedError::InvalidStateError:
      return "InvalidStateError";
  }
  return "Unknown";
}

std::string Failed::to_string() const {
  std::string text(display_text(err));
  text += ": ";
  text += msg;
  return text;
}

std::string Failed::debug_string() const {
  std::string text = "Failed { err: ";
  text += kind_name(err);
  text += ", msg: \"";
  for (char c : msg) {
    if (c == '"' || c == '\\') {
      text += '\\';
    }
    text += c;
  }
  text += "\" }";
  return text;
}

}  // namespace tacitor
