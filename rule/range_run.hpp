// One run of the fixed-budget rule for a whole range of start budgets at
// once. Every voter's money is carried as an interval that encloses its value
// under every start budget of the range; the run succeeds only when each
// decision of the rule comes out the same for the whole range, so that every
// budget in it selects the same projects in the same order.
#ifndef TARVEK_RANGE_RUN_HPP
#define TARVEK_RANGE_RUN_HPP

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "election.hpp"

namespace tarvek {

struct Interval {
    double lo;
    double hi;
    bool is_point() const { return lo == hi; }
};

class RangeRunner {
public:
    explicit RangeRunner(const Election& election);

    // Runs the rule for every start money (total budget / n) in `start`. True
    // when every decision is the same for all of them; winners() then holds
    // their common outcome. False when some decision may differ within the
    // range, or when the range holds a case this runner does not handle
    // (money that is not finite, a tie that cannot be broken); the caller
    // then runs the budgets one by one.
    bool run(Interval start);
    const std::vector<Index>& winners() const { return winners_; }

private:
    // money / utility for every budget: within `range`, or NaN throughout.
    struct Key {
        Interval range;
        bool nan;
    };
    struct Keyed {
        double guide;    // lower end of the key, NaN as +infinity: only a guide
        bool nan;
        Index position;  // position in the candidate's supporter list
    };

    void play_round();
    void evaluate(Index candidate);
    void charge(Index winner);
    bool candidate_before(Index a, Interval bound_a, Index b, Interval bound_b) const;
    bool supporter_before(Index candidate, Index position_a, Index position_b) const;
    Key key_of(std::size_t supporter) const;
    bool same_money_order(std::size_t a, std::size_t b) const;
    bool offset_order(std::size_t a, std::size_t b) const;
    static Interval offset_after_payment(Interval offset, Interval payment, Interval money);
    std::uint32_t class_after_payment(std::uint32_t money_class, double utility);

    const Election& election_;
    Interval start_{0.0, 0.0};                  // start money of listed voters
    std::vector<Interval> money_;               // per voter
    // For listed voters who never had a charge cut: money - start money, as
    // real numbers, for every budget of the range. Two such voters' money
    // differs by about the same amount under every budget, which the plain
    // intervals, each as wide as the range, cannot show.
    std::vector<Interval> offset_;
    std::vector<char> has_offset_;
    // Voters with equal class hold equal money under every budget of the
    // range (same start, same payments); intervals cannot show that.
    std::vector<std::uint32_t> money_class_;
    std::uint32_t next_class_ = 0;
    std::unordered_map<std::uint64_t, std::uint32_t> classes_of_charge_;
    std::vector<Interval> bound_;  // per candidate
    std::vector<Index> remaining_;
    std::vector<char> leaves_;
    std::vector<Index> best_;
    Interval best_count_{0.0, 0.0};
    std::vector<Keyed> heap_;
    std::vector<Index> winners_;
};

}  // namespace tarvek

#endif  // TARVEK_RANGE_RUN_HPP
