#pragma once
// A call refused before it allocates, because even one worker's share would not fit.
//
// It is a std::bad_alloc, so every path that handles exhausted memory handles it too (the
// module boundary raises MemoryError); what() carries the numbers and the way out.

#include <new>
#include <string>
#include <utility>

namespace tacitor {

class MemoryRefusal : public std::bad_alloc {
 public:
  explicit MemoryRefusal(std::string text) : text_(std::move(text)) {}
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  std::string text_;
};

}  // namespace tacitor
