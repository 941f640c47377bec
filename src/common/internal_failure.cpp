#include "common/internal_failure.hpp"

#include <utility>

namespace tacitor {

InternalFailure::InternalFailure(std::string message, std::source_location where)
    : message_(std::move(message)), where_(where) {}

void InternalFailure::write_diagnostic(std::FILE* stream) const noexcept {
  std::fprintf(stream, "tacitor: internal failure at %s:%u: %s\n", where_.file_name(),
               static_cast<unsigned>(where_.line()), message_.c_str());
  std::fflush(stream);
}

void raise_internal_failure(std::string message, std::source_location where) {
  throw InternalFailure(std::move(message), where);
}

}  // namespace tacitor
