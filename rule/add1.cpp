// The Add1 completion: repeat the rule with trial budgets that give every
// voter one more unit of money per run, keeping each outcome that still fits
// into the real budget.
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "completion.hpp"
#include "election.hpp"
#include "fixed_budget.hpp"
#include "range_criterion.hpp"
#include "range_run.hpp"
#include "tie_breaking.hpp"

namespace tarvek {
namespace {

// Past this start money the trial budget no longer grows (adding n rounds
// away once n is below half an ulp of the budget, below 2^54 * n).
constexpr double kLastStartMoney = 0x1p55;

// True when trial + k * n is exact for every k up to `runs`, so that it
// equals k additions of n one after the other: all these sums are multiples
// of a power of two p that divides both trial and n, and stay below 2^53 * p.
bool range_is_exact(double trial_budget, double n, double runs) {
    if (std::trunc(trial_budget) != trial_budget) return false;
    double p = 1.0;
    while (std::fmod(n, 2.0 * p) == 0.0 && std::fmod(trial_budget, 2.0 * p) == 0.0 && p < 0x1p60) {
        p *= 2.0;
    }
    return std::fabs(trial_budget) + runs * n <= 0x1p53 * p;
}

// The completion's last resort. Where neither a range proof nor the plain
// saturation test can show that the outcome has settled, the plain steps may
// go on for up to 2^53 runs (until the trial budget stops growing); such an
// election gets an error instead of an endless call. No election whose
// outcome can be reached in practice comes near the default limit: skipped
// runs do not count.
void count_work(const CompletionStats& counts, std::uint64_t max_runs_of_work) {
    if (counts.runs + counts.range_runs > max_runs_of_work) {
        throw std::runtime_error(
            "equal_shares_add1: the completion did not settle within " +
            std::to_string(max_runs_of_work) + " runs of the rule");
    }
}

// The plain completion runs the rule at the trial budgets n * whole_share +
// k * n, k = 1, 2, ..., keeping each outcome that fits into the budget, until
// the held outcome is exhaustive or a run's outcome does not fit. This class
// reaches its result, and its errors, with fewer runs.
//
// Invariant at the top of every step: `outcome_` is what the plain completion
// holds after its run at `trial_budget_` (the first run's, at the real budget,
// before any step), it costs `spent_`, and it is not exhaustive, so the plain
// completion goes on with trial_budget_ + n. Each step keeps the invariant or
// ends with the plain completion's result:
// - settle_rest(): now and then, proves that no later trial budget changes
//   the outcome, and ends;
// - try_range(): one range run stands for the next `range_` trial budgets;
// - take_single_run(): one plain step.
class Add1 {
public:
    Add1(const Election& e, double total_budget, bool skip_runs, std::uint64_t max_runs_of_work)
        : e_(e),
          total_budget_(total_budget),
          skip_runs_(skip_runs),
          max_runs_of_work_(max_runs_of_work),
          runner_(e, kLastStartMoney),
          range_runner_(e),
          criterion_(e),
          selected_(e.candidate_count(), 0) {}

    Completion run(CompletionStats* stats, bool find_budget) {
        find_budget_ = find_budget;
        hold(runner_.run(total_budget_, false), total_budget_, false);
        ++counts_.runs;
        // With no voters every run selects nothing and the trial budget would
        // not grow: the first outcome is final.
        if (e_.voter_entries > 0.0) {
            n_ = e_.voter_entries;
            trial_budget_ = n_ * std::trunc(total_budget_ / n_);
            for (;;) {
                if (is_exhaustive(e_, selected_, spent_, total_budget_)) break;
                count_work(counts_, max_runs_of_work_);
                if (settle_rest() == Step::ends) break;
                if (range_is_due()) {
                    if (try_range() == Step::ends) break;
                    continue;
                }
                if (take_single_run() == Step::ends) break;
            }
        }
        take_pending_outcome();
        if (find_budget && !budget_known_) outcome_budget_ = find_streak_start();
        if (stats != nullptr) *stats = counts_;
        return {outcome_, find_budget ? outcome_budget_ : 0.0};
    }

private:
    enum class Step { goes_on, ends };

