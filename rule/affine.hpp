// Affine enclosures over a range of start money t: a value encloses, as a real
// number, a * t + [lo, hi] for every t in the range. Quantities that move with
// the start money (a voter's money, what a group of voters has paid, a share)
// keep their mutual differences tight this way, where plain intervals, each
// as wide as the range, would overlap.
//
// Every operation takes the plain enclosure of the floating-point result it
// stands for, to bound that result's rounding (half an ulp, at most 2^-53 of
// its magnitude); the affine arithmetic's own rounding is absorbed into the
// remainder with generous slack. A value that is not finite is invalid, and
// decides nothing.
//
// Where the constants come from (eps = 2^-53, the unit roundoff of
// round-to-nearest; every bound below holds for normal results, and a result
// near underflow is off by at most 2^-1075 absolutely):
// - finish(): an operation such as fl(x + y) stands for x + y + e with
//   |e| <= eps |result|. Computing the new coefficients a, lo and hi rounds
//   each once more, by at most eps |a| (times |t| <= t_max), eps |lo| and
//   eps |hi|. The slack is twice the sum of these four, (...) * 2^-52, which
//   also covers the relative error of computing the sum itself;
//   kAbsoluteSlack = 2^-900 covers the absolute errors near underflow many
//   times over, at the price of deciding nothing about differences below it.
//   It stays well above the subnormal range (below 2^-1022) even after the
//   slack of a value that is 0 has been divided twice by a sum of utilities:
//   arithmetic on subnormal numbers takes a hundred times longer on common
//   processors (at 2^-1000, Budapest 2024's completion took 12 % longer). The
//   ends lo - slack and hi + slack are rounded too, and next_below/next_above
//   move them out past that rounding.
// - largest_difference(): the bound (x.a t - y.a t) + (x.hi - y.lo) is
//   computed with five roundings, each at most eps times a sum of the four
//   magnitudes |x.a t|, |y.a t|, |x.hi|, |y.lo|; 2^-50 = 8 eps times that sum
//   covers them, and the rounding of the slack itself, with room. Rounding is
//   monotone, so a computed bound below 0 means a real one below 0.
// - hull(): the same computation, with y.lo and y.hi in place of x.hi.
// - The relative widening of 2^-50 at a price (range_run.cpp): two roundings
//   of at most eps each, (1 + eps)^2 < 1 + 2^-51.
#ifndef TARVEK_AFFINE_HPP
#define TARVEK_AFFINE_HPP

#include <algorithm>
#include <cmath>
#include <limits>

namespace tarvek {

struct Interval {
    double lo;
    double hi;
    bool is_point() const { return lo == hi; }
};

// The least interval holding both.
inline Interval interval_hull(Interval a, Interval b) {
    return {std::min(a.lo, b.lo), std::max(a.hi, b.hi)};
}

// The least absolute slack of an enclosure, which covers rounding near
// underflow (see finish() above).
constexpr double kAbsoluteSlack = 0x1p-900;

// x moved down (up) by at least one ulp of x, without a library call:
// |x| * 2^-52 is at least an ulp of x, and kAbsoluteSlack covers x = 0 and
// subnormal x. A real r that rounds to x lies within half an ulp of it, so
// next_below(x) <= r <= next_above(x): bounds of a value known only by its
// rounded result.
inline double next_below(double x) { return x - std::fabs(x) * 0x1p-52 - kAbsoluteSlack; }
inline double next_above(double x) { return x + std::fabs(x) * 0x1p-52 + kAbsoluteSlack; }

struct Affine {
    double a;
    double lo;
    double hi;
    bool valid;
};

class AffineRange {
public:
    explicit AffineRange(Interval t = {0.0, 0.0})
        : t_(t), t_max_(std::max(std::fabs(t.lo), std::fabs(t.hi))) {}

    static Affine start() { return {1.0, 0.0, 0.0, true}; }
    static Affine constant(double c) { return {0.0, c, c, std::isfinite(c)}; }

    // fl(x + y), fl(x - y), fl(c - x), fl(x * k), fl(x / d), whose plain
    // enclosure is `result`.
    Affine add(Affine x, Affine y, Interval result) const {
        return finish(x.valid && y.valid, x.a + y.a, x.lo + y.lo, x.hi + y.hi, result);
    }
    Affine subtract(Affine x, Affine y, Interval result) const {
        return finish(x.valid && y.valid, x.a - y.a, x.lo - y.hi, x.hi - y.lo, result);
    }
    Affine constant_minus(double c, Affine x, Interval result) const {
        return finish(x.valid, -x.a, c - x.hi, c - x.lo, result);
    }
    Affine scale(Affine x, double k, Interval result) const {
        const double p = x.lo * k;
        const double q = x.hi * k;
        return finish(x.valid, x.a * k, std::min(p, q), std::max(p, q), result);
    }
    Affine divide(Affine x, double d, Interval result) const {
        const double p = x.lo / d;
        const double q = x.hi / d;
        return finish(x.valid && d != 0.0, x.a / d, std::min(p, q), std::max(p, q), result);
    }
    // x, also standing for any value within `relative` of it in proportion.
    Affine widen_relative(Affine x, double relative, Interval value) const {
        return finish(x.valid, x.a, x.lo, x.hi, {0.0, 0.0}, magnitude(value) * relative);
    }

