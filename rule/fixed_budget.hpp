// One run of the fixed-budget rule over a prepared election. The working
// arrays are kept between runs so that the completion allocates them once.
#ifndef TARVEK_FIXED_BUDGET_HPP
#define TARVEK_FIXED_BUDGET_HPP

#include <cstdint>
#include <vector>

#include "election.hpp"

namespace tarvek {

class RuleRunner {
public:
    explicit RuleRunner(const Election& election);

    // The candidates selected with `total_budget`, in selection order. With
    // `watch_saturation`, also records whether every larger budget would
    // replay this run decision for decision (see saturated()).
    const std::vector<Index>& run(double total_budget, bool watch_saturation);

    // True when the last watched run is saturated: every run with a larger
    // budget makes exactly the same decisions, so it selects the same
    // projects. See the argument at evaluate_stability() in the source.
    bool saturated() const { return saturated_; }

private:
    struct Keyed {
        std::uint64_t order;  // money / utility, as an integer of the same order
        Index position;       // position in the candidate's supporter list
    };

    void play_round();
    void evaluate(Index candidate);
    Keyed next_in_order();
    bool has_next_in_order() const;
    void check_stable_evaluation(Index candidate, double final_share, Keyed payer, bool any_failed);
    bool stays_unaffordable(Index candidate, double cost) const;
    void charge(Index winner, double price);
    void give_up_saturation() { saturated_ = false; }

    const Election& election_;
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
};

}  // namespace tarvek

#endif  // TARVEK_FIXED_BUDGET_HPP
