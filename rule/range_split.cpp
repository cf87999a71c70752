// A failed range run goes on over parts of its range from the round that
// failed, instead of starting again from the first round.
//
// Why the start of the failed round stands for every part: everything the
// range run holds at the start of a round is a statement about every budget
// of its range (each voter's money lies in its interval and its affine form,
// voters of one class hold equal money, each candidate's bound lies in its
// interval, the candidates in play and the maybe present ones are as
// recorded, the winners so far are the same). A statement about every budget
// of a range holds for every budget of a part of it. The failed round itself
// leaves nothing behind: before its charge it changes only the bounds, the
// shares behind them, who is maybe present and who leaves, of the candidates
// it evaluated, and these are put back as they were (round_undo_); the
// candidates in play and the winners change just before the charge, and
// the money in it. Their order aside: the round sorts the candidates in
// play by their bounds, the same order from any order. A failure from the
// charge on cannot go back: such a part is left to single runs.
//
// Why narrowing is sound: a voter's affine form a * t + [lo, hi] holds, as a
// real number, for every start money t of the range, so for every t of the
// part; AffineRange::enclosure bounds it over the part, rounded outward, and
// its interval holds too, so their intersection holds the money under every
// budget of the part. The affine forms stay as they are, now over the part:
// their arithmetic needs only that |t| is at most the part's largest end,
// which is at most the range's.
#include "range_run.hpp"

#include <algorithm>
#include <cmath>

namespace tarvek {

void RangeRunner::split(double first, double last, double n, double narrowest,
                        std::size_t deepest, const PartVisitor& visit) {
    split_n_ = n;
    split_narrowest_ = narrowest;
    split_deepest_ = deepest;
    visit_ = &visit;
    if (!resumable() || (last - first) / n + 1.0 <= narrowest || deepest == 0) {
        visit({first, last, false, blocker_});
    } else {
        undo_round();
        split_part(first, last, 0);
    }
    visit_ = nullptr;
}

// The working state is the start of a round, sound for every budget from
// `first` to `last`: runs each half on from there, the first half first.
bool RangeRunner::split_part(double first, double last, std::size_t depth) {
    const double count = (last - first) / split_n_ + 1.0;
    const double left_last = first + (std::floor(count / 2.0) - 1.0) * split_n_;
    save_round_start(depth);
    if (!run_part(first, left_last, depth)) return false;
    load_round_start(depth);
    return run_part(left_last + split_n_, last, depth);
}

// Narrows the working state to the part and plays on; a failure that can be
// resumed, in a part wide enough, is split again from the round that failed.
bool RangeRunner::run_part(double first, double last, std::size_t depth) {
    const PartVisitor& visit = *visit_;
    narrow_to({first / split_n_, last / split_n_});
    ++resumed_parts_;
    if (play_and_prove()) return visit({first, last, true, Blocker::none});
    if (charging_ || (last - first) / split_n_ + 1.0 <= split_narrowest_ ||
        depth + 1 >= split_deepest_) {
        return visit({first, last, false, blocker_});
    }
    undo_round();
    return split_part(first, last, depth + 1);
}

namespace {

// Where `held` and `part` both hold one value: their common part. Should
// rounding ever leave none, `held` alone is kept.
Interval narrowed(Interval held, Interval part) {
    const Interval both{std::max(held.lo, part.lo), std::min(held.hi, part.hi)};
    return both.lo <= both.hi ? both : held;
}

}  // namespace

void RangeRunner::narrow_to(Interval start) {
    affine_ = AffineRange(start);
    for (std::size_t v = 0; v < money_.size(); ++v) {
        Interval& money = money_[v];
        if (money.is_point()) continue;
        money = narrowed(money, affine_.enclosure(money_affine_[v]));
    }
    for (const Index c : remaining_) narrow_bound(c);
}

// A bound is fl(cost / share) with the share in its interval and its affine
// form; over shares of one sign and a positive cost that falls as the share
// grows, so cost over the narrowed share holds the bound too.
void RangeRunner::narrow_bound(Index candidate) {
    BoundShare& known = bound_share_[candidate];
    const double cost = election_.candidate_cost[candidate];
    if (!known.known || !(cost > 0.0)) return;
    const Interval part = affine_.enclosure(known.share_affine);
    const Interval share{std::max(known.share.lo, part.lo), std::min(known.share.hi, part.hi)};
    if (!(share.lo <= share.hi) || !(share.lo > 0.0 || share.hi < 0.0)) return;
    known.share = share;
    bound_[candidate] = narrowed(bound_[candidate], RangeMoney::cost_over(cost, share));
}

void RangeRunner::undo_round() {
    for (auto it = round_undo_.rbegin(); it != round_undo_.rend(); ++it) {
        bound_[it->candidate] = it->bound;
        bound_share_[it->candidate] = it->share;
        maybe_present_[it->candidate] = it->maybe_present;
    }
    round_undo_.clear();
    for (const Index c : remaining_) leaves_[c] = 0;
}

void RangeRunner::save_round_start(std::size_t depth) {
    if (round_starts_.size() <= depth) round_starts_.resize(depth + 1);
    RoundStart& point = round_starts_[depth];
    point.remaining = remaining_;
    point.bound = bound_;
    point.bound_share = bound_share_;
    point.maybe_present = maybe_present_;
    point.winners = winners_.size();
    point.money = money_;
    point.money_affine = money_affine_;
    point.money_class = money_class_;
    point.next_class = next_class_;
}

void RangeRunner::load_round_start(std::size_t depth) {
    const RoundStart& point = round_starts_[depth];
    remaining_ = point.remaining;
    bound_ = point.bound;
    bound_share_ = point.bound_share;
    maybe_present_ = point.maybe_present;
    winners_.resize(point.winners);
    money_ = point.money;
    money_affine_ = point.money_affine;
    money_class_ = point.money_class;
    next_class_ = point.next_class;
    round_undo_.clear();
    for (const Index c : remaining_) leaves_[c] = 0;
}

}  // namespace tarvek
