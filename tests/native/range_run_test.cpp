// A range of start money that the range runner settles must select, at every
// budget in it, what the plain run selects there. Checked directly on ranges
// picked at random, so that proofs the completion rarely asks for are
// exercised too.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "election.hpp"
#include "fixed_budget.hpp"
#include "implementations.hpp"
#include "random.hpp"
#include "range_run.hpp"

namespace tarvek_test {
namespace {

// Elections whose voters' money drifts apart at different rates as the
// budget grows, or by rounding only: voters approve overlapping sets of
// projects whose costs are decimal fractions or thirds (so shares round),
// some voters copy another's ballot (equal money, ties with the payer), and
// a few utilities are 0 or above 1. With `negative_utilities`, some are -1 or
// -2: a charge then gives money back, so a candidate that left, unaffordable,
// under some budgets can become affordable again under the others.
class DriftingElections : tarvek_support::Random {
public:
    explicit DriftingElections(std::uint64_t seed, bool negative_utilities = false)
        : Random(seed), negative_utilities_(negative_utilities) {}

    Instance next() {
        Instance e;
        const int voter_count = pick(4, 30);
        const int project_count = pick(3, 9);
        const double divisor = std::vector<double>{1.0, 3.0, 10.0, 7.0}[pick(0, 3)];
        std::vector<std::vector<int>> ballots(static_cast<std::size_t>(voter_count));
        for (int v = 0; v < voter_count; ++v) {
            e.voters.push_back("v" + std::to_string(v));
            auto& ballot = ballots[static_cast<std::size_t>(v)];
            if (v > 0 && chance(0.3)) {
                ballot = ballots[static_cast<std::size_t>(pick(0, v - 1))];
                continue;
            }
            for (int p = 0; p < project_count; ++p) {
                const bool approves = chance(0.45);
                int utility = !approves ? kAbstains : chance(0.85) ? 1 : chance(0.7) ? pick(2, 3) : 0;
                if (approves && negative_utilities_ && chance(0.12)) utility = -pick(1, 2);
                ballot.push_back(utility);
            }
        }
        for (int p = 0; p < project_count; ++p) {
            tarvek::SupporterList supporters;
            std::int32_t total = 0;
            for (int v = 0; v < voter_count; ++v) {
                const int utility = ballots[static_cast<std::size_t>(v)][static_cast<std::size_t>(p)];
                if (utility == kAbstains) continue;
                supporters.emplace_back("v" + std::to_string(v), utility);
                total += utility;
            }
            e.project("p" + std::to_string(p), static_cast<double>(pick(1, 400)) / divisor,
                      supporters, total);
        }
        e.total_budget = static_cast<double>(pick(10, 2000)) / divisor;
        return e;
    }

