// Why one plain run at the end of a range can stand for the whole range.
//
// The plain completion asks three things of the run at each trial budget:
// that it ends without the tie-breaking error, that its outcome fits into
// the real budget, and (once it is held) that the outcome is not exhaustive.
// When every run of a range passes all three, each is accepted in turn and
// the completion goes on past the range holding the outcome of its last
// run, whatever the runs before it selected. So the range needs an
// enclosure U of every project that any of its runs may select:
//
// - A failed range run has still proved its first rounds: the same winners,
//   in the same order, under every budget (RangeRunner::winners()), and per
//   voter an interval enclosing the money it holds after them (or, where
//   the run failed while charging the next winner, after that winner too,
//   who is then among the proved winners).
// - Every later winner is affordable when it wins: its cost is at most the
//   sum of its supporters' money, taken in list order. With no negative
//   utility a payment never adds money, so each voter's money only falls
//   from round to round, and rounded addition is monotone in each term: that
//   sum is at most the same sum over the upper ends of the intervals. A
//   candidate whose cost exceeds that (or that has left for good) is never
//   selected. U is the proved winners and every other candidate still in
//   play that passes this test.
// - The tie-breaking error needs two candidates that contend in one round
//   with equal cost and equal total utility, both affordable and so both in
//   U (the proved rounds had no such tie). Without tie ranks, U may hold no
//   such pair; with them, the error cannot happen.
// - Fits: an outcome is some of U's projects, its cost summed in floating
//   point in its own order. For m positive terms, any order of summing any
//   of them gives at most s (1 + g) / (1 - g), g = m u / (1 - m u), u =
//   2^-53, where s is U's cost summed in any order; for m u <= 2^-20 that
//   is below s (1 + 3 m u). The bound used, s + s (4 m + 4) u, leaves
//   m u + 4 u of room for its own two roundings, each below u of it.
// - Not exhaustive: a project p outside U (not a candidate, or a candidate
//   not in U) is outside every outcome, and the completion's test adds its
//   cost to the outcome's, rounded, which is monotone in the outcome's cost:
//   if the bound plus cost(p), rounded, fits, then so does p beside every
//   outcome.
#include "range_criterion.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace tarvek {
namespace {

constexpr double kUnitRoundoff = 0x1p-53;

// An upper bound of the cost of any of `members`, in any order, as the
// completion sums it; infinite (or NaN) where it cannot be bounded.
double cost_bound(const Election& e, const std::vector<Index>& members) {
    double sum = 0.0;
    for (const Index c : members) sum += e.candidate_cost[c];
    const double m = static_cast<double>(members.size());
    if (!(m * kUnitRoundoff <= 0x1p-20)) return std::numeric_limits<double>::infinity();
    return sum + sum * ((4.0 * m + 4.0) * kUnitRoundoff);
}

// Whether two of `members` could be tied past every tie-breaking step but
// the caller's ranks: equal cost and equal total utility.
bool may_tie(const Election& e, std::vector<Index> members) {
    std::sort(members.begin(), members.end(), [&](Index a, Index b) {
        if (e.candidate_cost[a] != e.candidate_cost[b]) return e.candidate_cost[a] < e.candidate_cost[b];
        return e.candidate_total_utility[a] < e.candidate_total_utility[b];
    });
    for (std::size_t i = 1; i < members.size(); ++i) {
        const Index a = members[i - 1];
        const Index b = members[i];
        if (e.candidate_cost[a] == e.candidate_cost[b] &&
            e.candidate_total_utility[a] == e.candidate_total_utility[b]) {
            return true;
        }
    }
    return false;
}

}  // namespace

double outcome_cost(const Election& e, const std::vector<Index>& outcome) {
    double total = 0.0;
    for (const Index c : outcome) total += e.candidate_cost[c];
    return total;
}

bool is_exhaustive(const Election& e, const std::vector<char>& selected, double spent,
                   double total_budget) {
    for (std::size_t i = 0; i < e.entry_cost.size(); ++i) {
        const std::int64_t candidate = e.entry_candidate[i];
        if (candidate != kNotCandidate && selected[static_cast<std::size_t>(candidate)]) continue;
        if (spent + e.entry_cost[i] <= total_budget) return false;
    }
    return true;
}

RangeCriterion::RangeCriterion(const Election& election)
    : election_(election),
      applies_(std::all_of(election.supporter_utility.begin(), election.supporter_utility.end(),
                           [](double u) { return u >= 0.0; })),
      may_select_(election.candidate_count(), 0) {
    members_.reserve(election.candidate_count());
}

void RangeCriterion::clear_selection() {
    for (const Index c : members_) may_select_[c] = 0;
    members_.clear();
}

void RangeCriterion::add(Index candidate) {
    if (may_select_[candidate] == 0) members_.push_back(candidate);
    may_select_[candidate] = 1;
}

bool RangeCriterion::holds(const RangeRunner& runner, double total_budget) {
    const Election& e = election_;
    if (!applies_ || !runner.has_state()) return false;
    clear_selection();
    for (const Index c : runner.winners()) add(c);
    for (const Index c : runner.remaining()) {
        const double money = supporters_money(e, c, [&](Index v) { return runner.money_upper(v); });
        if (!(e.candidate_cost[c] > money)) add(c);
    }
    const double spent_bound = cost_bound(e, members_);
    if (!(spent_bound <= total_budget)) return false;
    if (e.tie_rank.empty() && may_tie(e, members_)) return false;
    return !is_exhaustive(e, may_select_, spent_bound, total_budget);
}

// A proved run has no tie left unbroken, and its outcome is the run's.
bool RangeCriterion::holds_for_leaf(const RangeRunner& leaf, double total_budget) {
    if (leaf.blocker() != Blocker::none) return holds(leaf, total_budget);
    const double spent = outcome_cost(election_, leaf.winners());
    if (!(spent <= total_budget)) return false;
    clear_selection();
    for (const Index c : leaf.winners()) add(c);
    return !is_exhaustive(election_, may_select_, spent, total_budget);
}

}  // namespace tarvek
