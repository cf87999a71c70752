// The fixed-budget Method of Equal Shares with utilities, over dense indices.
#include "fixed_budget.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>


namespace tarvek {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Supporter order of an evaluation: by money / utility, smallest first, NaN
// after +infinity, equal keys in list order (a stable order). Keys become
// integers with the same order (-0 and +0 alike, every NaN last and equal), so
// that comparing two supporters is two integer comparisons.
std::uint64_t key_order(double key) {
    if (std::isnan(key)) return ~std::uint64_t{0};
    if (key == 0.0) key = 0.0;
    std::uint64_t bits;
    std::memcpy(&bits, &key, sizeof bits);
    constexpr std::uint64_t kSign = std::uint64_t{1} << 63;
    return (bits & kSign) != 0 ? ~bits : bits | kSign;
}

}  // namespace

RuleRunner::RuleRunner(const Election& election, double largest_start_money)
    : election_(election),
      largest_start_money_(largest_start_money),
      money_(election.voter_count),
      bound_(election.candidate_count()),
      leaves_(election.candidate_count()) {
    remaining_.reserve(election.candidate_count());
    best_.reserve(election.candidate_count());
    winners_.reserve(election.candidate_count());
    heap_.reserve(election.longest_supporter_list);
    front_.reserve(election.longest_supporter_list);
}

const std::vector<Index>& RuleRunner::run(double total_budget, bool watch_saturation) {
    const Election& e = election_;
    watching_ = watch_saturation;
    saturated_ = watch_saturation;

    // Equal start budgets for the listed voters; supporters who are not
    // listed hold nothing. With no voters nothing is divided.
    const double start = e.listed_voter_count > 0 ? total_budget / e.voter_entries : 0.0;
    if (!std::isfinite(start)) give_up_saturation();
    std::fill(money_.begin(), money_.begin() + static_cast<std::ptrdiff_t>(e.listed_voter_count),
              start);
    std::fill(money_.begin() + static_cast<std::ptrdiff_t>(e.listed_voter_count), money_.end(), 0.0);

    remaining_.clear();
    for (Index c = 0; c < e.candidate_count(); ++c) {
        remaining_.push_back(c);
        bound_[c] = static_cast<double>(e.candidate_total_utility[c]);
        leaves_[c] = 0;
    }
    winners_.clear();
    while (!remaining_.empty()) {
        const std::size_t selected_before = winners_.size();
        play_round();
        if (winners_.size() == selected_before) break;
    }
    return winners_;
}

void RuleRunner::play_round() {
    const Election& e = election_;
    // Greatest bound first; equal bounds in order of first occurrence.
    std::sort(remaining_.begin(), remaining_.end(), [&](Index a, Index b) {
        return bound_[a] > bound_[b] || (bound_[a] == bound_[b] && a < b);
    });

    best_count_ = 0.0;
    best_.clear();
    for (const Index candidate : remaining_) {
        // Lazy re-evaluation: nobody below the round's best count can win it.
        if (best_count_ > bound_[candidate]) break;
        evaluate(candidate);
    }

    Index winner = 0;
    const bool selects = !best_.empty();
    if (selects) {
        winner = pick_winner(e, best_);
        leaves_[winner] = 1;
    }
    const double price = selects ? e.candidate_cost[winner] / best_count_ : 0.0;
    if (observer_ != nullptr) record_round(selects, winner, price);
    remaining_.erase(std::remove_if(remaining_.begin(), remaining_.end(),
                                    [&](Index c) { return leaves_[c] != 0; }),
                     remaining_.end());
    if (selects) {
        winners_.push_back(winner);
        charge(winner, price);
    }
    if (observer_ != nullptr) {
        if (selects) supporter_money(winner, record_.money_after);
        observer_->round(record_);
    }
}

// The round's decisions before the candidates leave and the winner pays.
void RuleRunner::record_round(bool selects, Index winner, double price) {
    const Election& e = election_;
    RoundRecord& r = record_;
    r.selects = selects;
    r.winner = winner;
    r.count = selects ? best_count_ : 0.0;
    r.price = price;
    r.tied.clear();
    if (selects && best_.size() > 1) r.tied = best_;
    r.unaffordable.clear();
    for (const Index c : remaining_) {
        if (leaves_[c] == 0 || (selects && c == winner)) continue;
        double money = 0.0;  // summed as evaluate() sums it
        for (std::size_t i = e.supporters_begin[c]; i < e.supporters_begin[c + 1]; ++i) {
            money += money_[e.supporter_voter[i]];
        }
        r.unaffordable.emplace_back(c, money);
    }
    r.money_before.clear();
    r.money_after.clear();
    if (selects) supporter_money(winner, r.money_before);
}

