// The rule over a range of budgets, with everything that reaches the outcome
// proved for the whole range: which candidate wins each round, what each
// voter pays for it, and which candidates leave. Intermediate decisions may
// differ between budgets where the enclosures below hold for every way they
// go: the order of failing supporters (unordered_failers.cpp), which
// supporter pays (the count encloses every share it can be paid at), which
// losing candidates are evaluated, whether a payment is cut.
//
// Why an interval of floating-point values is enough: IEEE addition and
// subtraction, and multiplication or division by a constant, are monotone in
// each operand under round-to-nearest (antitone for a negative constant). So when x lies in [a, b]
// and y in [c, d] for every budget of the range, x + y lies in
// [fl(a + c), fl(b + d)], x - y in [fl(a - d), fl(b - c)], and so on: the
// same operation applied to the right ends encloses the value that the plain
// run computes, bit for bit, under each budget. No outward rounding is
// needed, because the enclosed values are themselves rounded results.
// A comparison that decides the path is accepted only when the enclosures
// decide it for every budget; anything else (overlap, NaN, infinity) abandons
// the range, unless both ways are enclosed as said above. Equal
// keys are recognised by money class: voters that started alike and made the
// same payments hold the same money under every budget.
#include "range_run.hpp"

#include "unordered_failers.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>


namespace tarvek {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr std::uint32_t kUnlistedClass = 0;
constexpr std::uint32_t kStartClass = 1;

}  // namespace

const char* blocker_name(Blocker blocker) {
    static const char* const names[kBlockerCount] = {
        "none",       "not_finite",       "scan_order",       "maybe_scanned_wins",
        "close_race", "maybe_affordable", "tie",              "group_mixed",
        "payer_rest", "payer_under_some", "count_sign",       "maybe_present_wins"};
    return names[static_cast<std::size_t>(blocker)];
}

RangeRunner::RangeRunner(const Election& election)
    : RoundSkeleton(election),
      money_(election.voter_count),
      money_affine_(election.voter_count),
      money_class_(election.voter_count),
      final_share_(election.candidate_count()),
      final_share_affine_(election.candidate_count()),
      count_(election.candidate_count()),
      bound_share_(election.candidate_count()),
      maybe_present_(election.candidate_count()) {
}

bool RangeRunner::run(Interval start) {
    const Election& e = election_;
    blocker_ = Blocker::not_finite;
    has_state_ = false;
    if (!finite(start)) return false;
    give_start_money(money_, start);
    for (std::size_t v = 0; v < e.voter_count; ++v) {
        const bool listed = v < e.listed_voter_count;
        money_class_[v] = listed ? kStartClass : kUnlistedClass;
        money_affine_[v] = listed ? AffineRange::start() : AffineRange::constant(0.0);
    }
    next_class_ = kStartClass + 1;
    affine_ = AffineRange(start);
    start_rounds();
    std::fill(maybe_present_.begin(), maybe_present_.end(), 0);
    std::fill(bound_share_.begin(), bound_share_.end(), BoundShare{{0.0, 0.0}, {}, false});
    has_state_ = true;
    return play_and_prove();
}

// The rounds from the state at hand to the end; false, with the blocker,
// where one is undecided.
bool RangeRunner::play_and_prove() {
    charging_ = false;
    try {
        play_rounds();
    } catch (const Undecided& undecided) {
        blocker_ = undecided.blocker;
        return false;
    }
    blocker_ = Blocker::none;
    return true;
}

// a comes before b in the order of examination (greater bound first, equal
// bounds by index) for every budget. Where the intervals overlap, the
// bounds' shares may still order them (count_order.hpp).
bool RangeRunner::candidate_before(Index a, Interval bound_a, const BoundShare& share_a, Index b,
                                   Interval bound_b, const BoundShare& share_b) const {
    if (bound_a.is_point() && bound_b.is_point() && bound_a.lo == bound_b.lo) return a < b;
    if (bound_a.hi < bound_b.lo) return false;
    const Quotient x = bound_quotient(a, bound_a, share_a);
    const Quotient y = bound_quotient(b, bound_b, share_b);
    return quotient_below(affine_, y, x, true) || (a < b && quotient_below(affine_, y, x, false));
}

