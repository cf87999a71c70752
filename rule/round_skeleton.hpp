// The round loop of the fixed-budget rule, written once for the plain run
// (RuleRunner, over the money of one budget) and the range run (RangeRunner,
// over money enclosed for a range of budgets). Each round orders the
// candidates in play by their bounds, evaluates them lazily until none below
// the best count so far can win, selects the winner among the best, drops the
// candidates that leave and charges the winner's supporters.
//
// A runner derives from RoundSkeleton<Runner, Money> and provides:
//   start_scan()                   before the round's first evaluation
//   scan(candidate)                evaluates a candidate in the lazy scan
//   end_scan(scanned)              after the scan of the first `scanned`
//   winner_among(best)             the winner among the best (may reorder them)
//   before_leaving(selects, winner, price)
//                                  the round's decisions, before anyone leaves
//   charge(winner, price)          charges the winner's supporters
//   end_round(selects, winner)     after the round
// An evaluation sets the candidate's bound, marks it in leaves_ when it
// leaves, and for a candidate that contends keeps best_ and best_count_ (the
// plain run as it goes, the range run in end_scan()).
#ifndef TARVEK_ROUND_SKELETON_HPP
#define TARVEK_ROUND_SKELETON_HPP

#include <algorithm>
#include <cstddef>
#include <vector>

#include "election.hpp"
#include "money_domain.hpp"

namespace tarvek {

template <class Runner, class Money>
class RoundSkeleton {
protected:
    using Value = typename Money::Value;

    explicit RoundSkeleton(const Election& election)
        : election_(election),
          bound_(election.candidate_count()),
          leaves_(election.candidate_count()) {
        remaining_.reserve(election.candidate_count());
        best_.reserve(election.candidate_count());
        winners_.reserve(election.candidate_count());
    }

    // Every candidate in play, bounded by its total utility; nothing selected.
    void start_rounds() {
        const Election& e = election_;
        remaining_.clear();
        for (Index c = 0; c < e.candidate_count(); ++c) {
            remaining_.push_back(c);
            bound_[c] = Money::point(static_cast<double>(e.candidate_total_utility[c]));
            leaves_[c] = 0;
        }
        winners_.clear();
    }

    // Listed voters start with `start`; supporters who are not listed hold
    // nothing.
    void give_start_money(std::vector<Value>& money, Value start) const {
        const auto listed = static_cast<std::ptrdiff_t>(election_.listed_voter_count);
        std::fill(money.begin(), money.begin() + listed, start);
        std::fill(money.begin() + listed, money.end(), Money::point(0.0));
    }

    // Rounds until one selects nothing or no candidate is left.
    void play_rounds() {
        while (!remaining_.empty()) {
            const std::size_t selected_before = winners_.size();
            play_round();
            if (winners_.size() == selected_before) break;
        }
    }

    const Election& election_;
    std::vector<Value> bound_;      // per candidate: its last effective vote count
    std::vector<Index> remaining_;  // candidates still in play
    std::vector<char> leaves_;      // per candidate: drop at the end of this round
    std::vector<Index> best_;       // the round's best, a tie when more than one
    Value best_count_{};
    std::vector<Index> winners_;    // in selection order

private:
    void play_round() {
        Runner& runner = static_cast<Runner&>(*this);
        // Greatest bound first; equal bounds in order of first occurrence. Over
        // a range the lower ends give a guide order only, and the range run
        // proves the part of it that matters.
        std::sort(remaining_.begin(), remaining_.end(), [&](Index a, Index b) {
            const double bound_a = Money::lo(bound_[a]);
            const double bound_b = Money::lo(bound_[b]);
            return bound_a > bound_b || (bound_a == bound_b && a < b);
        });
        best_count_ = Money::point(0.0);
        best_.clear();
        runner.start_scan();
        std::size_t scanned = 0;
        for (; scanned < remaining_.size(); ++scanned) {
            // Lazy re-evaluation: nobody below the round's best count so far
            // can win it (over a range: under no budget).
            const Index candidate = remaining_[scanned];
            if (!(Money::hi(best_count_) <= Money::lo(bound_[candidate]))) break;
            runner.scan(candidate);
        }
        runner.end_scan(scanned);

        const bool selects = !best_.empty();
        Index winner = 0;
        if (selects) {
            winner = runner.winner_among(best_);
            leaves_[winner] = 1;
        }
        const Value price = selects ? price_of<Money>(election_.candidate_cost[winner], best_count_)
                                    : Money::point(0.0);
        runner.before_leaving(selects, winner, price);
        remaining_.erase(std::remove_if(remaining_.begin(), remaining_.end(),
                                        [&](Index c) { return leaves_[c] != 0; }),
                         remaining_.end());
        if (selects) {
            winners_.push_back(winner);
            runner.charge(winner, price);
        }
        runner.end_round(selects, winner);
    }
};

}  // namespace tarvek

#endif  // TARVEK_ROUND_SKELETON_HPP