    // A range of start money: where its first decisions change, and wide
    // or narrow.
    tarvek::Interval range() {
        const double lo = static_cast<double>(pick(1, 4000)) / 64.0;
        const double width = std::vector<double>{0.25, 1.0, 4.0, 16.0, 64.0}[pick(0, 4)];
        return {lo, lo + width};
    }

private:
    static constexpr int kAbstains = -1000;
    bool negative_utilities_;
};

// The plain run's outcome for `budget`, or its error.
std::string plain_outcome(tarvek::RuleRunner& runner, const tarvek::Election& e, double budget) {
    try {
        std::string ids;
        for (const tarvek::Index c : runner.run(budget, false)) ids += *e.candidate_id[c] + " ";
        return ids;
    } catch (const std::runtime_error& error) {
        return std::string("error: ") + error.what();
    }
}

// The ids of `winners`, as plain_outcome writes them.
std::string ids_of(const tarvek::Election& e, const std::vector<tarvek::Index>& winners) {
    std::string ids;
    for (const tarvek::Index c : winners) ids += *e.candidate_id[c] + " ";
    return ids;
}

// Calls check(i, e, plain, ranges) for `count` elections, each with its
// runners, until a check fails.
template <class Check>
void for_each_election(DriftingElections& elections, int count, Check check) {
    for (int i = 0; i < count && !::testing::Test::HasFailure(); ++i) {
        const Instance instance = elections.next();
        const tarvek::Election e =
            tarvek::prepare_election(instance.voters, instance.projects, instance.cost,
                                     instance.approvers, instance.total_utility);
        tarvek::RuleRunner plain(e);
        tarvek::RangeRunner ranges(e);
        check(i, e, plain, ranges);
    }
}

// Calls check(i, e, plain, ranges, first, last) for each of 20 ranges of 8 to
// 64 budgets, first to last, in each of `count` elections, that the range
// run fails on.
template <class Check>
void for_each_failed_range(DriftingElections& elections, int count, Check check) {
    for_each_election(elections, count, [&](int i, const tarvek::Election& e,
                                            tarvek::RuleRunner& plain, tarvek::RangeRunner& ranges) {
        const double n = e.voter_entries;
        for (int r = 0; r < 20 && !::testing::Test::HasFailure(); ++r) {
            const double first = elections.range().lo * n;
            const double last = first + (std::vector<double>{8, 16, 32, 64}[r % 4] - 1.0) * n;
            if (!ranges.run({first / n, last / n})) check(i, e, plain, ranges, first, last);
        }
    });
}

// Runs `count` elections, 30 ranges each; every range that the range runner
// settles must select what the plain run selects at budgets spread over it.
// Returns how many were settled.
int check_settled_ranges(DriftingElections& elections, int count) {
    int settled = 0;
    for_each_election(elections, count, [&](int i, const tarvek::Election& e,
                                            tarvek::RuleRunner& plain, tarvek::RangeRunner& ranges) {
        const double n = e.voter_entries;
        for (int r = 0; r < 30; ++r) {
            const tarvek::Interval start = elections.range();
            if (!ranges.run(start)) continue;
            ++settled;
            const std::string expected = ids_of(e, ranges.winners());
            // Budgets spread over the range, its ends included; the plain run
            // divides each by n, and that start money is what must lie in it.
            for (int k = 0; k <= 32; ++k) {
                const double budget = (start.lo + (start.hi - start.lo) * k / 32.0) * n;
                const double money = budget / n;
                if (money < start.lo || money > start.hi) continue;
                EXPECT_EQ(plain_outcome(plain, e, budget), expected)
                    << "election #" << i << ", start money " << money << " in [" << start.lo
                    << ", " << start.hi << "]";
                if (::testing::Test::HasFailure()) return;
            }
        }
    });
    return settled;
}

TEST(RangeRuns, SettledRangesSelectWhatEveryBudgetInThemSelects) {
    DriftingElections elections(20261208);
    // The check means something only if many ranges are settled.
    EXPECT_GT(check_settled_ranges(elections, 300), 1000);
}

// Money that grows back when a charge has a negative utility moves voters'
// keys past each other in ways that growing budgets alone do not. These
// elections reach a group of supporters in unproved order that must all pay,
// and a supporter that may come before the payer and must pay too: leaving
// out either check makes this test fail, and no other.
TEST(RangeRuns, SettledRangesHoldWhenChargesGiveMoneyBack) {
    for (const std::uint64_t seed : {1, 2}) {
        DriftingElections elections(seed, true);
        EXPECT_GT(check_settled_ranges(elections, 240), 1000);
    }
}

// A candidate that may come before a scanned one, and whose count may exceed
// that one's bound, ends the plain run's scan early under some budgets.
// Random elections reach a case where that changes the outcome rarely: the
// first is the 1,879th of these, whose charges give money back.
TEST(RangeRuns, SettledRangesHoldWhereACandidateMayBeScannedOutOfOrder) {
    DriftingElections elections(7, true);
    EXPECT_GT(check_settled_ranges(elections, 1879), 1000);
}

// Runs `count` elections, 20 ranges of 8 to 64 budgets each; where the range
// run fails, its split must give parts that follow each other from the
// range's first budget to its last, and each proved part must select, at
// every budget in it, what the plain run selects there. Returns how many
// budgets proved parts held.
int check_split_ranges(DriftingElections& elections, int count) {
    int proved = 0;
    for_each_failed_range(elections, count, [&](int i, const tarvek::Election& e,
                                                tarvek::RuleRunner& plain, tarvek::RangeRunner& ranges,
                                                double first, double last) {
        const double n = e.voter_entries;
        double next = first;
        ranges.split(first, last, n, 1.0, 6, [&](const tarvek::RangeRunner::Part& part) {
            EXPECT_EQ(part.first, next) << "election #" << i;
            next = part.last + n;
            if (!part.proved) return true;
            const std::string expected = ids_of(e, ranges.winners());
            // Its ends and its middle budget.
            const double middle = part.first + std::floor((part.last - part.first) / n / 2.0) * n;
            for (const double budget : {part.first, middle, part.last}) {
                EXPECT_EQ(plain_outcome(plain, e, budget), expected)
                    << "election #" << i << ", budget " << budget << " in [" << part.first
                    << ", " << part.last << "] of [" << first << ", " << last << "]";
            }
            proved += static_cast<int>((part.last - part.first) / n + 1.0);
            return !::testing::Test::HasFailure();
        });
        EXPECT_EQ(next, last + n) << "election #" << i;
    });
    return proved;
}

// A failed range goes on from the round that failed over halves of its
// range: the state kept for the second half, and each half's money narrowed
// to it, must be those of that round's start.
TEST(RangeRuns, SplitRangesSelectWhatEveryBudgetInTheirPartsSelects) {
    DriftingElections elections(4, true);
    EXPECT_GT(check_split_ranges(elections, 1700), 100000);
}

// Runs `count` elections, 20 ranges of 8 to 64 budgets each; where the range
// run fails on a close race, every budget of the range must follow one leaf
// of its fork: select what a proved leaf selects, or begin with what a failed
// one proved. Returns how many budgets were checked so.
int check_forked_ranges(DriftingElections& elections, int count) {
    int checked = 0;
    for_each_failed_range(elections, count, [&](int i, const tarvek::Election& e,
                                                tarvek::RuleRunner& plain, tarvek::RangeRunner& ranges,
                                                double first, double last) {
        if (ranges.blocker() != tarvek::Blocker::close_race) return;
        std::vector<std::pair<bool, std::string>> leaves;
        ranges.fork(4, [&](const tarvek::RangeRunner& leaf) {
            leaves.push_back({leaf.blocker() == tarvek::Blocker::none, ids_of(e, leaf.winners())});
            return true;
        });
        for (double budget = first; budget <= last; budget += e.voter_entries) {
            const std::string outcome = plain_outcome(plain, e, budget);
            if (outcome.rfind("error", 0) == 0) continue;
            const bool follows = std::any_of(leaves.begin(), leaves.end(), [&](const auto& leaf) {
                return leaf.first ? outcome == leaf.second : outcome.rfind(leaf.second, 0) == 0;
            });
            EXPECT_TRUE(follows) << "election #" << i << ", budget " << budget << ": " << outcome;
            ++checked;
        }
    });
    return checked;
}

// The runs of a fork take each candidate that may win the close race as the
// winner, the top one too: a budget under which any of them wins follows a
// leaf.
TEST(RangeRuns, EveryBudgetFollowsALeafOfItsFork) {
    DriftingElections elections(5, true);
    EXPECT_GT(check_forked_ranges(elections, 1000), 1000);
}

}  // namespace
}  // namespace tarvek_test