// A contender's count this round: its cost over its final share.
Quotient RangeRunner::count_quotient(Index candidate) const {
    return {election_.candidate_cost[candidate], final_share_affine_[candidate],
            final_share_[candidate], count_[candidate]};
}

// A bound: its cost over the share it came from, or, where no share is
// known and its interval is a point (a total utility before any evaluation),
// that value exactly; else it is known by its interval only.
Quotient RangeRunner::bound_quotient(Index candidate, Interval bound,
                                     const BoundShare& share) const {
    if (share.known) {
        return {election_.candidate_cost[candidate], share.share_affine, share.share, bound};
    }
    if (bound.is_point()) return exact_quotient(bound.lo);
    return {0.0, {}, {}, bound};
}

// The plain run evaluates candidates in order of their bounds until the best
// count so far exceeds the next bound. The candidates scanned here, in the
// guide order, are the ones it evaluates under every budget when:
// (A) each of them comes before every other candidate, or the other one
//     is evaluated wherever it comes first and cannot end the scan early
//     (settle_scanned_out_of_order);
// (B) the best count of them all exceeds every other one's bound, so the
//     first other candidate ends the scan; or, where that is undecided, the
//     other one is settled as maybe scanned (below);
// (C) none of them ends the scan early, in any order they come in: the
//     running best here does not exceed its bound (checked as it is scanned),
//     nor does the count of any later one that may come first.
// Their evaluations do not depend on their order (each reads the money only),
// nor does the winner: counts are compared as decided, and ties are exact.
// Counts and bounds are compared by their intervals, and where these overlap
// by their shares' affine forms (count_order.hpp).
void RangeRunner::start_scan() {
    contenders_.clear();
    scanned_bound_.clear();
    scanned_share_.clear();
    round_undo_.clear();
}

void RangeRunner::scan(Index candidate) {
    scanned_bound_.push_back(bound_[candidate]);
    scanned_share_.push_back(bound_share_[candidate]);
    keep_for_undo(candidate);
    evaluate(candidate);
}

// Before the round changes what it knows of `candidate` (see undo_round()).
void RangeRunner::keep_for_undo(Index candidate) {
    round_undo_.push_back(
        {candidate, bound_[candidate], bound_share_[candidate], maybe_present_[candidate]});
}

void RangeRunner::end_scan(std::size_t scanned) {
    pick_best();
    prove_scan(scanned);
}

Index RangeRunner::winner_among(std::vector<Index>& best) const {
    try {
        return pick_winner(election_, best);
    } catch (const std::runtime_error&) {
        undecided(Blocker::tie);  // the budget-by-budget run reports the tie
    }
}

// Conditions (A) and (C) for the first `scanned` candidates of the guide
// order, and (B) for the others, each of which is settled as maybe scanned
// where the round's best does not surely exceed its bound.
void RangeRunner::prove_scan(std::size_t scanned) {
    double lowest_scanned_bound = kInfinity;
    for (std::size_t i = 0; i < scanned; ++i) {
        const Index candidate = remaining_[i];
        const Interval bound = scanned_bound_[i];
        lowest_scanned_bound = std::min(lowest_scanned_bound, bound.lo);
        for (std::size_t j = i + 1; j < scanned; ++j) {
            const Index later = remaining_[j];
            if (!quotient_below(affine_, count_quotient(later),
                                bound_quotient(candidate, bound, scanned_share_[i]), false)) {
                require(candidate_before(candidate, bound, scanned_share_[i], later,
                                         scanned_bound_[j], scanned_share_[j]),
                        Blocker::scan_order);
            }
        }
    }
    for (std::size_t k = scanned; k < remaining_.size(); ++k) {
        const Index other = remaining_[k];
        if (bound_[other].hi >= lowest_scanned_bound && may_come_first(other, scanned)) {
            settle_scanned_out_of_order(other, scanned);
        } else if (!below_best(bound_quotient(other, bound_[other], bound_share_[other]))) {
            settle_maybe_scanned(other);
        }
    }
}

