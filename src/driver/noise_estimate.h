#pragma once
// The noise of a computed function: how much its values scatter from point
// to point around the smooth function they stand for, measured from values
// alone (the difference-table method of Moré and Wild, "Estimating
// computational noise", SIAM J. Sci. Comput. 33(3), 2011). Both drivers
// judge stationarity against it: `zelk` measures its objective, `trovik`
// each residual.
//
// Along a line x + s h p through x, at the 2K + 1 equally spaced points
// s = -K .. K, the j-th differences of the values are h^j times the j-th
// derivative of the smooth part, plus the noise's own j-th differences.
// For independent noise of standard deviation sigma at each point these
// have mean square sigma^2 / gamma_j, gamma_j = (j!)^2 / (2j)!. Once the
// smooth part has faded below the noise (from some order on),
//
//     level_j = sqrt(gamma_j * mean of the squared j-th differences)
//
// stays at sigma from order to order, and the differences change sign as
// noise does. The noise is the level of the first order where three
// consecutive levels agree within a factor of 4 and the differences of
// that order change sign.
//
// The spacing decides what the table can see:
//   - too small: the points round to the same values (half the first
//     differences are 0), or their noise is not far below what the
//     function changes over the whole line, so the line has not reached
//     the scale on which the smooth part shows; the next try is 100 h;
//   - too large: no order settles (the smooth part dominates every
//     difference), or, for a function whose noise grows with its value
//     (a sum of squares is rounded at the scale of its terms, which grow
//     away from its minimum), the values differ in their first digit, so
//     that the noise is not the same along the line; the next try is
//     h / 100, or as much smaller as the values' spread asks for.
// The first spacing is 1e-6 of each variable's own size, which moves
// every variable by some 1e10 units in its last place, so that the
// rounding at the points is independent from point to point (the rounding
// of x + s h p itself included: that is noise too, of the function as the
// drivers see it). p is a fixed pseudo-random direction whose entries
// follow each variable's size (|x_j|, or the typical size of the others
// where x_j = 0), so the measurement is the same at every call and a
// variable of size 1e-3 is moved as far, relatively, as one of 1e6.
//
// No derivative enters: a wrong Jacobian or gradient cannot pass for
// noise.

#include <cstddef>
#include <functional>
#include <valarray>
#include <vector>

// What the difference table of one function's values says.
struct NoiseLevel {
  enum class Verdict {
    Measured,         // `level` is the noise
    Constant,         // every value is the same: no noise at this spacing
    SpacingTooSmall,  // try a larger spacing
    SpacingTooLarge,  // try a smaller one
  };
  Verdict verdict = Verdict::SpacingTooLarge;
  double level = 0.0;
  // For values that differ in their first digit: the factor that brings
  // their spread to a quarter of the middle value, were it of second order
  // in the spacing (a function near its minimum); 0 otherwise.
  double shrink = 0.0;
};

// Whether the noise may grow with the function's value (above).
enum class NoiseScale { Fixed, WithValue };

// The table of `count` (at least 7) equally spaced values, read with the
// stride (values[0], values[stride], ...). Values that are not finite give
// SpacingTooLarge.
NoiseLevel noiseOfValues(const double* values, std::size_t count, std::size_t stride,
                         NoiseScale scale);

// Evaluates the function at a point: false when the values could not be
// had (not finite, or the host failed).
using NoiseProbeEvaluation =
    std::function<bool(const std::valarray<double>& point, std::valarray<double>& values)>;

// The noise of each of the q components of a function at x, whose values
// there are `valuesAtX`.
struct MeasuredNoise {
  std::valarray<double> level;  // q entries: the noise's standard deviation; 0 where unmeasured
  std::vector<bool> measured;   // q entries: the level is a measurement (Constant counts)
  long evaluations = 0;         // of the function, beside the one at x
  bool anyMeasured() const;
};

// Up to five lines, 2K = 6 evaluations each: the first spacing, then 100
// times beyond the largest or the smallest spacing tried (or smaller
// still, as the spread of the values asks), as most of the components not
// yet measured ask. A component keeps the first level
// measured for it. An evaluation that fails ends the measurement with what
// it has.
MeasuredNoise measureNoise(const std::valarray<double>& x, const std::valarray<double>& valuesAtX,
                           NoiseScale scale, const NoiseProbeEvaluation& evaluate);
