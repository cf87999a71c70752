// Why a group of supporters fails in every order.
//
// At one budget the plain evaluation takes the supporters one by one. Let P
// be what the supporters before the group paid and L the utility left then
// (a whole number: sums of whole numbers far below 2^53 are exact). A member
// m reached after the members S of the group faces
//     share = fl(fl(C - paid_S) / (L - U_S)), and fails when fl(share * u_m) > x_m,
// where paid_S sums P and the money x of S one by one in the order of S, and
// U_S is their utility. Let eps = 2^-53, the unit roundoff.
//
// Claim: if sigma >= 2^-900 satisfies
//     (1) sigma * L <= C - P - E, with E at least the rounding error of any
//         sum of P and members' money, in any order;
//     (2) sigma * u_m * (1 - eps)^3 > x_m, with u_m > 0, for every member;
//     (3) L - U_G > 0 for the whole group G;
// then every member fails in every order.
// Proof, along any order, by induction: the members S before m failed, so
// their money is in paid_S. By the bound on recursive summation,
// |paid_S - (P + sum_S x)| <= gamma_k (|P| + sum_S |x|) with k = |S| and
// gamma_k = k eps / (1 - k eps); E bounds this. By (2), x_s < sigma u_s, so
//     C - paid_S >= C - P - E - sum_S x >= sigma L - sigma U_S = sigma (L - U_S) > 0,
// and (C - paid_S) / (L - U_S) >= sigma. The subtraction, the division and
// the product each lose at most a factor (1 - eps) on a positive normal value
// (overflow only raises the product to +infinity), so
// fl(share * u_m) >= sigma u_m (1 - eps)^3 > x_m: m fails. (Without rounding
// this is the familiar fact that the share only grows while supporters fail.)
//
// What was paid after the group: the exact sum P + sum_G x lies between the
// sums of the lower and of the upper ends; each of those, and the run's own
// sum in its order, is within E of its exact value, so paid lies in
// [sum of lower ends - 2E, sum of upper ends + 2E], rounded outward.
#include "unordered_failers.hpp"

#include <cmath>