    // Takes `outcome` as the held one, selected by the runs from `budget` on
    // (a range's first budget). The outcome's budget is the first of the
    // plain completion's runs in a row that selected it, so that it does not
    // depend on which runs were skipped.
    void hold(const std::vector<Index>& outcome, double budget, bool from_range) {
        if (!holds_any_ || outcome != outcome_) {
            outcome_budget_ = budget;
            budget_known_ = true;
        }
        holds_any_ = true;
        pending_ = false;
        for (const Index c : outcome_) selected_[c] = 0;
        outcome_ = outcome;
        for (const Index c : outcome_) selected_[c] = 1;
        spent_ = outcome_cost(e_, outcome_);
        held_from_range_ = from_range;
    }

    // At ever longer intervals (so that it costs a fraction of the runs), tries
    // to prove that every remaining trial budget selects the same projects:
    // then the next run is accepted or not, and every later one repeats it, so
    // the plain completion would never change the outcome again. This matters
    // only for elections that would otherwise run on and on.
    Step settle_rest() {
        if (--steps_to_final_check_ != 0) return Step::goes_on;
        final_check_interval_ *= 2;
        steps_to_final_check_ = final_check_interval_;
        // The held outcome is that of the run at trial_budget_, the last of
        // its range: if that run is saturated, no later one differs. (A held
        // single run was checked when it was made.)
        if (held_from_range_) {
            if (pending_) {
                take_pending_outcome();
            } else {
                runner_.run(trial_budget_, true);
                ++counts_.runs;
            }
            if (runner_.saturated()) return Step::ends;
        }
        const double first_start = (trial_budget_ + n_) / n_;
        if (!skip_runs_ || !(first_start <= kLastStartMoney)) return Step::goes_on;
        ++counts_.range_runs;
        if (!range_runner_.run({first_start, kLastStartMoney})) {
            count_failure();
            return Step::goes_on;
        }
        if (outcome_cost(e_, range_runner_.winners()) <= total_budget_) {
            hold(range_runner_.winners(), trial_budget_ + n_, true);  // decides as the whole range
        }
        return Step::ends;
    }

    bool range_is_due() const {
        return skip_runs_ && single_runs_before_range_ == 0 &&
               range_is_exact(trial_budget_, n_, range_);
    }

    // A range of budgets that all select the same projects stands for that
    // many plain steps: each would be accepted (or the first rejected) and
    // leave the same outcome, which is still not exhaustive when the range
    // ends unless the next step's test says so. Ranges grow while they are
    // proved or settled and halve when not (lengthen_range).
    Step try_range() {
        const double first = trial_budget_ + n_;
        const double last = trial_budget_ + range_ * n_;
        ++counts_.range_runs;
        if (range_runner_.run({first / n_, last / n_})) {
            if (!hold_proved(first, last)) return Step::ends;
            lengthen_range();
            return Step::goes_on;
        }
        count_failure();
        if (criterion_holds()) {
            ++counts_.criterion_ranges;
            return settle_by_last_run(last);
        }
        if (split_is_due()) return split_range(first, last);
        if (splits_to_skip_ > 0) --splits_to_skip_;
        range_ = std::floor(range_ / 2.0);
        settled_since_failure_ = 0;
        if (range_ < shortest_range()) {
            single_runs_before_range_ = backoff_;
            backoff_ = std::min<std::uint64_t>(2 * backoff_, 256);
            range_ = shortest_range();
        }
        return Step::goes_on;
    }

