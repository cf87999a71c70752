// One run of the fixed-budget rule over a prepared election. The working
// arrays are kept between runs so that the completion allocates them once.
#ifndef TARVEK_FIXED_BUDGET_HPP
#define TARVEK_FIXED_BUDGET_HPP

#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "election.hpp"

namespace tarvek {

// What one round of a run decided, as the run itself computed it.
struct RoundRecord {
    bool selects = false;   // false: the round selected nothing and ended the run
    Index winner = 0;
    double count = 0.0;     // the winner's effective vote count
    double price = 0.0;     // per unit of utility
    // Per entry of the winner's supporter list: money before and after the charge.
    std::vector<double> money_before;
    std::vector<double> money_after;
    // The candidates of a tie broken by the election's tie ranks (else empty).
    std::vector<Index> tied;
    // Candidates found unaffordable in this round, with their supporters'
    // money when they were examined (the round's money, before its charge).
    std::vector<std::pair<Index, double>> unaffordable;
};

// Watches a run of the rule round by round; without one, a run pays one
// pointer test per round.
class RoundObserver {
public:
    virtual ~RoundObserver() = default;
    virtual void round(const RoundRecord& record) = 0;
};

class RuleRunner {
public:
    // Saturation speaks of larger budgets whose start money (budget per
    // voter) stays at most `largest_start_money`; the caller knows how far its
    // budgets go. Without a limit, fewer runs are found saturated.
    explicit RuleRunner(const Election& election,
                        double largest_start_money = std::numeric_limits<double>::infinity());

    // Reports every round of the following runs to `observer` (nullptr: none).
    void set_observer(RoundObserver* observer) { observer_ = observer; }

    // The candidates selected with `total_budget`, in selection order. With
    // `watch_saturation`, also records whether every larger budget would
    // replay this run decision for decision (see saturated()).
    const std::vector<Index>& run(double total_budget, bool watch_saturation);

    // True when the last watched run is saturated: every run with a larger
    // budget (up to the largest start money) makes exactly the same
    // decisions, so it selects the same projects. See the argument at
    // check_stable_evaluation() in the source.
    bool saturated() const { return saturated_; }

private:
    struct Keyed {
        std::uint64_t order;  // money / utility, as an integer of the same order
        Index position;       // position in the candidate's supporter list
    };

    void play_round();
    void record_round(bool selects, Index winner, double price);
    void supporter_money(Index candidate, std::vector<double>& out) const;
    void evaluate(Index candidate);
    Keyed next_in_order();
    bool has_next_in_order() const;
    void check_stable_evaluation(Index candidate, double final_share, Keyed payer, bool any_failed);
    bool stays_unaffordable(Index candidate, double cost) const;
    void charge(Index winner, double price);
    void give_up_saturation() { saturated_ = false; }

    const Election& election_;
    double largest_start_money_;
    std::vector<double> money_;        // per voter
    std::vector<double> bound_;        // per candidate: last effective vote count
    std::vector<Index> remaining_;     // candidates still in play
    std::vector<char> leaves_;         // per candidate: drop at the end of this round
    std::vector<Index> best_;
    double best_count_ = 0.0;
    // The supporters of the evaluation not yet taken in key order: those of
    // the smallest key in `front_` (from front_next_ on), the others in
    // `heap_`, a heap once heap_ready_.
    std::vector<Keyed> heap_;
    std::vector<Keyed> front_;
    std::size_t front_next_ = 0;
    bool split_ = false;
    bool heap_ready_ = false;
    std::vector<Index> winners_;
    bool watching_ = false;
    bool saturated_ = false;
    RoundObserver* observer_ = nullptr;
    RoundRecord record_;
};

}  // namespace tarvek

#endif  // TARVEK_FIXED_BUDGET_HPP
