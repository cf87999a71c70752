// Supporters of an evaluation whose order differs between the budgets of a
// range (their money moves at different rates with the budget, or differs by
// rounding only) but who all fail to pay, in whatever order they come. Their
// order then reaches the outcome only through the order in which `paid` sums
// their money, and that is enclosed for every order.
#ifndef TARVEK_UNORDERED_FAILERS_HPP
#define TARVEK_UNORDERED_FAILERS_HPP

#include <vector>

#include "affine.hpp"

namespace tarvek {

struct GroupMember {
    Interval money;  // over the range
    Affine money_affine;
    double utility;
};

// What an evaluation has gathered before the next supporters: what the
// supporters before them paid, enclosed over the range, and the total
// utility not yet reached (a whole number, the same for every budget).
struct Gathered {
    Interval paid;
    Affine paid_affine;
    double utility_left;
};

// True when, for every budget of the range and every order of `group` behind
// the supporters already gathered, each member fails to pay its share of
// `cost`; `gathered` then encloses the state after the whole group, for every
// order. False (the members may pay, or the proof does not reach) leaves it
// unchanged.
bool fail_in_any_order(const std::vector<GroupMember>& group, double cost,
                       const AffineRange& range, Gathered& gathered);

// A group whose members may pay or fail, in an order that differs between
// budgets: under each budget the members reached before the first payer
// fail, and that payer ends the evaluation (or every member fails).
struct PartialPayment {
    Interval share;       // every share a member can be reached at
    Affine share_affine;
    Gathered after;       // the state after the group, where every member fails
};

// True, with `out` filled, when the enclosures can be given: every member
// has a positive utility and money of at least 0, and the share stays
// positive whoever fails first.
bool enclose_partial_payment(const std::vector<GroupMember>& group, double cost,
                             const AffineRange& range, const Gathered& gathered,
                             PartialPayment& out);

}  // namespace tarvek

#endif  // TARVEK_UNORDERED_FAILERS_HPP