namespace tarvek {

namespace {

// What the group sums to behind `gathered`, in any order: the bound E on
// the rounding of any such sum, the group's utility, and the state after
// the whole group has failed.
struct AnyOrderSum {
    double error;
    double group_utility;
    Gathered after;
};

bool sum_in_any_order(const std::vector<GroupMember>& group, const AffineRange& range,
                      const Gathered& gathered, AnyOrderSum& out) {
    const double size = static_cast<double>(group.size());
    const double utility_left = gathered.utility_left;
    if (group.empty() || size > 0x1p20 || !(std::fabs(utility_left) <= 0x1p52)) return false;

    // M: |P| + sum |x| as summed in floating point, within a factor 2 of the
    // exact sum (gamma_k <= 1/2 here). So gamma_k times the exact sum, k at
    // most the group's size, is below size * 2^-51 * M.
    const Interval paid = gathered.paid;
    double magnitude = std::fmax(std::fabs(paid.lo), std::fabs(paid.hi));
    double group_utility = 0.0;
    for (const GroupMember& member : group) {
        if (!(member.utility > 0.0) || !std::isfinite(member.money.lo) ||
            !std::isfinite(member.money.hi)) {
            return false;
        }
        magnitude += std::fmax(std::fabs(member.money.lo), std::fabs(member.money.hi));
        group_utility += member.utility;  // whole numbers below 2^51: exact
    }
    const double error = magnitude * ((size + 1.0) * 0x1p-51);
    if (!std::isfinite(error) || !(utility_left - group_utility > 0.0)) return false;

    double sum_lo = paid.lo;
    double sum_hi = paid.hi;
    Affine sum_affine = gathered.paid_affine;
    // Every partial sum, in any order, is below 4M in size: each rounding
    // step of any order is covered by one step here.
    const Interval any_partial_sum{-4.0 * magnitude, 4.0 * magnitude};
    for (const GroupMember& member : group) {
        sum_lo += member.money.lo;
        sum_hi += member.money.hi;
        sum_affine = range.add(sum_affine, member.money_affine, any_partial_sum);
    }
    const Interval paid_after{next_below(sum_lo - 2.0 * error), next_above(sum_hi + 2.0 * error)};
    if (!std::isfinite(paid_after.lo) || !std::isfinite(paid_after.hi)) return false;
    out = {error, group_utility, {paid_after, sum_affine, utility_left - group_utility}};
    return true;
}

}  // namespace

bool fail_in_any_order(const std::vector<GroupMember>& group, double cost,
                       const AffineRange& range, Gathered& gathered) {
    AnyOrderSum sum;
    if (!sum_in_any_order(group, range, gathered, sum)) return false;
    const double utility_left = gathered.utility_left;

    // sigma for (1): a lower bound of (C - P.hi - E) / L.
    const double room = next_below(next_below(cost - gathered.paid.hi) - sum.error);
    if (!(room > 0.0) || !(utility_left > 0.0)) return false;
    const double sigma = next_below(room / utility_left);
    if (!(sigma >= 0x1p-900)) return false;

    // (2): sigma * u * (1 - eps)^3 >= w * (1 - 2^-51) >= z, where w is a lower
    // bound of sigma * u; so z > x.hi settles it.
    for (const GroupMember& member : group) {
        const double w = next_below(sigma * member.utility);
        const double z = next_below(w - w * 0x1p-51);
        if (!std::isfinite(z) || !(z > member.money.hi)) return false;
    }
    gathered = sum.after;
    return true;
}

bool enclose_partial_payment(const std::vector<GroupMember>& group, double cost,
                             const AffineRange& range, const Gathered& gathered,
                             PartialPayment& out) {
    AnyOrderSum sum;
    if (!sum_in_any_order(group, range, gathered, sum)) return false;
    for (const GroupMember& member : group) {
        if (!(member.money.lo >= 0.0)) return false;
    }
    // Least share: the most paid, paid_after.hi, over the whole utility
    // left. Greatest: the least paid, P, over what is left after the
    // whole group.
    const double most_paid = sum.after.paid.hi;
    const double least_paid = gathered.paid.lo;
    const double utility_left = gathered.utility_left;
    const double fewest_left = sum.after.utility_left;
    const Interval numerator{cost - most_paid, cost - least_paid};
    if (!(numerator.lo > 0.0) || !(fewest_left > 0.0) || !std::isfinite(numerator.hi)) {
        return false;
    }
    const Interval share{numerator.lo / utility_left, numerator.hi / fewest_left};
    if (!(share.lo > 0.0) || !std::isfinite(share.hi)) return false;

    // As affine forms: the sum after the group widened by 2E (the run's own
    // rounding of any subset's sum), and P.
    const Affine most_paid_affine = range.widen_relative(sum.after.paid_affine, 1.0,
                                                         {0.0, 2.0 * sum.error});
    const Interval most_paid_range = range.enclosure(most_paid_affine);
    const Interval low_numerator{cost - most_paid_range.hi, cost - most_paid_range.lo};
    const Affine low_share = range.divide(
        range.constant_minus(cost, most_paid_affine, low_numerator), utility_left,
        {low_numerator.lo / utility_left, low_numerator.hi / utility_left});
    const Interval least_paid_range = range.enclosure(gathered.paid_affine);
    const Interval high_numerator{cost - least_paid_range.hi, cost - least_paid_range.lo};
    const Affine high_share = range.divide(
        range.constant_minus(cost, gathered.paid_affine, high_numerator), fewest_left,
        {high_numerator.lo / fewest_left, high_numerator.hi / fewest_left});
    out = {share, range.hull(low_share, high_share, share), sum.after};
    return true;
}
}  // namespace tarvek
