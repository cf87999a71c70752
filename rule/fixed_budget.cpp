// The fixed-budget Method of Equal Shares with utilities, over dense indices.
#include "fixed_budget.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "tie_breaking.hpp"


namespace tarvek {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
// Supporter lists shorter than this are ordered one by one: keeping money
// classes up to date in every charge pays only for long lists.
constexpr std::ptrdiff_t kShortList = 2048;

}  // namespace

RuleRunner::RuleRunner(const Election& election, double largest_start_money)
    : RoundSkeleton(election),
      largest_start_money_(largest_start_money),
      money_(election.voter_count) {
    class_.resize(election.voter_count);
    unit_utilities_.resize(election.candidate_count());
    groups_well_.resize(election.candidate_count());
    for (Index c = 0; c < election.candidate_count(); ++c) {
        const auto first = election.supporter_utility.begin() +
                           static_cast<std::ptrdiff_t>(election.supporters_begin[c]);
        const auto last = election.supporter_utility.begin() +
                          static_cast<std::ptrdiff_t>(election.supporters_begin[c + 1]);
        unit_utilities_[c] = std::all_of(first, last, [](double u) { return u == 1.0; });
        // Grouping pays only where many supporters share few classes.
        groups_well_[c] = unit_utilities_[c] && last - first >= kShortList;
    }
    supporter_money_.reserve(election.longest_supporter_list);
    supporter_class_.reserve(election.longest_supporter_list);
    keys_.reserve(election.longest_supporter_list);
}

const std::vector<Index>& RuleRunner::run(double total_budget, bool watch_saturation) {
    const Election& e = election_;
    watching_ = watch_saturation;
    saturated_ = watch_saturation;

    // Equal start budgets for the listed voters. With no voters nothing is
    // divided.
    const double start = e.listed_voter_count > 0 ? total_budget / e.voter_entries : 0.0;
    if (!std::isfinite(start)) give_up_saturation();
    if (observer_ != nullptr) observer_->start(start);
    give_start_money(money_, start);
    by_class_ = groups_well_;
    grouped_candidates_ = static_cast<std::size_t>(std::count(by_class_.begin(), by_class_.end(), 1));
    class_key_.assign({key_order(start), key_order(0.0)});
    moved_.assign(class_key_.size(), Move{0, kNoMove});
    const std::uint32_t listed_class = 0;
    const std::uint32_t unlisted_class = zero_class_ = 1;
    std::fill(class_.begin(), class_.begin() + static_cast<std::ptrdiff_t>(e.listed_voter_count),
              listed_class);
    std::fill(class_.begin() + static_cast<std::ptrdiff_t>(e.listed_voter_count), class_.end(),
              unlisted_class);

    start_rounds();
    play_rounds();
    return winners_;
}

Index RuleRunner::winner_among(std::vector<Index>& best) const {
    return pick_winner(election_, best);
}

void RuleRunner::end_round(bool selects, Index winner) {
    if (observer_ == nullptr) return;
    if (selects) supporter_money(winner, record_.money_after);
    observer_->round(record_);
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
        r.unaffordable.emplace_back(c, supporters_money(e, c, [&](Index v) { return money_[v]; }));
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

void RuleRunner::evaluate(Index candidate) {
    const Election& e = election_;
    const std::size_t begin = e.supporters_begin[candidate];
    const std::size_t end = e.supporters_begin[candidate + 1];
    const double cost = e.candidate_cost[candidate];

    const std::size_t n = end - begin;
    supporter_money_.resize(n);
    supporter_class_.resize(n);
    double supporter_money = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const Index voter = e.supporter_voter[begin + i];
        supporter_money_[i] = money_[voter];
        supporter_class_[i] = class_[voter];
        supporter_money = PointMoney::add(supporter_money, supporter_money_[i]);
    }
    if (unaffordable<PointMoney>(cost, supporter_money) == Decided::yes) {
        leaves_[candidate] = 1;
        if (watching_ && !stays_unaffordable(candidate, cost)) give_up_saturation();
        return;
    }
    start_supporter_order(candidate);

    double utility_left = static_cast<double>(e.candidate_total_utility[candidate]);
    double paid = 0.0;
    bool any_failed = false;
    while (order_.has_next()) {
        const std::size_t position = order_.next();
        const Index voter = e.supporter_voter[begin + position];
        const double utility = e.supporter_utility[begin + position];
        const double money = supporter_money_[position];
        const double share = share_faced<PointMoney>(cost, paid, utility_left);
        if (fails_to_pay<PointMoney>(share, utility, money) == Decided::yes) {
            paid = PointMoney::add(paid, money);
            utility_left -= utility;
            any_failed = true;
            if (e.voter_is_listed(voter)) give_up_saturation();
            continue;
        }
        take_count(candidate, effective_count<PointMoney>(cost, share));
        if (watching_ && saturated_) check_stable_evaluation(candidate, share, position, any_failed);
        return;
    }
    // Nobody could pay; supporters who are not listed fail the same way at
    // any budget, listed ones may not.
    if (e.candidate_has_listed_supporter[candidate]) give_up_saturation();
}