    // Whether the criterion of settle_by_last_run() holds for the range
    // that the range runner just failed on: at its failure, or, where that
    // was a close race, at every leaf of its fork.
    bool criterion_holds() {
        if (criterion_.holds(range_runner_, total_budget_)) return true;
        if (range_runner_.blocker() != Blocker::close_race || range_ < kShortestForkedRange) {
            return false;
        }
        const std::uint64_t runs_before = range_runner_.forked_runs();
        const bool holds = range_runner_.fork(kDeepestFork, [&](const RangeRunner& leaf) {
            return criterion_.holds_for_leaf(leaf, total_budget_);
        });
        counts_.forked_runs += range_runner_.forked_runs() - runs_before;
        return holds;
    }

    // Whether to split the range that the range runner just failed on. A
    // part resumed at the round that failed saves the rounds before it, but
    // copies and narrows every voter's money and carries the enclosures of
    // the whole range; measured on the elections at hand, that pays only
    // where the failed run proved at least 16 rounds and a quarter of the
    // held outcome's, and while splits keep proving budgets (split_range).
    bool split_is_due() const {
        const std::size_t rounds = range_runner_.winners().size();
        return range_runner_.resumable() && range_ > kNarrowestPart && splits_to_skip_ == 0 &&
               rounds >= kFewestRoundsSaved && 4 * rounds >= outcome_.size();
    }

    // The budgets from `first` to `last` all select the range runner's
    // winners: the plain completion accepts each of them and holds that
    // outcome, or rejects the first and ends (false).
    bool hold_proved(double first, double last) {
        if (!(outcome_cost(e_, range_runner_.winners()) <= total_budget_)) return false;
        hold(range_runner_.winners(), first, true);
        trial_budget_ = last;
        counts_.skipped_runs += static_cast<std::uint64_t>((last - first) / n_ + 1.0);
        return true;
    }

    // A failed range, taken in parts from the round that failed, in budget
    // order (RangeRunner::split): a proved part is consumed as a proved range
    // is, a narrow one that failed with single runs, and at a wide one that
    // failed the split stops, leaving the rest to the steps that follow, from
    // a shorter range. The held outcome is tested for exhaustiveness after
    // each, as the main loop does before each step.
    Step split_range(double first, double last) {
        ++counts_.split_ranges;
        const std::uint64_t resumed_before = range_runner_.resumed_parts();
        double budgets_proved = 0.0;
        Step step = Step::goes_on;
        range_runner_.split(first, last, n_, kNarrowestPart, kDeepestSplit,
                            [&](const RangeRunner::Part& part) {
            const double width = (part.last - part.first) / n_ + 1.0;
            if (part.proved) {
                budgets_proved += width;
                if (!hold_proved(part.first, part.last)) step = Step::ends;
            } else if (width > kNarrowestPart) {
                ++counts_.failed_parts[static_cast<std::size_t>(part.blocker)];
                range_ = std::max(shortest_range(), std::floor(width / 4.0));
                return false;
            } else {
                ++counts_.failed_parts[static_cast<std::size_t>(part.blocker)];
                step = take_single_runs(part.first, part.last);
            }
            return step == Step::goes_on && !is_exhaustive(e_, selected_, spent_, total_budget_);
        });
        const std::uint64_t resumed = range_runner_.resumed_parts() - resumed_before;
        counts_.resumed_parts += resumed;
        // Where splits do not pay (the parts fail, or prove few budgets for
        // what they cost), the next failed ranges go the old way, twice as
        // many after each such split.
        if (budgets_proved < kBudgetsPerPart * static_cast<double>(resumed)) {
            splits_to_skip_ = split_backoff_;
            split_backoff_ = std::min<std::uint64_t>(2 * split_backoff_, 64);
        } else {
            split_backoff_ = 2;
        }
        return step;
    }

    // The plain steps from `first` to `last`, until one ends the completion
    // or leaves an exhaustive outcome.
    Step take_single_runs(double first, double last) {
        for (double budget = first; budget <= last; budget += n_) {
            bool fits = false;
            if (run_at(budget, fits) == Step::ends) return Step::ends;
            if (is_exhaustive(e_, selected_, spent_, total_budget_)) break;
        }
        return Step::goes_on;
    }