// Whether `other`, not among the first `scanned`, may come before one of
// them under some budgets.
bool RangeRunner::may_come_first(Index other, std::size_t scanned) const {
    for (std::size_t i = 0; i < scanned; ++i) {
        if (!candidate_before(remaining_[i], scanned_bound_[i], scanned_share_[i], other,
                              bound_[other], bound_share_[other])) {
            return true;
        }
    }
    return false;
}

// A candidate that may come before some of the scanned ones: under the
// budgets where it does, the plain run reaches it with a running best of at
// most the bound of the scanned one after it (that one is reached), so at
// most its own, and evaluates it. It is settled as maybe scanned (it must
// lose), and its count must not end the scan before any scanned one that it
// may precede: at most that one's bound. Then the scanned ones are evaluated
// under every budget as before, and their evaluations do not depend on the
// order.
void RangeRunner::settle_scanned_out_of_order(Index other, std::size_t scanned) {
    const Interval old_bound = bound_[other];
    const BoundShare old_share = bound_share_[other];
    if (!settle_maybe_scanned(other)) return;
    const Quotient count = count_quotient(other);
    for (std::size_t i = 0; i < scanned; ++i) {
        if (candidate_before(remaining_[i], scanned_bound_[i], scanned_share_[i], other, old_bound,
                             old_share)) {
            continue;
        }
        require(quotient_below(affine_, count,
                               bound_quotient(remaining_[i], scanned_bound_[i], scanned_share_[i]),
                               false),
                Blocker::scan_order);
    }
}

// x is below the round's best count under every budget (best_count_ and,
// where there is a best, best_ holding it, equal counts all).
bool RangeRunner::below_best(const Quotient& x) const {
    if (x.value.hi < best_count_.lo) return true;
    return !best_.empty() && quotient_below(affine_, x, count_quotient(best_.front()), true);
}

// A candidate that the plain run evaluates under some budgets and not under
// others. It comes after every surely scanned one, so the running best when
// it is reached is the round's best. If evaluated, it must lose to the best:
// then all it changes is its bound, either kept or replaced by its new count,
// and the enclosure holds both, or its presence, when it is unaffordable
// under the budgets that evaluate it: it then stays only under the others,
// as maybe present.
//
// Returns whether it contends, with its count in count_.
bool RangeRunner::settle_maybe_scanned(Index candidate) {
    keep_for_undo(candidate);
    const Interval old_bound = bound_[candidate];
    const BoundShare old_share = bound_share_[candidate];
    bound_share_[candidate].known = false;
    const Interval best = best_count_;
    const std::size_t contenders = contenders_.size();
    evaluate(candidate);
    if (leaves_[candidate] != 0) {
        leaves_[candidate] = 0;
        maybe_present_[candidate] = 1;
    }
    const bool contended = contenders_.size() > contenders;
    contenders_.resize(contenders);
    best_count_ = best;
    if (contended) require(below_best(count_quotient(candidate)), Blocker::maybe_scanned_wins);
    bound_[candidate] = interval_hull(old_bound, bound_[candidate]);
    // The bound is one of two counts, each cost / its share: cost / the
    // hull of the shares (when a count was recorded; else the old bound
    // stays, with its share).
    BoundShare& share = bound_share_[candidate];
    if (!share.known) {
        share = old_share;
    } else if (old_share.known) {
        const Interval hull = interval_hull(old_share.share, share.share);
        share = {hull, affine_.hull(share.share_affine, old_share.share_affine, hull), true};
    } else {
        share.known = false;
    }
    return contended;
}

