#pragma once
// A 32-bit word of the run state that other threads read while the driver
// writes it ("error", "status" and "iter", which the monitor's /status
// serves during a run): a plain int32 in the run-state record, every access
// atomic (zelk/relaxed_word.h). The status slots (VariantPtr<int>) read it
// atomically as well.

#include <cstdint>

#include "zelk/relaxed_word.h"

using RunStateWord = RelaxedWord<std::int32_t>;

static_assert(sizeof(RunStateWord) == sizeof(std::int32_t), "the run-state layout stays as it is");
