// What the plain completion asks of each run, settled for a whole range of
// trial budgets at once, where the outcome itself may change within it.
#ifndef TARVEK_RANGE_CRITERION_HPP
#define TARVEK_RANGE_CRITERION_HPP

#include <vector>

#include "election.hpp"
#include "range_run.hpp"

namespace tarvek {

// The completion's two tests of an outcome: its cost, summed in its order,
// and whether no project outside it (`selected` flags it) fits into what is
// left of the budget.
double outcome_cost(const Election& e, const std::vector<Index>& outcome);
bool is_exhaustive(const Election& e, const std::vector<char>& selected, double spent,
                   double total_budget);

// Per election, what the criterion needs beyond a range run's state.
class RangeCriterion {
public:
    explicit RangeCriterion(const Election& election);

    // After `runner` failed on a range of trial budgets: true when the run
    // of the rule under every budget of the range is sure to select projects
    // that fit into `total_budget`, to leave some project outside that
    // would still fit beside them, and not to end in the tie-breaking error.
    // The plain completion then accepts each of these runs and goes on, so
    // the run at the range's last budget decides what it holds after it.
    bool holds(const RangeRunner& runner, double total_budget);
    // The same for every leaf of runner.fork(): a proved leaf's outcome is
    // known, and is tested as the completion tests it.
    bool holds_for_leaf(const RangeRunner& leaf, double total_budget);

private:
    void clear_selection();
    void add(Index candidate);  // to the candidates that may be selected

    const Election& election_;
    bool applies_;                   // no supporter has a negative utility
    std::vector<char> may_select_;   // per candidate, scratch
    std::vector<Index> members_;     // the candidates flagged in may_select_
};

}  // namespace tarvek

#endif  // TARVEK_RANGE_CRITERION_HPP
