// Counts and bounds compared through their shares, where their intervals,
// each as wide as the range of budgets, overlap. Two counts that move
// together with the start money t overlap as intervals even when one stays
// above the other under every budget; their shares' affine forms keep that
// difference, and the comparison is made on cross products.
//
// Why it is sound. Under each budget of the range the plain run holds
// x = fl(n_x / d_x) and y = fl(n_y / d_y), with n_x, n_y > 0 constants (a
// cost, or an exact total utility over d = 1) and d_x, d_y > 0 the shares
// that the affine forms enclose at that t. With x and y normal and finite,
// each division is off by at most eps = 2^-53 of its value, so
//     x <= (n_x / d_x)(1 + eps)  and  (n_y / d_y)(1 - eps) <= y,
// and x < y (x <= y) holds when n_x d_y (1 + eps) / (1 - eps) < (<=) n_y d_x.
// (1 + eps) / (1 - eps) = 1 + 2 eps / (1 - eps) < 1 + 2^-51: it is enough
// that P + 2^-51 P < (<=) Q, with P = n_x d_y and Q = n_y d_x, both affine
// in t. The form of P encloses the real product (AffineRange::scale covers
// the rounding of its coefficients); it is widened by 2^-50 times
// fl(n_x * sup d_y), which is at least (1 - eps) 2^-50 P > 2^-51 P. Then
// below()/at_most() compare the widened P's top with Q's bottom at each t.
// The margin matters for the strict order: rounding is monotone, so real
// quotients n_x / d_x < n_y / d_y may still round to one value, a tie that
// the plain run breaks by its tie-breaking.
#ifndef TARVEK_COUNT_ORDER_HPP
#define TARVEK_COUNT_ORDER_HPP

#include <cmath>
#include <limits>

#include "affine.hpp"

namespace tarvek {

// A count or bound as the plain run holds it under each budget of the range:
// fl(numerator / d) for the d that `denominator` encloses, d within
// `denominator_range`; `value` encloses the result. An exact value p is
// p / 1. A numerator of 0 stands for a value known by its interval only.
struct Quotient {
    double numerator;
    Affine denominator;
    Interval denominator_range;
    Interval value;
};

inline Quotient exact_quotient(double value) {
    return {value, AffineRange::constant(1.0), {1.0, 1.0}, {value, value}};
}

// x < y (strict) or x <= y under every budget of the range: by their
// intervals, or where these overlap, by cross products. False when that is
// not shown, or the quotients are outside what the argument covers.
inline bool quotient_below(const AffineRange& range, const Quotient& x, const Quotient& y,
                           bool strict) {
    if (strict ? x.value.hi < y.value.lo : x.value.hi <= y.value.lo) return true;
    const auto covered = [](const Quotient& q) {
        return q.numerator > 0.0 && std::isfinite(q.numerator) && q.denominator_range.lo > 0.0 &&
               std::isfinite(q.denominator_range.hi) &&
               q.value.lo >= std::numeric_limits<double>::min() && std::isfinite(q.value.hi);
    };
    if (!covered(x) || !covered(y)) return false;
    const Interval p_range{x.numerator * y.denominator_range.lo,
                           x.numerator * y.denominator_range.hi};
    const Interval q_range{y.numerator * x.denominator_range.lo,
                           y.numerator * x.denominator_range.hi};
    const Affine p = range.widen_relative(range.scale(y.denominator, x.numerator, p_range),
                                          0x1p-50, p_range);
    const Affine q = range.scale(x.denominator, y.numerator, q_range);
    return strict ? range.below(p, q) : range.at_most(p, q);
}

}  // namespace tarvek

#endif  // TARVEK_COUNT_ORDER_HPP
