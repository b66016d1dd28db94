#pragma once
// The trust region of the Levenberg-Marquardt directions (SD6,
// direction_trust_region.cpp): the radius update after a try and the
// dense solver's update of the scaling diagonal.
//
// The radius follows the ratio rho of the actual to the predicted
// reduction of the sum of squares: a model that predicts well (rho near
// 1) earns a larger region, one that predicts badly or a trial that raised
// the objective (rho <= 0) a smaller one. With the factors of the variant,
// tested in this order:
//
//     0.95 < rho < 1.1   Delta * veryGood    "very good: "
//     rho > 0.75         Delta * good        "good: "
//     rho <= 0           Delta / veryBad     "very bad: "
//     rho < 0.25         Delta / bad         "bad: "
//     otherwise          Delta * ok          "OK: "     (also rho NaN)
//
// A radius that would pass the largest double stays at it.

class LMAlg;
struct ScalingRecord;

struct RadiusFactors {
  double veryGood, good, veryBad, bad, ok;
};

// The dense variant's factors (7.7, 1.7, 4.6, 4.15, 1.1) and the
// matrix-free one's (3.5, 1.4, 12.9, 2.14, 1.14).
inline constexpr RadiusFactors kDenseRadius{7.7, 1.7, 4.6, 4.15, 1.1};
inline constexpr RadiusFactors kMatrixFreeRadius{3.5, 1.4, 12.9, 2.14, 1.14};

struct RadiusUpdate {
  double Delta;
  const char* verdict;
};

RadiusUpdate updateTrustRadius(double rho, double Delta, const RadiusFactors& factors);

// D from the column sums of the solver's Jacobian by the solver's D-update
// mode (steps/scaling_update.h; the "other" modes take the column norms),
// floored. Prints "Update D: " ||D|| " ... " ||D|| ", " zeros " are zero,
// max E = " E ", D = " and D on standard error.
void updateScalingD(const LMAlg& solver, ScalingRecord& scaling);