    // Every run of the range up to `last` is accepted and leaves an outcome
    // that is not exhaustive (RangeCriterion): the plain completion then
    // holds the outcome of the run at `last`.
    //
    // Which of those runs began the held outcome's streak is not known, so
    // the outcome's budget is found afterwards, if asked for
    // (find_streak_start); until the outcome changes in a step whose every
    // run is known, the part of the streak below `last` stays open.
    Step settle_by_last_run(double last) {
        if (!find_budget_) return settle_without_run(last);
        if (budget_known_) {
            open_from_ = trial_budget_ + n_;
            outcome_below_open_ = outcome_;
            budget_below_open_ = outcome_budget_;
        }
        bool fits = false;
        const Step step = run_at(last, fits);
        require_settled_fit(fits);
        budget_known_ = false;
        known_from_ = trial_budget_;
        counts_.skipped_runs += static_cast<std::uint64_t>(range_) - 1;
        if (step == Step::ends) return Step::ends;
        lengthen_range();
        return Step::goes_on;
    }

    // As settle_by_last_run(), where the outcome's budget is not asked for:
    // the outcome of the run at `last` is held but not run. Every later step
    // either replaces it (a run or a proved range that fits) or ends the
    // completion, which then holds it: it is run only then
    // (take_pending_outcome), so that ranges settled one after the other
    // cost no run each. Meanwhile outcome_ is the one held before the range,
    // which was not exhaustive, and neither is the pending one (the
    // criterion says so): the main loop's test goes on as it should.
    Step settle_without_run(double last) {
        trial_budget_ = last;
        pending_ = true;
        pending_budget_ = last;
        held_from_range_ = true;
        counts_.skipped_runs += static_cast<std::uint64_t>(range_);
        lengthen_range();
        return Step::goes_on;
    }

    // The criterion said the run at a settled range's last budget fits.
    static void require_settled_fit(bool fits) {
        if (!fits) throw std::logic_error("equal_shares_add1: a range settled as fitting did not fit");
    }

    // The held outcome where settle_without_run() left it to be run.
    void take_pending_outcome() {
        if (!pending_) return;
        const std::vector<Index>& outcome = runner_.run(pending_budget_, true);
        ++counts_.runs;
        require_settled_fit(outcome_cost(e_, outcome) <= total_budget_);
        hold(outcome, pending_budget_, false);
    }

    // The first budget of the held outcome's streak, where a settled range
    // left it open: the outcome holds from `known_from_` on, and below
    // `open_from_` the streak is known. Walks down from `known_from_` to
    // the first budget whose run selects something else (with ranges that
    // all select one outcome where they can be proved, doubling while they
    // are, as the forward steps do), or down to `open_from_`.
    double find_streak_start() {
        double budget = known_from_ - n_;  // the highest budget not known to select the outcome
        double width = kShortestRange;
        while (budget >= open_from_) {
            const double lowest = std::max(open_from_, budget - (width - 1.0) * n_);
            if (lowest < budget && skip_runs_) {
                ++counts_.range_runs;
                if (range_runner_.run({lowest / n_, budget / n_})) {
                    // One outcome throughout: either all of it is in the streak or none.
                    if (range_runner_.winners() != outcome_) return budget + n_;
                    budget = lowest - n_;
                    width *= 2.0;
                    continue;
                }
                count_failure();
                width = std::floor(width / 4.0);
                continue;
            }
            ++counts_.runs;
            if (runner_.run(budget, false) != outcome_) return budget + n_;
            budget -= n_;
            width = kShortestRange;
        }
        return outcome_below_open_ == outcome_ ? budget_below_open_ : open_from_;
    }

    void count_failure() {
        ++counts_.failed_ranges[static_cast<std::size_t>(range_runner_.blocker())];
    }

