// One run of the fixed-budget rule over a prepared election. The working
// arrays are kept between runs so that the completion allocates them once.
#ifndef TARVEK_FIXED_BUDGET_HPP
#define TARVEK_FIXED_BUDGET_HPP

#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "election.hpp"
#include "key_order.hpp"
#include "money_domain.hpp"
#include "round_skeleton.hpp"

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
    // Before the first round: what every listed voter starts with.
    virtual void start(double start_money) { (void)start_money; }
    virtual void round(const RoundRecord& record) = 0;
};

class RuleRunner : private RoundSkeleton<RuleRunner, PointMoney> {
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
    friend class RoundSkeleton<RuleRunner, PointMoney>;
    // The round's steps (see round_skeleton.hpp).
    void start_scan() {}
    void scan(Index candidate) { evaluate(candidate); }
    void end_scan(std::size_t scanned) { (void)scanned; }
    Index winner_among(std::vector<Index>& best) const;
    void before_leaving(bool selects, Index winner, double price) {
        if (observer_ != nullptr) record_round(selects, winner, price);
    }
    void end_round(bool selects, Index winner);

    void record_round(bool selects, Index winner, double price);
    void supporter_money(Index candidate, std::vector<double>& out) const;
    void evaluate(Index candidate);
    void start_supporter_order(Index candidate);
    void take_count(Index candidate, double effective_count);
    void check_stable_evaluation(Index candidate, double final_share, std::size_t payer,
                                 bool any_failed);
    bool stays_unaffordable(Index candidate, double cost) const;
    void charge(Index winner, double price);
    std::uint32_t class_after_charge(Index voter, double money);
    void give_up_saturation() { saturated_ = false; }

    double largest_start_money_;
    std::vector<double> money_;        // per voter
    // Every voter belongs to a class whose key is the key of its money
    // (class_key_[class_[v]] == key_order(money_[v])), so that a supporter
    // with utility 1 has its class's key. Supporters who pay alike keep
    // sharing a class, so an evaluation meets few classes. Two classes may
    // have the same key; the supporter order merges them.
    std::vector<std::uint32_t> class_;        // per voter
    std::vector<std::uint64_t> class_key_;    // per class
    std::uint32_t zero_class_ = 0;            // the class of money 0
    struct Move {
        std::uint64_t key;  // the key of the money after a charge
        std::uint32_t to;   // its class, or kNoMove
    };
    static constexpr std::uint32_t kNoMove = ~std::uint32_t{0};
    std::vector<Move> moved_;                 // per class: where a charge last led
    std::vector<char> unit_utilities_;        // per candidate: every utility is 1
    std::vector<char> groups_well_;           // per candidate: utilities 1, a long list
    std::vector<char> by_class_;              // per candidate: group by class in this run
    std::size_t grouped_candidates_ = 0;      // classes are kept while any
    // Per supporter of the evaluated candidate, in list order: its money and
    // its class or key; `order_` walks them in key order.
    std::vector<double> supporter_money_;
    std::vector<std::uint32_t> supporter_class_;
    std::vector<std::uint64_t> keys_;
    KeyOrder order_;
    bool watching_ = false;
    bool saturated_ = false;
    RoundObserver* observer_ = nullptr;
    RoundRecord record_;
};

}  // namespace tarvek

#endif  // TARVEK_FIXED_BUDGET_HPP