// The round's best: the contender whose count exceeds every other one's for
// every budget, with those whose count equals it exactly (a tie, whatever the
// budget). Contenders that only lose need not be ordered among themselves.
//
// Where other contenders may beat the top one, they and the top one are kept
// in may_win_ for fork(): a contender surely below the top one wins under
// no budget.
void RangeRunner::pick_best() {
    if (contenders_.empty()) return;
    Index top = contenders_.front();
    for (const Index c : contenders_) {
        if (count_[c].lo > count_[top].lo) top = c;
    }
    const bool forced = forced_winner_ != kNoForcedWinner;
    if (forced) top = forced_winner_;
    forced_winner_ = kNoForcedWinner;
    const Interval top_count = count_[top];
    may_win_.clear();
    for (const Index c : contenders_) {
        const Interval count = count_[c];
        if (c == top || (count.is_point() && top_count.is_point() && count.lo == top_count.lo)) {
            // A candidate present under some budgets only must lose
            // wherever it contends: where it is gone, the same winner is
            // left.
            require(maybe_present_[c] == 0, Blocker::maybe_present_wins);
            best_.push_back(c);
        } else if (!forced &&
                   !quotient_below(affine_, count_quotient(c), count_quotient(top), true)) {
            may_win_.push_back(c);
        }
    }
    // A forced winner that ties exactly with another leaves the winner to
    // the tie-breaking, which may pick the other: not this run's case.
    require(!forced || best_.size() == 1, Blocker::tie);
    if (!may_win_.empty()) {
        may_win_.push_back(top);
        undecided(Blocker::close_race);
    }
    best_count_ = top_count;
}

RangeRunner::Key RangeRunner::key_of(std::size_t supporter) const {
    const Interval money = money_[election_.supporter_voter[supporter]];
    const double utility = election_.supporter_utility[supporter];
    if (utility == 0.0 && money.lo == 0.0 && money.hi == 0.0) return {{0.0, 0.0}, true};  // 0 / 0
    return {supporter_key<RangeMoney>(money, utility), false};
}

// The key as an affine enclosure, for keys that are neither NaN nor infinite.
Affine RangeRunner::key_affine(std::size_t supporter, Interval key) const {
    const double utility = election_.supporter_utility[supporter];
    if (utility == 0.0) return {0.0, 0.0, 0.0, false};
    return affine_.divide(money_affine_[election_.supporter_voter[supporter]], utility, key);
}

RangeRunner::Keyed RangeRunner::keyed(Index candidate, Index position) const {
    const std::size_t supporter = election_.supporters_begin[candidate] + position;
    return {supporter, position, key_of(supporter), {}, false};
}

const Affine& RangeRunner::affine_of(const Keyed& s) const {
    if (!s.has_affine) {
        s.affine = key_affine(s.supporter, s.key.range);
        s.has_affine = true;
    }
    return s.affine;
}

// Supporter a comes before supporter b (smaller key first, equal keys in list
// order, NaN last) for every budget.
bool RangeRunner::supporter_before(const Keyed& sa, const Keyed& sb) const {
    const Election& e = election_;
    const std::size_t a = sa.supporter;
    const std::size_t b = sb.supporter;
    const Index position_a = sa.position;
    const Index position_b = sb.position;
    const Key& key_a = sa.key;
    const Key& key_b = sb.key;
    // NaN keys come last, among themselves in list order.
    if (key_a.nan || key_b.nan) return key_b.nan && (!key_a.nan || position_a < position_b);
    if (key_a.range.hi < key_b.range.lo ||
        (position_a < position_b && key_a.range.hi <= key_b.range.lo)) {
        return true;
    }
    const bool equal_keys =
        (money_class_[e.supporter_voter[a]] == money_class_[e.supporter_voter[b]] &&
         e.supporter_utility[a] == e.supporter_utility[b]) ||
        (key_a.range.is_point() && key_b.range.is_point() && key_a.range.lo == key_b.range.lo);
    if (equal_keys) return position_a < position_b;
    if (same_money_order(a, b)) return true;
    const Affine& affine_a = affine_of(sa);
    const Affine& affine_b = affine_of(sb);
    return affine_.below(affine_a, affine_b) ||
           (position_a < position_b && affine_.at_most(affine_a, affine_b));
}

// Equal money m, divided by utilities of one sign: m / u falls as u grows
// when m > 0 and rises when m < 0. Utilities are integers below 2^31 in
// size, so the two quotients differ by far more than their rounding unless
// they are subnormal: the order is strict.
bool RangeRunner::same_money_order(std::size_t a, std::size_t b) const {
    const Election& e = election_;
    if (money_class_[e.supporter_voter[a]] != money_class_[e.supporter_voter[b]]) return false;
    const double utility_a = e.supporter_utility[a];
    const double utility_b = e.supporter_utility[b];
    if (!((utility_a > 0.0 && utility_b > 0.0) || (utility_a < 0.0 && utility_b < 0.0))) return false;
    const Interval money = money_[e.supporter_voter[a]];
    const double smallest_magnitude =
        std::min(std::fabs(money.lo), std::fabs(money.hi)) / std::max(std::fabs(utility_a), std::fabs(utility_b));
    if (!(smallest_magnitude >= std::numeric_limits<double>::min())) return false;
    if (money.lo > 0.0) return utility_a > utility_b;
    if (money.hi < 0.0) return utility_a < utility_b;
    return false;
}