    Step take_single_run() {
        if (single_runs_before_range_ > 0) --single_runs_before_range_;
        bool fits = false;
        if (run_at(trial_budget_ + n_, fits) == Step::ends) return Step::ends;
        range_ = shortest_range();
        return Step::goes_on;
    }

    // The plain completion's run at `budget`, the next trial budget: it ends,
    // holding what it held, when the run's outcome does not fit (`fits`
    // false); else it holds that outcome, and ends when every later run
    // would repeat this one (the budget no longer grows, or the run is
    // saturated), so that the outcome never changes again.
    Step run_at(double budget, bool& fits) {
        trial_budget_ = budget;
        const std::vector<Index>& next = runner_.run(trial_budget_, true);
        ++counts_.runs;
        fits = outcome_cost(e_, next) <= total_budget_;
        if (!fits) return Step::ends;
        hold(next, trial_budget_, false);
        if (trial_budget_ + n_ == trial_budget_ || runner_.saturated()) return Step::ends;
        return Step::goes_on;
    }

    // A range settled for all its budgets: the next one is twice as long,
    // or, for the first kSlowSteps after a failure, half as long again.
    // Where the outcome keeps changing (Budapest 2024), ranges then stay
    // near the longest that holds instead of failing every other time at
    // twice that length; where ranges hold for long (Toulouse 2019 with
    // costs x10^6), they soon double again.
    void lengthen_range() {
        if (range_ >= kShortestRange) backoff_ = 4;
        any_range_proved_ = true;
        ++settled_since_failure_;
        range_ = std::floor(range_ * (settled_since_failure_ <= kSlowSteps ? 1.5 : 2.0));
    }

    const Election& e_;
    const double total_budget_;
    const bool skip_runs_;
    const std::uint64_t max_runs_of_work_;
    RuleRunner runner_;
    RangeRunner range_runner_;
    RangeCriterion criterion_;
    CompletionStats counts_;

    double n_ = 0.0;
    double trial_budget_ = 0.0;
    std::vector<Index> outcome_;
    std::vector<char> selected_;  // flags the held outcome's candidates
    double spent_ = 0.0;
    double outcome_budget_ = 0.0;
    bool holds_any_ = false;
    bool find_budget_ = false;
    // The held outcome is that of the run at pending_budget_, not yet run
    // (settle_without_run); outcome_ and spent_ are the earlier one's.
    bool pending_ = false;
    double pending_budget_ = 0.0;
    // Whether outcome_budget_ is the first of the held outcome's streak;
    // else the streak is open between open_from_ and known_from_ (see
    // find_streak_start), and below open_from_ the plain completion held
    // outcome_below_open_, first selected at budget_below_open_.
    bool budget_known_ = true;
    double open_from_ = 0.0;
    double known_from_ = 0.0;
    std::vector<Index> outcome_below_open_;
    double budget_below_open_ = 0.0;
    // Whether the held outcome was settled by a range run, whose last budget
    // has not been checked for saturation as single runs are.
    bool held_from_range_ = false;

