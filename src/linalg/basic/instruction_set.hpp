#pragma once
// The instruction-set level the column kernels run at, chosen once per process.
//
// Every level computes bit-identical results: the wider levels run the same IEEE operations,
// in the same order per element, on more independent elements at once. The choice therefore
// only changes speed. By default the widest level the processor supports is taken; the
// environment variable TACITOR_ISA (baseline, avx2 or avx512), read once at the first kernel
// call, lowers it, as a diagnostic aid: a level the processor lacks falls back to the widest
// one below it that it has, and an unknown value is ignored.

#include <optional>
#include <string_view>

namespace tacitor::linalg {

enum class InstructionSet { baseline, avx2, avx512 };

// "baseline", "avx2" or "avx512".
const char* instruction_set_name(InstructionSet level) noexcept;
std::optional<InstructionSet> parse_instruction_set(std::string_view name) noexcept;

// Whether this processor (and this build) can run the kernels of `level`.
bool instruction_set_supported(InstructionSet level) noexcept;

// The widest supported level not above `level`.
InstructionSet clamp_instruction_set(InstructionSet level) noexcept;

// The level the kernels currently run at.
InstructionSet active_instruction_set() noexcept;

// Makes the kernels run at `level` from now on; returns false, changing nothing, when the
// processor lacks it. Meant for tests; not to be called while kernels run on other threads.
bool force_instruction_set(InstructionSet level) noexcept;

}  // namespace tacitor::linalg