void RangeRunner::evaluate(Index candidate) {
    const Election& e = election_;
    const std::size_t begin = e.supporters_begin[candidate];
    const std::size_t end = e.supporters_begin[candidate + 1];
    const double cost = e.candidate_cost[candidate];
    count_[candidate] = {0.0, 0.0};

    Interval supporter_money{0.0, 0.0};
    for (std::size_t i = begin; i < end; ++i) {
        supporter_money = RangeMoney::add(supporter_money, money_[e.supporter_voter[i]]);
    }
    require(finite(supporter_money), Blocker::not_finite);
    const Decided leaves = unaffordable<RangeMoney>(cost, supporter_money);
    if (leaves == Decided::yes) {
        leaves_[candidate] = 1;
        return;
    }
    // Affordable under some budgets only. Carrying it as maybe present would
    // be sound, but its evaluation, over money that reaches below its cost,
    // almost always ends undecided only after a scan of all its supporters
    // (failed ranges got 2 to 3 times dearer on Poznan 2024): fail here, cheaply.
    require(leaves == Decided::no, Blocker::maybe_affordable);
    take_supporters(candidate);
}

// The supporters of `candidate` in a guide order: lower ends of their keys,
// NaN last. The groups below prove the part of that order that matters.
void RangeRunner::fill_heap(Index candidate) {
    const Election& e = election_;
    const std::size_t begin = e.supporters_begin[candidate];
    heap_.fill(
        e.supporters_begin[candidate + 1] - begin, next_class_,
        [&](std::size_t p) { return money_class_[e.supporter_voter[begin + p]]; },
        [&](std::size_t p) { return e.supporter_utility[begin + p]; },
        [&](std::size_t p) {
            const Key key = key_of(begin + p);
            return std::pair<double, bool>{key.range.lo, key.nan};
        });
}

// Supporters are taken in groups: the order between groups is proved for
// every budget, within a group it may differ. A group of one is taken as the
// plain run takes it; a larger group must fail in every order (see
// unordered_failers.cpp), so that who fails is the same for every budget that
// reaches the group. Every member of a group comes after every member of the
// group before it, so by transitivity after all earlier ones. A supporter that
// may come before a closed group joins it: the groups from there on merge, and
// the scan returns to its state before them.
void RangeRunner::take_supporters(Index candidate) {
    fill_heap(candidate);
    Scan scan{{{0.0, 0.0}, AffineRange::constant(0.0),
               static_cast<double>(election_.candidate_total_utility[candidate])},
              false, {0.0, 0.0}, AffineRange::constant(0.0)};
    taken_.clear();
    group_begin_.clear();
    before_group_.clear();
    for (;;) {
        const bool has_next = !heap_.empty();
        const Keyed next = has_next ? keyed(candidate, heap_.pop()) : Keyed{};
        if (group_begin_.empty()) {
            if (!has_next) return;
        } else if (!has_next || comes_after_all(group_begin_.back(), taken_.size(), next)) {
            if (close_group(candidate, scan, has_next) == Group::ends_evaluation) return;
        } else {
            // Joins the open group, and merges it with those before it that
            // `next` may precede.
            while (group_begin_.size() > 1 &&
                   !comes_after_all(group_begin_[group_begin_.size() - 2], group_begin_.back(),
                                    next)) {
                group_begin_.pop_back();
                before_group_.pop_back();
                scan = before_group_.back();
            }
            taken_.push_back(next);
            continue;
        }
        group_begin_.push_back(taken_.size());
        before_group_.push_back(scan);
        taken_.push_back(next);
    }
}

