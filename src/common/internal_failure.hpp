#pragma once
// The one exception type for broken invariants and numerical dead ends.
//
// Recoverable failures travel as values (an error text, a `Failed`). Everything that valid
// input cannot produce, or that the algorithms cannot handle, is an InternalFailure: it
// carries its text and the place where it was raised, crosses worker threads inside a
// std::exception_ptr, and becomes a BaseException-derived Python exception at the module
// boundary.

#include <cstdio>
#include <exception>
#include <source_location>
#include <string>

namespace tacitor {

class InternalFailure : public std::exception {
 public:
  explicit InternalFailure(std::string message,
                           std::source_location where = std::source_location::current());

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  const std::source_location& where() const noexcept { return where_; }

  // Writes the one-line diagnostic "tacitor: internal failure at FILE:LINE: MESSAGE" to
  // `stream`, FILE relative to the source tree. Allocates nothing, so it cannot fail while
  // an exception is being handled.
  void write_diagnostic(std::FILE* stream) const noexcept;

 private:
  std::string message_;
  std::source_location where_;
};

// Throws the InternalFailure. Its diagnostic is written once, by the module boundary, when
// the failure ends a call (not where it happens: a call whose estimators all fail at once
// would otherwise print a line for each).
[[noreturn]] void raise_internal_failure(
    std::string message, std::source_location where = std::source_location::current());

}  // namespace tacitor
