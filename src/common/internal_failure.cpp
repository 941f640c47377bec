#include "common/internal_failure.hpp"

#include <cstdio>
#include <utility>

namespace tacitor {

InternalFailure::InternalFailure(std::string message, std::source_location where)
    : message_(std::move(message)), where_(where) {}

std::string InternalFailure::diagnostic() const {
  std::string text = "tacitor: internal failure at ";
  text += where_.file_name();
  text += ':';
  text += std::to_string(where_.line());
  text += " in ";
  text += where_.function_name();
  text += ": ";
  text += message_;
  return text;
}

void raise_internal_failure(std::string message, std::source_location where) {
  InternalFailure failure(std::move(message), where);
  const std::string text = failure.diagnostic();
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
  throw failure;
}

}  // namespace tacitor