// Takes the open group, whose place is proved: its members fail, or the
// evaluation ends with a payer (or, after the last supporter, with nobody).
RangeRunner::Group RangeRunner::close_group(Index candidate, Scan& scan, bool has_next) {
    const Election& e = election_;
    const std::size_t first = group_begin_.back();
    const Scan before = scan;
    bool pays = false;
    if (taken_.size() - first == 1) {
        pays = take_supporter(candidate, taken_[first].position, scan);
    } else {
        members_.clear();
        for (std::size_t k = first; k < taken_.size(); ++k) {
            const Index voter = e.supporter_voter[taken_[k].supporter];
            members_.push_back(
                {money_[voter], money_affine_[voter], e.supporter_utility[taken_[k].supporter]});
        }
        if (!fail_in_any_order(members_, e.candidate_cost[candidate], affine_, scan.gathered)) {
            // Or every member pays at the share they all face: the first
            // one, whoever it is, pays, and the count is the same.
            bool all_pay = true;
            for (std::size_t k = first; k < taken_.size() && all_pay; ++k) {
                all_pay = test_payment(candidate, taken_[k].position, scan.gathered).verdict ==
                          Verdict::pays;
            }
            if (all_pay) {
                pays = take_supporter(candidate, taken_[first].position, scan);
                require(pays, Blocker::group_mixed);
            } else {
                take_partial_payers(candidate, scan);
            }
        }
    }
    if (pays) {
        // The payers come before every supporter not yet reached (`next`
        // does), or that supporter pays too, at the same share, where it
        // comes first: the count is the same. Where no payer's key is NaN, a
        // supporter whose key is NaN or above every payer's comes after them
        // all (comes_after_all), and the heap skips it.
        bool skip_after = true;
        double highest = -kInfinity;
        for (std::size_t k = first; k < taken_.size(); ++k) {
            skip_after = skip_after && !taken_[k].key.nan;
            highest = std::max(highest, taken_[k].key.range.hi);
        }
        heap_.for_each_remaining(skip_after, highest, [&](Index position) {
            const Keyed rest = keyed(candidate, position);
            if (comes_after_all(first, taken_.size(), rest)) return;
            require(group_begin_.size() < 2 ||
                        comes_after_all(group_begin_[group_begin_.size() - 2], first, rest),
                    Blocker::payer_rest);
            require(test_payment(candidate, position, before.gathered).verdict == Verdict::pays,
                    Blocker::payer_rest);
        });
        return Group::ends_evaluation;
    }
    if (!has_next) {
        // Nobody pays under the budgets that got this far; under others a
        // supporter paid, and the two differ.
        require(!scan.may_have_paid, Blocker::payer_under_some);
        return Group::ends_evaluation;
    }
    return Group::fails;
}

// A group that may pay under some budgets and fail under others, in any
// order: as a single supporter that may pay (take_supporter), the share it
// may be paid at joins the hull the count is recorded from, and the scan goes
// on as under the budgets where every member fails.
void RangeRunner::take_partial_payers(Index candidate, Scan& scan) {
    PartialPayment payment;
    require(enclose_partial_payment(members_, election_.candidate_cost[candidate], affine_,
                                    scan.gathered, payment),
            Blocker::group_mixed);
    may_have_paid_at(scan, payment.share, payment.share_affine);
    scan.gathered = payment.after;
}

// Under some budgets a supporter may have paid at `share`: the count is
// recorded from the hull of every such share.
void RangeRunner::may_have_paid_at(Scan& scan, Interval share, Affine share_affine) const {
    if (scan.may_have_paid) {
        scan.paid_share = interval_hull(scan.paid_share, share);
        scan.paid_share_affine =
            affine_.hull(scan.paid_share_affine, share_affine, scan.paid_share);
    } else {
        scan.paid_share = share;
        scan.paid_share_affine = share_affine;
    }
    scan.may_have_paid = true;
}

// True when the supporter at `position` comes after every one of the
// supporters taken_[first, last) for every budget. The plain intervals of the
// keys settle most cases at once.
bool RangeRunner::comes_after_all(std::size_t first, std::size_t last, const Keyed& s) const {
    bool separated = !s.key.nan;
    for (std::size_t k = first; k < last && separated; ++k) {
        const Key& member = taken_[k].key;
        separated = !member.nan && member.range.hi < s.key.range.lo;
    }
    if (separated) return true;
    for (std::size_t k = first; k < last; ++k) {
        if (!supporter_before(taken_[k], s)) return false;
    }
    return true;
}

