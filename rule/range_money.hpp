// Money enclosed over a range of start budgets (see the argument at the top
// of range_run.cpp): the money domain of the range run, and the decisions
// that it could not prove for a whole range.
#ifndef TARVEK_RANGE_MONEY_HPP
#define TARVEK_RANGE_MONEY_HPP

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "affine.hpp"
#include "money_domain.hpp"

namespace tarvek {

// The decision that a range run could not prove for its whole range: what
// the completion's census counts, so that the next proof goes where ranges
// fail most.
enum class Blocker : std::uint8_t {
    none,
    not_finite,            // money, a sum or a price not finite (or near underflow)
    scan_order,            // which candidates the lazy scan evaluates
    maybe_scanned_wins,    // a candidate scanned under some budgets may beat the best
    close_race,            // the winner's count is not above every loser's
    maybe_affordable,      // a candidate affordable under some budgets only
    tie,                   // a tie that the tie-breaking may fail on
    group_mixed,           // supporters in unproved order that neither all fail nor all pay
    payer_rest,            // a supporter that may come before the payer may fail
    payer_under_some,      // a supporter pays under some budgets, nobody under others
    count_sign,            // a count that may be 0 or infinite under some budgets only
    maybe_present_wins,    // a candidate present under some budgets only may win there
};
constexpr std::size_t kBlockerCount = 12;
const char* blocker_name(Blocker blocker);

// Thrown when a decision is not the same for the whole range; says which.
struct Undecided {
    Blocker blocker;
};

[[noreturn]] inline void undecided(Blocker blocker) { throw Undecided{blocker}; }

inline void require(bool decided, Blocker blocker) {
    if (!decided) undecided(blocker);
}

inline bool finite(Interval x) { return std::isfinite(x.lo) && std::isfinite(x.hi); }

// Each operation applied to the ends encloses, bit for bit, what the plain
// run computes under every budget of the range.
struct RangeMoney {
    using Value = Interval;
    static Interval point(double x) { return {x, x}; }
    static double lo(Interval x) { return x.lo; }
    static double hi(Interval x) { return x.hi; }
    // x > y: for every budget, for none, or for some only (also with a NaN).
    static Decided greater(Interval x, Interval y) {
        if (x.lo > y.hi) return Decided::yes;
        return x.hi <= y.lo ? Decided::no : Decided::either;
    }
    static Interval add(Interval x, Interval y) { return {x.lo + y.lo, x.hi + y.hi}; }
    static Interval constant_minus(double c, Interval x) { return {c - x.hi, c - x.lo}; }
    // x / d, by a constant d. Dividing something that may be zero, or of
    // either sign, by 0 is not decided.
    static Interval divide(Interval x, double d) {
        constexpr double kInfinity = std::numeric_limits<double>::infinity();
        if (d == 1.0) return x;  // the usual utility of an approval
        if (d > 0.0) return {x.lo / d, x.hi / d};
        if (d < 0.0) return {x.hi / d, x.lo / d};
        if (x.lo > 0.0) return {kInfinity, kInfinity};
        if (x.hi < 0.0) return {-kInfinity, -kInfinity};
        undecided(Blocker::not_finite);
    }
    // x * u for every x in a finite or infinite `x`, by a constant u != 0.
    static Interval multiply(Interval x, double u) {
        if (u > 0.0) return {x.lo * u, x.hi * u};
        return {x.hi * u, x.lo * u};
    }
    // A share times a utility; with utility 0, 0 for a finite share (an
    // infinite one, whose product is NaN, is for the caller to settle).
    static Interval owed(Interval share, double utility) {
        return utility != 0.0 ? multiply(share, utility) : Interval{0.0, 0.0};
    }
    // A positive cost over something of one sign throughout (for the caller
    // to require): falls as x grows.
    static Interval cost_over(double cost, Interval x) { return {cost / x.hi, cost / x.lo}; }
};

}  // namespace tarvek

#endif  // TARVEK_RANGE_MONEY_HPP
