// One run of the fixed-budget rule for a whole range of start budgets at
// once. Every voter's money is carried as an interval that encloses its value
// under every start budget of the range; the run succeeds only when every
// budget in it selects the same projects in the same order (see the argument
// at the top of range_run.cpp).
// The round loop and the decisions it shares with the plain run (RuleRunner)
// are written once, over either money domain (round_skeleton.hpp,
// money_domain.hpp); what is proved here on top of them has no counterpart
// there.
#ifndef TARVEK_RANGE_RUN_HPP
#define TARVEK_RANGE_RUN_HPP

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "affine.hpp"
#include "class_utility_ids.hpp"
#include "count_order.hpp"
#include "election.hpp"
#include "range_money.hpp"
#include "round_skeleton.hpp"
#include "supporter_heap.hpp"
#include "unordered_failers.hpp"

namespace tarvek {

class RangeRunner : private RoundSkeleton<RangeRunner, RangeMoney> {
public:
    explicit RangeRunner(const Election& election);

    // Runs the rule for every start money (total budget / n) in `start`. True
    // when all of them select the same projects in the same order; winners()
    // then holds their common outcome. False when that may differ within the
    // range, or when the range holds a case this runner does not handle
    // (money that is not finite, a tie that cannot be broken); the caller
    // then runs the budgets one by one.
    bool run(Interval start);
    const std::vector<Index>& winners() const { return winners_; }
    // Why the last run failed (Blocker::none after a proved one).
    Blocker blocker() const { return blocker_; }
    // After a run that got as far as its first round, proved or not:
    // winners() holds the winners of the rounds it proved, the same in the
    // same order under every budget; remaining() every candidate still in
    // play under some budget after them; and money_upper(voter) an upper
    // bound of the money the voter holds then, under every budget (the
    // proved winners' payments made, and perhaps some of the next one's).
    bool has_state() const { return has_state_; }
    const std::vector<Index>& remaining() const { return remaining_; }
    double money_upper(Index voter) const { return money_[voter].hi; }

    // Whether split() can go on from the round where the last run failed:
    // it failed, after its first round began, and not while charging.
    bool resumable() const { return has_state_ && !charging_ && blocker_ != Blocker::none; }

    // Consecutive budgets first, first + n, ..., last, whose start money is
    // each budget / n. Proved: every one of them selects winners() (as they
    // are when the part is visited); else they are left to single runs,
    // and blocker says why.
    struct Part {
        double first;
        double last;
        bool proved;
        Blocker blocker;
    };
    using PartVisitor = std::function<bool(const Part&)>;
    // After run() failed on the start money of the budgets first, first + n,
    // ..., last: goes on from the start of the round that failed, over
    // halves of the range and halves of those where they fail again, and
    // visits the parts in budget order until `visit` returns false. A part
    // that fails from its charge on, that holds at most `narrowest` budgets,
    // or that is `deepest` halvings down, is not split. The parts cover the
    // range (see the argument at the top of range_split.cpp).
    void split(double first, double last, double n, double narrowest, std::size_t deepest,
               const PartVisitor& visit);
    // Parts resumed by split() since this runner was made.
    std::uint64_t resumed_parts() const { return resumed_parts_; }

    // After run() failed on a close race: goes on from the start of that
    // round once for each candidate that may win it, as its winner, and so on
    // again at close races in those runs, `deepest` times at most. Visits
    // each run so ended (a leaf: proved, or failed with its state) until
    // `visit` returns false. Every budget of the range follows one leaf, so
    // what holds for every leaf holds for the range (the argument at the top
    // of range_fork.cpp). Returns whether every leaf was visited and
    // accepted; the runner is then back at the failed round's start, for
    // split().
    using LeafVisitor = std::function<bool(const RangeRunner&)>;
    bool fork(std::size_t deepest, const LeafVisitor& visit);
    // Runs played by fork() since this runner was made.
    std::uint64_t forked_runs() const { return forked_runs_; }

private:
    // money / utility for every budget: within `range`, or NaN throughout.
    struct Key {
        Interval range;
        bool nan;
    };
    // An evaluation's state as it takes its supporters: what the failers
    // paid, and whether a supporter taken may have paid under some budgets,
    // with the shares it would have paid at.
    struct Scan {
        Gathered gathered;
        bool may_have_paid;
        Interval paid_share;
        Affine paid_share_affine;
    };
    enum class Group { fails, ends_evaluation };

    friend class RoundSkeleton<RangeRunner, RangeMoney>;
    // The round's steps (see round_skeleton.hpp).
    void start_scan();
    bool play_and_prove();
    bool split_part(double first, double last, std::size_t depth);
    bool fork_at(std::size_t depth, std::size_t deepest, const LeafVisitor& visit);
    bool run_part(double first, double last, std::size_t depth);
    void narrow_to(Interval start);
    void narrow_bound(Index candidate);
    void undo_round();
    void keep_for_undo(Index candidate);
    void save_round_start(std::size_t depth);
    void load_round_start(std::size_t depth);
    void scan(Index candidate);
    void end_scan(std::size_t scanned);
    Index winner_among(std::vector<Index>& best) const;
    void before_leaving(bool selects, Index winner, Interval price) {
        (void)selects, (void)winner, (void)price;
    }
    void charge(Index winner, Interval price);
    void end_round(bool selects, Index winner) { (void)selects, (void)winner; }

