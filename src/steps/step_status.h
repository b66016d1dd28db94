#pragma once
// Status codes shared by the step solvers of the least-squares directions.
//
// The host products behind a solver may return NaN or infinite entries, and
// the drivers run the solvers with floating-point traps on. A solver that
// meets such a value stops at once, reports it in its status and hands back a
// finite solution (zero, or its start vector), so that a bad product neither
// reaches the host as the next input nor comes back as a step. The bits are
// chosen apart from the conjugate-gradient status bits (0x02, 0x04, 0x10,
// 0x20), which a CG-based step solver passes on unchanged.

#include <cstdint>

namespace StepStatus {
// A decomposition kept no step although the operator is not zero.
inline constexpr std::int32_t NoStepKept = 0x01;
// A product, the right-hand side, the start or the solution was not finite.
inline constexpr std::int32_t NonFinite = 0x40;
}  // namespace StepStatus