void RuleRunner::supporter_money(Index candidate, std::vector<double>& out) const {
    const Election& e = election_;
    for (std::size_t i = e.supporters_begin[candidate]; i < e.supporters_begin[candidate + 1]; ++i) {
        out.push_back(money_[e.supporter_voter[i]]);
    }
}

// Removes and returns the next supporter in key order. The supporters that
// share the smallest key (often many: all who have run out of money) come
// first in list order, which is the order they were filled in, so one scan
// serves them; a heap is built for the rest only when they are needed.
RuleRunner::Keyed RuleRunner::next_in_order() {
    const auto after = [](const Keyed& a, const Keyed& b) {
        return a.order > b.order || (a.order == b.order && a.position > b.position);
    };
    if (!split_) {
        std::uint64_t smallest = ~std::uint64_t{0};
        for (const Keyed& k : heap_) smallest = std::min(smallest, k.order);
        front_.clear();
        front_next_ = 0;
        std::size_t kept = 0;
        for (const Keyed& k : heap_) {
            if (k.order == smallest) {
                front_.push_back(k);
            } else {
                heap_[kept++] = k;
            }
        }
        heap_.resize(kept);
        split_ = true;
        heap_ready_ = false;
    }
    if (front_next_ < front_.size()) return front_[front_next_++];
    if (!heap_ready_) {
        std::make_heap(heap_.begin(), heap_.end(), after);
        heap_ready_ = true;
    }
    std::pop_heap(heap_.begin(), heap_.end(), after);
    const Keyed next = heap_.back();
    heap_.pop_back();
    return next;
}

bool RuleRunner::has_next_in_order() const {
    return (split_ && front_next_ < front_.size()) || !heap_.empty();
}

void RuleRunner::evaluate(Index candidate) {
    const Election& e = election_;
    const std::size_t begin = e.supporters_begin[candidate];
    const std::size_t end = e.supporters_begin[candidate + 1];
    const double cost = e.candidate_cost[candidate];

    double supporter_money = 0.0;
    for (std::size_t i = begin; i < end; ++i) supporter_money += money_[e.supporter_voter[i]];
    if (cost > supporter_money) {
        leaves_[candidate] = 1;
        if (watching_ && !stays_unaffordable(candidate, cost)) give_up_saturation();
        return;
    }

    // Supporters are needed in key order only up to the first who can pay.
    heap_.clear();
    for (std::size_t i = begin; i < end; ++i) {
        heap_.push_back({key_order(money_[e.supporter_voter[i]] / e.supporter_utility[i]),
                         static_cast<Index>(i - begin)});
    }
    split_ = false;

    double utility_left = static_cast<double>(e.candidate_total_utility[candidate]);
    double paid = 0.0;
    bool any_failed = false;
    while (has_next_in_order()) {
        const Keyed next = next_in_order();
        const Index voter = e.supporter_voter[begin + next.position];
        const double utility = e.supporter_utility[begin + next.position];
        const double share = (cost - paid) / utility_left;
        if (share * utility > money_[voter]) {
            paid += money_[voter];
            utility_left -= utility;
            any_failed = true;
            if (e.voter_is_listed(voter)) give_up_saturation();
            continue;
        }
        const double effective_count = cost / share;
        bound_[candidate] = std::isnan(effective_count) ? -kInfinity : effective_count;
        // A count of 0 or infinity would make the price infinite or 0.
        if (effective_count > 0.0 && effective_count < kInfinity) {
            if (effective_count > best_count_) {
                best_.clear();
                best_.push_back(candidate);
                best_count_ = effective_count;
            } else if (effective_count == best_count_) {
                best_.push_back(candidate);
            }
        }
        if (watching_ && saturated_) check_stable_evaluation(candidate, share, next, any_failed);
        return;
    }
    // Nobody could pay; supporters who are not listed fail the same way at
    // any budget, listed ones may not.
    if (e.candidate_has_listed_supporter[candidate]) give_up_saturation();
}