// The plain run's step for one supporter whose place is proved. False: it
// fails, under every budget or some, and adds its money to what was paid
// under those; true: it pays under every budget that reaches it, and the
// candidate's effective vote count is recorded.
//
// A supporter that pays under some budgets and fails under others ends the
// evaluation under the first with the share it faces; under the others the
// scan goes on. The share that decides the count is then one of several,
// and what is recorded encloses them all: the counts and the price need to
// be decided for the whole range, not the payer.
RangeRunner::Payment RangeRunner::test_payment(Index candidate, Index position,
                                               const Gathered& gathered) const {
    const Election& e = election_;
    const std::size_t begin = e.supporters_begin[candidate];
    const double cost = e.candidate_cost[candidate];
    const Index voter = e.supporter_voter[begin + position];
    const double utility = e.supporter_utility[begin + position];
    const Interval money = money_[voter];
    const Interval share = share_faced<RangeMoney>(cost, gathered.paid, gathered.utility_left);
    if (utility != 0.0 || finite(share)) {
        const Decided fails = fails_to_pay<RangeMoney>(share, utility, money);
        if (fails == Decided::yes) return {Verdict::fails, share, false, {}};
        if (fails == Decided::no) return {Verdict::pays, share, false, {}};
        // Where the intervals overlap, the affine enclosures may still decide.
        const Affine share_affine = share_affine_of(candidate, gathered, share);
        const Interval owed = RangeMoney::owed(share, utility);
        const Affine owed_affine = utility != 0.0 ? affine_.scale(share_affine, utility, owed)
                                                  : AffineRange::constant(0.0);
        Verdict verdict = Verdict::pays;
        if (affine_.below(money_affine_[voter], owed_affine)) {
            verdict = Verdict::fails;
        } else if (!affine_.at_most(owed_affine, money_affine_[voter])) {
            verdict = Verdict::either;
        }
        return {verdict, share, true, share_affine};
    }
    // 0 * infinity is NaN, which never exceeds the money.
    require(share.lo == share.hi, Blocker::not_finite);
    return {Verdict::pays, share, false, {}};
}

// The share faced after `gathered`, as an affine enclosure: wanted only
// where a supporter may pay, or where intervals leave a payment undecided.
Affine RangeRunner::share_affine_of(Index candidate, const Gathered& gathered,
                                    Interval share) const {
    const double cost = election_.candidate_cost[candidate];
    const Affine left = affine_.constant_minus(cost, gathered.paid_affine,
                                               RangeMoney::constant_minus(cost, gathered.paid));
    return affine_.divide(left, gathered.utility_left, share);
}

bool RangeRunner::take_supporter(Index candidate, Index position, Scan& scan) {
    const Election& e = election_;
    const std::size_t begin = e.supporters_begin[candidate];
    const Index voter = e.supporter_voter[begin + position];
    const double utility = e.supporter_utility[begin + position];
    Gathered& gathered = scan.gathered;
    const Payment test = test_payment(candidate, position, gathered);
    const bool fails = test.verdict != Verdict::pays;
    const bool may_pay = test.verdict != Verdict::fails;
    if (may_pay) {
        const Affine share_affine =
            test.has_affine ? test.share_affine : share_affine_of(candidate, gathered, test.share);
        may_have_paid_at(scan, test.share, share_affine);
    }
    if (fails) {
        // It pays all it holds.
        gathered.paid = RangeMoney::add(gathered.paid, money_[voter]);
        gathered.paid_affine =
            affine_.add(gathered.paid_affine, money_affine_[voter], gathered.paid);
        gathered.utility_left -= utility;
        return false;
    }
    record_count(candidate, scan);
    return true;
}