    void prove_scan(std::size_t scanned);
    void evaluate(Index candidate);
    void fill_heap(Index candidate);
    void take_supporters(Index candidate);
    Group close_group(Index candidate, Scan& scan, bool has_next);
    void take_partial_payers(Index candidate, Scan& scan);
    void may_have_paid_at(Scan& scan, Interval share, Affine share_affine) const;
    // A supporter of the candidate in evaluation, with its key, and the
    // key's affine form once asked for: each computed once per evaluation.
    struct Keyed {
        std::size_t supporter;  // into the election's supporter arrays
        Index position;         // in the candidate's list
        Key key;
        mutable Affine affine;
        mutable bool has_affine;
    };
    Keyed keyed(Index candidate, Index position) const;
    const Affine& affine_of(const Keyed& s) const;
    bool comes_after_all(std::size_t first, std::size_t last, const Keyed& s) const;
    enum class Verdict { fails, pays, either };
    struct Payment {
        Verdict verdict;  // for every budget of the range, or either
        Interval share;
        bool has_affine;     // share_affine computed (where intervals left it undecided)
        Affine share_affine;
    };
    Payment test_payment(Index candidate, Index position, const Gathered& gathered) const;
    Affine share_affine_of(Index candidate, const Gathered& gathered, Interval share) const;
    bool take_supporter(Index candidate, Index position, Scan& scan);
    void record_count(Index candidate, const Scan& scan);
    void pick_best();
    bool settle_maybe_scanned(Index candidate);
    bool may_come_first(Index other, std::size_t scanned) const;
    void settle_scanned_out_of_order(Index other, std::size_t scanned);
    struct BoundShare;
    bool candidate_before(Index a, Interval bound_a, const BoundShare& share_a, Index b,
                          Interval bound_b, const BoundShare& share_b) const;
    Quotient count_quotient(Index candidate) const;
    Quotient bound_quotient(Index candidate, Interval bound, const BoundShare& share) const;
    bool below_best(const Quotient& x) const;
    bool supporter_before(const Keyed& a, const Keyed& b) const;
    Key key_of(std::size_t supporter) const;
    Affine key_affine(std::size_t supporter, Interval key) const;
    bool same_money_order(std::size_t a, std::size_t b) const;
    std::uint32_t class_after_payment(std::uint32_t money_class, double utility);

    AffineRange affine_;                        // over the start money
    std::vector<Interval> money_;               // per voter
    std::vector<Affine> money_affine_;          // per voter
    // Voters with equal class hold equal money under every budget of the
    // range (same start, same payments); intervals cannot show that.
    std::vector<std::uint32_t> money_class_;
    std::uint32_t next_class_ = 0;
    ClassUtilityIds classes_after_charge_;  // per charge: the class each pair moves to
    // Per candidate, its last final share (what the price of its selection
    // is computed from), as an interval and affine.
    std::vector<Interval> final_share_;
    std::vector<Affine> final_share_affine_;
    // Per candidate, its count in this round if it contends, else 0.
    std::vector<Interval> count_;
    std::vector<Interval> scanned_bound_;  // per scanned candidate, its bound before the round
    // Per candidate, the share its bound is cost / share of (a hull of the
    // shares where the bound is a hull of counts), while it has one: so that
    // split() can narrow the bound with the share's affine form.
    struct BoundShare {
        Interval share;
        Affine share_affine;
        bool known;
    };
    std::vector<BoundShare> bound_share_;
    std::vector<BoundShare> scanned_share_;  // per scanned candidate, as scanned_bound_
    // Per candidate: in play under some budgets of the range only (it left,
    // unaffordable, under those that scanned it in a round that scanned it
    // under some budgets only). It may be evaluated and contend, but must lose
    // wherever it does, so that its absence changes nothing.
    std::vector<char> maybe_present_;
    std::vector<Index> contenders_;  // this round's, in the order scanned
    SupporterHeap heap_;
    // An evaluation's supporters in the order taken, cut into groups: where
    // each group begins in `taken_`, and the scan's state before it.
    std::vector<Keyed> taken_;
    std::vector<std::size_t> group_begin_;
    std::vector<Scan> before_group_;
    std::vector<GroupMember> members_;
    Blocker blocker_ = Blocker::none;
    bool has_state_ = false;

    // What the round so far changed, to go back to its start: each evaluated
    // candidate's bound, its share and whether it was maybe present, as they
    // were. Nothing else changes before the charge (the candidates in play
    // and the winners change just before it, the money in it).
    struct Evaluated {
        Index candidate;
        Interval bound;
        BoundShare share;
        char maybe_present;
    };
    std::vector<Evaluated> round_undo_;
    // From the start of a charge on: a failure then cannot go back to the
    // round's start.
    bool charging_ = false;
    // A round's start where split() cut its range, kept for the second half,
    // or where fork() took one winner, kept for the others.
    struct RoundStart {
        std::vector<Index> remaining;
        std::vector<Interval> bound;
        std::vector<BoundShare> bound_share;
        std::vector<char> maybe_present;
        std::size_t winners = 0;
        std::vector<Interval> money;
        std::vector<Affine> money_affine;
        std::vector<std::uint32_t> money_class;
        std::uint32_t next_class = 0;
    };
    std::vector<RoundStart> round_starts_;  // one per depth of halving or forking
    double split_n_ = 1.0;
    double split_narrowest_ = 1.0;
    std::size_t split_deepest_ = 0;
    const PartVisitor* visit_ = nullptr;
    std::uint64_t resumed_parts_ = 0;
    // The candidates that may win the round that failed on a close race.
    std::vector<Index> may_win_;
    // Set by fork(): the winner of the next round to pick its best, for the
    // budgets that its run stands for.
    static constexpr Index kNoForcedWinner = static_cast<Index>(-1);
    Index forced_winner_ = kNoForcedWinner;
    std::uint64_t forked_runs_ = 0;
};

}  // namespace tarvek

#endif  // TARVEK_RANGE_RUN_HPP