    // A range run costs about as much as two to five single runs (measured
    // on Budapest 2024 and on small elections), so once ranges are proved in
    // this completion, one shorter than this saves little even when it is
    // proved (4 made the Zurich elections 15 % slower, 8 Budapest 2024 6 %).
    // Until then probes stay at 2 budgets: a range run that fails costs more
    // the wider the range (it fails later), and where no range holds, a
    // cheap probe is all that is lost.
    static constexpr double kShortestRange = 6.0;
    double shortest_range() const { return any_range_proved_ ? kShortestRange : 2.0; }
    bool any_range_proved_ = false;
    // Ranges halve on failure and grow by 1.5 for the next kSlowSteps
    // settled ranges, then double (lengthen_range). Measured against
    // quartering, doubling throughout and a shortest range of 8: Budapest
    // 2024 about 20 % faster, Warszawa 2026 12 %, Lodz 2022 7 %; a few
    // completions of a few milliseconds with few ranges up to 19 % slower
    // (Poznan 2023: three more failed ranges). Without the return to
    // doubling, Toulouse 2019 x10^6 was 20 % slower; returning after 2
    // steps, Budapest 2024 was 10 % slower than after 4.
    static constexpr std::uint64_t kSlowSteps = 4;
    std::uint64_t settled_since_failure_ = kSlowSteps;  // none failed yet: double
    // A split range is halved at most twice (measured on Budapest 2024,
    // Budapest 2023 VIII and Toulouse 2019: deeper halvings fail more often
    // than they prove, the parts carrying the whole range's enclosures); a
    // failed part of at most 4 budgets is left to single runs. A part costs
    // about a single run or two; a split that proves fewer than 4 budgets per
    // part did not pay, and the next 2, 4, ... 64 failed ranges are not split.
    // Splits start where a failed run proved 16 rounds (split_is_due).
    static constexpr double kNarrowestPart = 4.0;
    static constexpr std::size_t kDeepestSplit = 2;
    static constexpr double kBudgetsPerPart = 4.0;
    static constexpr std::size_t kFewestRoundsSaved = 16;
    // A fork follows at most this many close races in a row. Its runs cost
    // about a range run each: forks pay from ranges of 16 budgets on
    // (measured: from 8 on, Amsterdam 179 took 11 % longer, from 2 on
    // Amsterdam 309 30 %; Budapest 2024, VIII and Toulouse 2019 x10^6 gain
    // as much from 16 on). On those elections forks never nest: the depth
    // only caps the work.
    static constexpr std::size_t kDeepestFork = 3;
    static constexpr double kShortestForkedRange = 16.0;
    std::uint64_t splits_to_skip_ = 0;
    std::uint64_t split_backoff_ = 2;
    double range_ = 2.0;  // trial budgets to settle with the next range run
    // Where even a few budgets in a row decide differently (a vote with many
    // voters whose payers move with every unit of money), range runs cost
    // more than the single runs they replace: after each failure that would
    // leave a range shorter than the shortest, wait twice as many single
    // runs, from 4 up to 256, before the next try at the shortest range,
    // until a range of the shortest length or more succeeds again.
    std::uint64_t single_runs_before_range_ = 0;
    std::uint64_t backoff_ = 4;
    // The proof that nothing changes any more starts after 32 steps.
    std::uint64_t steps_to_final_check_ = 32;
    std::uint64_t final_check_interval_ = 32;
};

}  // namespace

Completion complete(const Election& e, double total_budget, bool skip_runs,
                    CompletionStats* stats, std::uint64_t max_runs_of_work, bool find_budget) {
    return Add1(e, total_budget, skip_runs, max_runs_of_work).run(stats, find_budget);
}

std::vector<std::string> complete_add1(const IdList& voters, const IdList& projects,
                                       const CostMap& cost, const ApproverMap& approvers,
                                       const UtilityMap& total_utility, double total_budget,
                                       bool skip_runs, CompletionStats* stats,
                                       std::uint64_t max_runs_of_work) {
    const Election e = prepare_election(voters, projects, cost, approvers, total_utility);
    const Completion done = complete(e, total_budget, skip_runs, stats, max_runs_of_work, false);
    std::vector<std::string> result;
    result.reserve(done.outcome.size());
    for (const Index c : done.outcome) result.push_back(*e.candidate_id[c]);
    return result;
}

}  // namespace tarvek

std::vector<std::string> equal_shares_add1(const tarvek::IdList& voters,
                                           const tarvek::IdList& projects,
                                           const tarvek::CostMap& cost,
                                           const tarvek::ApproverMap& approvers,
                                           const tarvek::UtilityMap& total_utility,
                                           double total_budget) {
    return tarvek::with_plain_tie_error([&] {
        return tarvek::complete_add1(voters, projects, cost, approvers, total_utility, total_budget,
                                     true);
    });
}