// Starts order_ on the evaluated candidate's supporters, whose money and
// class supporter_money_ and supporter_class_ hold.
void RuleRunner::start_supporter_order(Index candidate) {
    const Election& e = election_;
    const std::size_t begin = e.supporters_begin[candidate];
    const std::size_t n = supporter_money_.size();
    if (by_class_[candidate]) {
        // Dividing by 1 changes nothing: the key is the money's, the class's.
        order_.start_by_class(supporter_class_.data(), n, class_key_);
        // Where supporters hardly share classes, grouping them costs more
        // than it saves: later evaluations in this run order them one by
        // one, and once no candidate groups by class, classes are no longer
        // kept in this run.
        if (2 * order_.group_count() > n) {
            by_class_[candidate] = 0;
            --grouped_candidates_;
        }
        return;
    }
    keys_.resize(n);
    if (unit_utilities_[candidate]) {
        for (std::size_t i = 0; i < n; ++i) keys_[i] = key_order(supporter_money_[i]);
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            keys_[i] = key_order(
                supporter_key<PointMoney>(supporter_money_[i], e.supporter_utility[begin + i]));
        }
    }
    order_.start(keys_.data(), n);
}

// The evaluated candidate's count becomes its bound, and it joins the
// round's best when it contends and reaches the best count so far.
void RuleRunner::take_count(Index candidate, double effective_count) {
    bound_[candidate] = std::isnan(effective_count) ? -kInfinity : effective_count;
    if (contends<PointMoney>(effective_count) != Decided::yes) return;
    if (effective_count > best_count_) {
        best_.clear();
        best_.push_back(candidate);
        best_count_ = effective_count;
    } else if (effective_count == best_count_) {
        best_.push_back(candidate);
    }
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
void RuleRunner::check_stable_evaluation(Index candidate, double final_share,
                                         std::size_t payer, bool any_failed) {
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
    const std::size_t payer_at = begin + payer;
    if (e.voter_is_listed(e.supporter_voter[payer_at]) && e.supporter_utility[payer_at] < 0.0) return;
    if (!e.candidate_has_unlisted_supporter[candidate]) return;
    std::size_t at = payer_at;
    while (e.voter_is_listed(e.supporter_voter[at])) {
        if (!order_.has_next()) return;  // no unlisted supporter after the failers
        at = begin + order_.next();
    }
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

// Supporters of one class who pay the same (all with utility 1 do) end in
// one class again: the class that the last supporter of a class moved to in
// this run is taken when its key fits, and a new class is opened otherwise.
// Everybody who runs out of money joins one class.
std::uint32_t RuleRunner::class_after_charge(Index voter, double money) {
    const std::uint64_t key = key_order(money);
    if (key == class_key_[zero_class_]) return zero_class_;
    Move& moved = moved_[class_[voter]];
    if (moved.to != kNoMove && moved.key == key) return moved.to;
    const auto opened = static_cast<std::uint32_t>(class_key_.size());
    moved = {key, opened};
    class_key_.push_back(key);
    moved_.push_back({0, kNoMove});  // one entry per class, always
    return opened;
}

void RuleRunner::charge(Index winner, double price) {
    const Election& e = election_;
    for (std::size_t i = e.supporters_begin[winner]; i < e.supporters_begin[winner + 1]; ++i) {
        double& money = money_[e.supporter_voter[i]];
        const double payment = payment_owed<PointMoney>(price, e.supporter_utility[i]);
        const bool cut = payment_cut<PointMoney>(money, payment) == Decided::yes;
        if (watching_ && ((cut && e.voter_is_listed(e.supporter_voter[i])) ||
                          !std::isfinite(payment))) {
            give_up_saturation();
        }
        money -= cut ? money : payment;
        if (grouped_candidates_ > 0) {
            class_[e.supporter_voter[i]] = class_after_charge(e.supporter_voter[i], money);
        }
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
    const auto run = [&] { return runner.run(total_budget, false); };
    for (const tarvek::Index c : tarvek::with_plain_tie_error(run)) {
        winners.push_back(*election.candidate_id[c]);
    }
    return winners;
}