    // An enclosure of both x and y, with x's slope: y's difference in slope
    // is affine in t, so its extremes are taken at the ends of the range.
    // `result` is the plain enclosure of both.
    Affine hull(Affine x, Affine y, Interval result) const {
        double lo = x.lo;
        double hi = x.hi;
        bool finite = true;
        for (const double t : {t_.lo, t_.hi}) {
            const double drift = y.a * t - x.a * t;
            const double slack = (std::fabs(x.a * t) + std::fabs(y.a * t) + std::fabs(y.lo) +
                                  std::fabs(y.hi)) * 0x1p-50 + kAbsoluteSlack;
            finite = finite && std::isfinite(drift) && std::isfinite(slack);
            lo = std::min(lo, drift + y.lo - slack);
            hi = std::max(hi, drift + y.hi + slack);
        }
        return finish(x.valid && y.valid && finite, x.a, lo, hi, result);
    }

    // The plain interval that x encloses over the range: a * t + lo at its
    // least and a * t + hi at its greatest, taken at the ends of the range
    // (x is affine in t). Each end is computed with three roundings (the
    // product, the sum, the slack's subtraction), each at most eps times
    // |a t| + |lo| + |hi| plus the slack, well within the slack of 2^-50 =
    // 8 eps times that sum; kAbsoluteSlack covers them near underflow.
    // Unbounded when x is invalid or an end is not finite.
    Interval enclosure(Affine x) const {
        constexpr double kInfinity = std::numeric_limits<double>::infinity();
        if (!x.valid) return {-kInfinity, kInfinity};
        double lo = kInfinity;
        double hi = -kInfinity;
        for (const double t : {t_.lo, t_.hi}) {
            const double at = x.a * t;
            const double slack =
                (std::fabs(at) + std::fabs(x.lo) + std::fabs(x.hi)) * 0x1p-50 + kAbsoluteSlack;
            lo = std::min(lo, at + x.lo - slack);
            hi = std::max(hi, at + x.hi + slack);
        }
        if (!std::isfinite(lo) || !std::isfinite(hi)) return {-kInfinity, kInfinity};
        return {lo, hi};
    }

    // x < y, and x <= y, for every t of the range. The bound on x - y is
    // affine in t, so its largest value is taken at an end of the range.
    bool below(Affine x, Affine y) const { return largest_difference(x, y, true); }
    bool at_most(Affine x, Affine y) const { return largest_difference(x, y, false); }

private:
    static double magnitude(Interval v) { return std::max(std::fabs(v.lo), std::fabs(v.hi)); }

    Affine finish(bool valid, double a, double lo, double hi, Interval result,
                  double extra = 0.0) const {
        // Twice the rounding that needs covering (half an ulp of the result,
        // of a * t and of each end); the ends are then moved outward by more
        // than their own rounding.
        const double slack = (std::fabs(a) * t_max_ + std::fabs(lo) + std::fabs(hi) +
                              magnitude(result)) * 0x1p-52 + extra + kAbsoluteSlack;
        const Affine out{a, next_below(lo - slack), next_above(hi + slack), valid};
        const bool finite = std::isfinite(out.a) && std::isfinite(out.lo) &&
                            std::isfinite(out.hi) && std::isfinite(slack) &&
                            std::isfinite(magnitude(result));
        return {out.a, out.lo, out.hi, out.valid && finite};
    }

    bool largest_difference(Affine x, Affine y, bool strict) const {
        if (!x.valid || !y.valid) return false;
        for (const double t : {t_.lo, t_.hi}) {
            const double value = (x.a * t - y.a * t) + (x.hi - y.lo);
            const double slack = (std::fabs(x.a * t) + std::fabs(y.a * t) + std::fabs(x.hi) +
                                  std::fabs(y.lo)) * 0x1p-50 + kAbsoluteSlack;
            const double bound = value + slack;
            if (!(strict ? bound < 0.0 : bound <= 0.0)) return false;
        }
        return true;
    }

    Interval t_;
    double t_max_;
};

}  // namespace tarvek

#endif  // TARVEK_AFFINE_HPP