// The count of an evaluation whose payer pays under every budget that
// reaches it.
void RangeRunner::record_count(Index candidate, const Scan& scan) {
    const double cost = election_.candidate_cost[candidate];
    const Interval final_share = scan.paid_share;
    require(final_share.lo > 0.0 || final_share.hi < 0.0, Blocker::count_sign);
    const Interval effective_count = tarvek::effective_count<RangeMoney>(cost, final_share);
    bound_[candidate] = effective_count;
    bound_share_[candidate] = {final_share, scan.paid_share_affine, true};
    final_share_[candidate] = final_share;
    final_share_affine_[candidate] = scan.paid_share_affine;
    const Decided contends = tarvek::contends<RangeMoney>(effective_count);
    require(contends != Decided::either, Blocker::count_sign);
    if (contends == Decided::yes) {
        count_[candidate] = effective_count;
        contenders_.push_back(candidate);
        // The running best count, as the plain run keeps it, for every budget.
        best_count_ = {std::max(best_count_.lo, effective_count.lo),
                       std::max(best_count_.hi, effective_count.hi)};
    }
}

std::uint32_t RangeRunner::class_after_payment(std::uint32_t money_class, double utility) {
    // Within one charge every supporter faces the same price, so equal money
    // and equal utility give equal money afterwards.
    return classes_after_charge_.id(money_class, utility, [&] { return next_class_++; });
}

void RangeRunner::charge(Index winner, Interval price) {
    charging_ = true;
    const Election& e = election_;
    require(finite(price), Blocker::not_finite);
    // price = cost / (cost / share) is the winner's final share up to two
    // roundings, each below 2^-53 of it, and so within 2^-50 of it with room
    // to spare. That holds only while the count and the price are normal
    // numbers: below DBL_MIN a rounding is not relative to the value.
    require(best_count_.lo >= std::numeric_limits<double>::min() &&
                price.lo >= std::numeric_limits<double>::min(),
            Blocker::not_finite);
    const Affine price_affine =
        affine_.widen_relative(final_share_affine_[winner], 0x1p-50, final_share_[winner]);
    classes_after_charge_.start_pass(next_class_);
    // Payments depend on the utility only; most supporters share a few.
    double last_utility = std::numeric_limits<double>::quiet_NaN();
    Interval payment{0.0, 0.0};
    Affine payment_affine = AffineRange::constant(0.0);
    for (std::size_t i = e.supporters_begin[winner]; i < e.supporters_begin[winner + 1]; ++i) {
        const Index voter = e.supporter_voter[i];
        const double utility = e.supporter_utility[i];
        if (!(utility == last_utility)) {
            last_utility = utility;
            payment = payment_owed<RangeMoney>(price, utility);
            payment_affine = utility != 0.0 ? affine_.scale(price_affine, utility, payment)
                                            : AffineRange::constant(0.0);
        }
        Interval& money = money_[voter];
        Affine& money_affine = money_affine_[voter];
        const Decided cut = payment_cut<RangeMoney>(money, payment);
        if (cut == Decided::yes || (cut == Decided::either && affine_.below(money_affine, payment_affine))) {
            // Cut to what the voter holds: exactly 0 under every budget.
            money = {0.0, 0.0};
            money_affine = AffineRange::constant(0.0);
            money_class_[voter] = kUnlistedClass;
        } else if (cut == Decided::no || affine_.at_most(payment_affine, money_affine)) {
            money = {money.lo - payment.hi, money.hi - payment.lo};
            require(finite(money), Blocker::not_finite);
            money_affine = affine_.subtract(money_affine, payment_affine, money);
            money_class_[voter] = class_after_payment(money_class_[voter], utility);
        } else {
            // Cut under some budgets (to 0), not under others (to money -
            // payment, at least 0 since money >= payment there).
            const Interval left{money.lo - payment.hi, money.hi - payment.lo};
            require(finite(left), Blocker::not_finite);
            const Affine left_affine = affine_.subtract(money_affine, payment_affine, left);
            money = {0.0, std::max(0.0, left.hi)};
            money_affine = affine_.hull(left_affine, AffineRange::constant(0.0), money);
            // Voters of one class and utility still hold equal money: they
            // are cut under the same budgets.
            money_class_[voter] = class_after_payment(money_class_[voter], utility);
        }
    }
    charging_ = false;
}

}  // namespace tarvek
