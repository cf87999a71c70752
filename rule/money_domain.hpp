// The decisions that a round of the rule makes about money, written once for
// both money domains: the money of one budget (PointMoney, a double, in the
// plain run) and an enclosure of it over a range of budgets (RangeMoney, an
// Interval, in the range run; range_money.hpp). A domain provides the
// arithmetic and one comparison; over a double every comparison is decided,
// over an enclosure it may be decided for some budgets of the range only
// (Decided::either), and the range run then proves what follows either way
// or gives the range up.
#ifndef TARVEK_MONEY_DOMAIN_HPP
#define TARVEK_MONEY_DOMAIN_HPP

#include <cstdint>
#include <limits>

namespace tarvek {

enum class Decided : std::uint8_t { no, yes, either };

// Both hold.
inline Decided both(Decided x, Decided y) {
    if (x == Decided::no || y == Decided::no) return Decided::no;
    return x == Decided::yes && y == Decided::yes ? Decided::yes : Decided::either;
}

// The money of one budget: the plain run's arithmetic, as it is.
struct PointMoney {
    using Value = double;
    static double point(double x) { return x; }
    static double lo(double x) { return x; }
    static double hi(double x) { return x; }
    // x > y; with a NaN, no (as the comparison itself says).
    static Decided greater(double x, double y) { return x > y ? Decided::yes : Decided::no; }
    static double add(double x, double y) { return x + y; }
    static double constant_minus(double c, double x) { return c - x; }
    static double divide(double x, double d) { return x / d; }
    static double owed(double share, double utility) { return share * utility; }
    static double cost_over(double cost, double x) { return cost / x; }
};

// A supporter's key in the order an evaluation meets the supporters (smaller
// keys first, equal keys in list order, NaN last): its money per unit of
// utility.
template <class Money>
typename Money::Value supporter_key(typename Money::Value money, double utility) {
    return Money::divide(money, utility);
}

// A candidate whose supporters hold less than its cost between them leaves,
// unaffordable.
template <class Money>
Decided unaffordable(double cost, typename Money::Value supporter_money) {
    return Money::greater(Money::point(cost), supporter_money);
}

// The share that the supporters not yet reached face: what is left of the
// cost after those who failed paid all they had, over their utility.
template <class Money>
typename Money::Value share_faced(double cost, typename Money::Value paid, double utility_left) {
    return Money::divide(Money::constant_minus(cost, paid), utility_left);
}

// A supporter fails to pay when its part of the share exceeds its money; it
// then pays all it has, and the next one faces a new share.
template <class Money>
Decided fails_to_pay(typename Money::Value share, double utility, typename Money::Value money) {
    return Money::greater(Money::owed(share, utility), money);
}

// The effective vote count of a candidate whose supporter pays at `share`.
template <class Money>
typename Money::Value effective_count(double cost, typename Money::Value share) {
    return Money::cost_over(cost, share);
}

// Only a count above 0 and below infinity contends for the round: 0 or
// infinity would make the price infinite or 0.
template <class Money>
Decided contends(typename Money::Value count) {
    return both(Money::greater(count, Money::point(0.0)),
                Money::greater(Money::point(std::numeric_limits<double>::infinity()), count));
}

// The winner's price per unit of utility.
template <class Money>
typename Money::Value price_of(double cost, typename Money::Value best_count) {
    return Money::cost_over(cost, best_count);
}

// What a supporter of the winner owes: its utility times the price. The
// payment is cut to what it holds when it holds less.
template <class Money>
typename Money::Value payment_owed(typename Money::Value price, double utility) {
    return Money::owed(price, utility);
}
template <class Money>
Decided payment_cut(typename Money::Value money, typename Money::Value payment) {
    return Money::greater(payment, money);
}

}  // namespace tarvek

#endif  // TARVEK_MONEY_DOMAIN_HPP