// Why a saturated run replays at every larger budget T' (same voters, so each
// listed voter starts with at least as much, unlisted ones with 0 as before):
// by induction over the run's decisions, every listed voter holds at least as
// much at T' as at T and every unlisted voter exactly as much, and every
// decision is the same. Money stays finite at T (checked), and payments are
// finite, so no NaN appears at T' either; IEEE addition, subtraction and
// division by a positive number are monotone, which carries the inequalities.
// - Affordability: at T' the supporter money is at least as large, so an
//   affordable candidate stays affordable; an unaffordable one is allowed
//   only when it provably stays so (see stays_unaffordable).
// - Supporter order and payment: at T the supporters who failed before the
//   payer are all unlisted, so they fail again with the same shares. When any
//   failed, listed supporters have utility >= 0, so their keys only move later
//   and none moves in front of a failer. The first supporter after the
//   failers at T' is either listed, and every listed one passes at the final
//   share (checked here; more money only helps), or it is the first unlisted
//   non-failer of T, which also passes (checked here) unless the payer is a
//   listed voter with a negative utility, whose key only decreases and so
//   stays ahead of every unlisted supporter. So the same final
//   share, effective count, bound and best list result.
// - Charging: the price depends only on cost and best count; listed charges
//   are never cut at T, so with more money they are not cut at T' either;
//   unlisted ones repeat exactly.
void RuleRunner::check_stable_evaluation(Index candidate, double final_share, Keyed payer,
                                         bool any_failed) {
    const Election& e = election_;
    const std::size_t begin = e.supporters_begin[candidate];
    const std::size_t end = e.supporters_begin[candidate + 1];
    for (std::size_t i = begin; i < end; ++i) {
        const Index voter = e.supporter_voter[i];
        if (!e.voter_is_listed(voter)) continue;
        const double utility = e.supporter_utility[i];
        if (final_share * utility > money_[voter] || (any_failed && utility < 0.0)) {
            give_up_saturation();
            return;
        }
    }
    // A listed payer with a negative utility only moves to the front as money
    // grows, ahead of every unlisted supporter; listed ones that overtake it
    // pass, as checked above.
    const std::size_t payer_at = begin + payer.position;
    if (e.voter_is_listed(e.supporter_voter[payer_at]) && e.supporter_utility[payer_at] < 0.0) return;
    if (!e.candidate_has_unlisted_supporter[candidate]) return;
    Keyed first_unlisted = payer;
    while (e.voter_is_listed(e.supporter_voter[begin + first_unlisted.position])) {
        if (!has_next_in_order()) return;  // no unlisted supporter after the failers
        first_unlisted = next_in_order();
    }
    const std::size_t at = begin + first_unlisted.position;
    if (final_share * e.supporter_utility[at] > money_[e.supporter_voter[at]]) give_up_saturation();
}

// An unaffordable candidate stays unaffordable at every larger budget when
// all its supporters are unlisted (their money does not depend on the
// budget), or when it costs +infinity and its supporters' money stays far
// from overflowing: at a larger budget every listed supporter starts with at
// most the largest start money more and pays the same (see
// check_stable_evaluation), so each holds less than its money here plus that
// start money, with rounding; with both parts below 2^1000 in total, the sum
// stays far below the largest double (about 2^1024), so it is finite and
// below +infinity.
bool RuleRunner::stays_unaffordable(Index candidate, double cost) const {
    const Election& e = election_;
    if (!e.candidate_has_listed_supporter[candidate]) return true;
    if (cost != kInfinity) return false;
    double magnitude = 0.0;
    for (std::size_t i = e.supporters_begin[candidate]; i < e.supporters_begin[candidate + 1]; ++i) {
        magnitude += std::fabs(money_[e.supporter_voter[i]]);
    }
    const double supporters =
        static_cast<double>(e.supporters_begin[candidate + 1] - e.supporters_begin[candidate]);
    return magnitude <= 0x1p1000 && supporters * largest_start_money_ <= 0x1p1000;
}

void RuleRunner::charge(Index winner, double price) {
    const Election& e = election_;
    for (std::size_t i = e.supporters_begin[winner]; i < e.supporters_begin[winner + 1]; ++i) {
        double& money = money_[e.supporter_voter[i]];
        const double payment = e.supporter_utility[i] * price;
        const bool cut = money < payment;
        if (watching_ && ((cut && e.voter_is_listed(e.supporter_voter[i])) ||
                          !std::isfinite(payment))) {
            give_up_saturation();
        }
        money -= cut ? money : payment;
        if (watching_ && !std::isfinite(money)) give_up_saturation();
    }
}

}  // namespace tarvek

std::vector<std::string> equal_shares_utils(const tarvek::IdList& voters,
                                            const tarvek::IdList& projects,
                                            const tarvek::CostMap& cost,
                                            const tarvek::ApproverMap& approvers,
                                            const tarvek::UtilityMap& total_utility,
                                            double total_budget) {
    const tarvek::Election election =
        tarvek::prepare_election(voters, projects, cost, approvers, total_utility);
    tarvek::RuleRunner runner(election);
    std::vector<std::string> winners;
    for (const tarvek::Index c : runner.run(total_budget, false)) {
        winners.push_back(*election.candidate_id[c]);
    }
    return winners;
}
