#include "linalg/basic/instruction_set.hpp"

#include <atomic>
#include <cstdlib>

namespace tacitor::linalg {
namespace {

bool processor_has(InstructionSet level) noexcept {
  switch (level) {
    case InstructionSet::baseline:
      return true;
#if defined(__x86_64__) || defined(__i386__)
    // The checks include the operating system's support for the wider register state.
    case InstructionSet::avx2:
      return __builtin_cpu_supports("avx2");
    case InstructionSet::avx512:
      return __builtin_cpu_supports("avx512f");
#else
    case InstructionSet::avx2:
    case InstructionSet::avx512:
      return false;
#endif
  }
  return false;
}

InstructionSet initial_level() noexcept {
  InstructionSet requested = InstructionSet::avx512;
  if (const char* value = std::getenv("TACITOR_ISA")) {
    if (const auto parsed = parse_instruction_set(value)) {
      requested = *parsed;
    }
  }
  return clamp_instruction_set(requested);
}

std::atomic<InstructionSet>& level_slot() noexcept {
  static std::atomic<InstructionSet> level{initial_level()};
  return level;
}

}  // namespace

const char* instruction_set_name(InstructionSet level) noexcept {
  switch (level) {
    case InstructionSet::baseline:
      return "baseline";
    case InstructionSet::avx2:
      return "avx2";
    case InstructionSet::avx512:
      return "avx512";
  }
  return "unknown";
}

std::optional<InstructionSet> parse_instruction_set(std::string_view name) noexcept {
  for (const InstructionSet level :
       {InstructionSet::baseline, InstructionSet::avx2, InstructionSet::avx512}) {
    if (name == instruction_set_name(level)) {
      return level;
    }
  }
  return std::nullopt;
}

bool instruction_set_supported(InstructionSet level) noexcept {
  return processor_has(level);
}

InstructionSet clamp_instruction_set(InstructionSet level) noexcept {
  if (level == InstructionSet::avx512 && !processor_has(level)) {
    level = InstructionSet::avx2;
  }
  if (level == InstructionSet::avx2 && !processor_has(level)) {
    level = InstructionSet::baseline;
  }
  return level;
}

InstructionSet active_instruction_set() noexcept {
  return level_slot().load(std::memory_order_relaxed);
}

bool force_instruction_set(InstructionSet level) noexcept {
  if (!processor_has(level)) {
    return false;
  }
  level_slot().store(level, std::memory_order_relaxed);
  return true;
}

}  // namespace tacitor::linalg
