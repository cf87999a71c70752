// The fixed-budget rule: its evaluation and charging, the lookups it makes,
// and its behaviour at the edges (exact bounds, contenders, orders).
#include <cmath>
#include <limits>
#include <stdexcept>

#include "implementations.hpp"

namespace tarvek_test {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

template <class Impl>
class FixedBudget : public ::testing::Test {};
TYPED_TEST_SUITE(FixedBudget, Implementations, ImplementationNames);

// Three voters holding 10.0 each; P costs 30.0 with utilities x 1, y 1, z 2
// and total utility 4. z cannot pay 15.0, so the others pay 10.0 each and the
// effective count is exactly 3.0.
Instance worked_example() {
    Instance e;
    e.voters = {"x", "y", "z"};
    e.total_budget = 30.0;
    e.project("P", 30.0, {{"x", 1}, {"y", 1}, {"z", 2}}, 4);
    return e;
}

TYPED_TEST(FixedBudget, WorkedEvaluationHasCountExactlyThree) {
    // R has count exactly 3.0 too. Cheaper, it wins the tie; at P's cost
    // but with less total utility it loses it. Either way the counts are equal.
    Instance cheaper = worked_example();
    cheaper.voters.insert(cheaper.voters.end(), {"r1", "r2", "r3"});
    cheaper.total_budget = 60.0;
    cheaper.project("R", 27.0, {{"r1", 1}, {"r2", 1}, {"r3", 1}}, 3);
    EXPECT_EQ(TypeParam::utils(cheaper), (Outcome{"R", "P"}));

    Instance as_dear = cheaper;
    as_dear.cost["R"] = 30.0;
    EXPECT_EQ(TypeParam::utils(as_dear), (Outcome{"P", "R"}));
}

TYPED_TEST(FixedBudget, WorkedEvaluationChargesEverything) {
    // After P every supporter holds exactly 0.0: nothing, however cheap, is
    // affordable for any of them.
    Instance e = worked_example();
    e.project("Sx", 1e-300, {{"x", 1}}, 1);
    e.project("Sy", 2e-300, {{"y", 1}}, 1);
    e.project("Sz", 3e-300, {{"z", 1}}, 1);
    EXPECT_EQ(TypeParam::utils(e), (Outcome{"P"}));

    // With 10.1 each, x and y keep 0.15 while z is charged all it holds.
    e.total_budget = 30.3;
    EXPECT_EQ(TypeParam::utils(e), (Outcome{"P", "Sx", "Sy"}));
}

TYPED_TEST(FixedBudget, NothingToSelect) {
    Instance e = worked_example();
    Instance no_projects = e;
    no_projects.projects.clear();
    EXPECT_TRUE(TypeParam::utils(no_projects).empty());

    Instance no_voters = e;
    no_voters.voters.clear();
    EXPECT_TRUE(TypeParam::utils(no_voters).empty());

    for (const double budget : {0.0, -30.0, -inf}) {
        Instance poor = e;
        poor.total_budget = budget;
        EXPECT_TRUE(TypeParam::utils(poor).empty()) << budget;
    }
}

TYPED_TEST(FixedBudget, ProjectsThatAreNeverCandidates) {
    // Cost 0.0, negative, NaN: no approvers or total utility entry needed.
    // An empty supporter list: no total utility entry needed.
    Instance e;
    e.voters = {"v"};
    e.total_budget = 100.0;
    for (const auto& [id, c] : {std::pair<std::string, double>{"zero", 0.0},
                                {"negative", -5.0},
                                {"nan", nan},
                                {"minus-zero", -0.0}}) {
        e.projects.push_back(id);
        e.cost[id] = c;
    }
    e.projects.push_back("nobody");
    e.cost["nobody"] = 1.0;
    e.approvers["nobody"] = {};
    EXPECT_TRUE(TypeParam::utils(e).empty());

    e.project("real", 10.0, {{"v", 1}}, 1);
    EXPECT_EQ(TypeParam::utils(e), (Outcome{"real"}));
}

TYPED_TEST(FixedBudget, MissingEntriesFailTheCall) {
    Instance e = worked_example();
    e.project("Q", 3.0, {{"x", 1}}, 1);

    Instance no_cost = e;
    no_cost.projects.push_back("ghost");
    expect_throw_with<std::out_of_range>([&] { TypeParam::utils(no_cost); }, "_Map_base::at");

    Instance no_approvers = e;
    no_approvers.approvers.erase("Q");
    expect_throw_with<std::out_of_range>([&] { TypeParam::utils(no_approvers); }, "_Map_base::at");

    Instance no_total = e;
    no_total.total_utility.erase("Q");
    expect_throw_with<std::out_of_range>([&] { TypeParam::utils(no_total); }, "_Map_base::at");

    // Lookups do not depend on the budget: they fail with no money at all.
    no_total.total_budget = 0.0;
    no_total.voters.clear();
    expect_throw_with<std::out_of_range>([&] { TypeParam::utils(no_total); }, "_Map_base::at");
}

TYPED_TEST(FixedBudget, SupporterOutsideTheVotersHoldsNothing) {
    // The outsider sorts first (key 0.0) and cannot pay: v pays 10.0 for
    // 5 units of utility, count 5.0, price 2.0, and v is left with nothing.
    Instance e;
    e.voters = {"v"};
    e.total_budget = 10.0;
    e.project("P", 10.0, {{"outsider", 5}, {"v", 5}}, 10);
    e.project("S", 5.0, {{"v", 1}}, 1);
    EXPECT_EQ(TypeParam::utils(e), (Outcome{"P"}));

    // Without the outsider v pays 5.0 at count 10.0, and S follows.
    e.approvers["P"] = {{"v", 5}};
    EXPECT_EQ(TypeParam::utils(e), (Outcome{"P", "S"}));
}

TYPED_TEST(FixedBudget, SupportersHoldingExactlyTheCost) {
    Instance e;
    e.voters = {"a", "b"};
    e.total_budget = 10.0;
    e.project("P", 10.0, {{"a", 1}, {"b", 1}}, 2);
    EXPECT_EQ(TypeParam::utils(e), (Outcome{"P"}));

    e.cost["P"] = std::nextafter(10.0, 11.0);
    EXPECT_TRUE(TypeParam::utils(e).empty());
}

TYPED_TEST(FixedBudget, EveryEntryCounts) {
    // A voter listed twice for one project brings its money twice and is
    // charged twice, the second time against what is left.
    Instance e;
    e.voters = {"a", "b"};
    e.total_budget = 12.0;
    e.project("P", 10.0, {{"a", 1}, {"a", 1}}, 2);
    e.project("S", 1e-300, {{"a", 1}}, 1);
    EXPECT_EQ(TypeParam::utils(e), (Outcome{"P"}));

    // A duplicate voter counts in n: with [a, a, b] a holds 8.0, not 12.0.
    Instance alone;
    alone.voters = {"a", "a"};
    alone.total_budget = 24.0;
    alone.project("P", 12.0, {{"a", 1}}, 1);
    EXPECT_EQ(TypeParam::utils(alone), (Outcome{"P"}));
    alone.voters.push_back("b");
    EXPECT_TRUE(TypeParam::utils(alone).empty());
}

TYPED_TEST(FixedBudget, AllSupportersFailingIsNoContender) {
    // Together a and b hold 12.0 >= 10.0, but at total utility 1 the first
    // share is 10.0 and, once a drops out, infinite.
    Instance e;
    e.voters = {"a", "b"};
    e.total_budget = 12.0;
    e.project("P", 10.0, {{"a", 1}, {"b", 1}}, 1);
    EXPECT_TRUE(TypeParam::utils(e).empty());
}

TYPED_TEST(FixedBudget, ZeroUtilitySupporterPaysLast) {
    // z (utility 0, key +infinity) comes after a and b whatever the list
    // order: a drops out, b pays, count 997 / 100.
    Instance e;
    e.voters = {"a", "b", "z"};
    e.total_budget = 3.0 * 897.0;
    e.project("P", 997.0, {{"z", 0}, {"a", 9}, {"b", 1}}, 10);
    e.project("Q", 997.0, {{"a", 9}, {"b", 1}}, 10);
    expect_throw_with<std::runtime_error>([&] { TypeParam::utils(e); }, "Tie-breaking failed: P Q ");
}

// A count stays exact between rounds. W wins round 1 and takes 5.0 from p,
// Y's poorest supporter; Y (9.91 before, 9.44 after) is examined before X
// (9.65). Its count 9.44 is below X's stored 9.65, so X is evaluated and wins.
// Truncated to 9, X would have ended the scan and Y would win round 2.
TYPED_TEST(FixedBudget, StoredCountsAreExact) {
    Instance e;
    e.voters = {"p", "r", "px", "rx", "w"};
    e.total_budget = 5.0 * 900.0;
    e.project("Y", 1001.0, {{"p", 9}, {"r", 1}}, 10);
    e.project("X", 1004.0, {{"px", 9}, {"rx", 1}}, 10);
    e.project("W", 50.0, {{"p", 1}, {"w", 9}}, 10);
    EXPECT_EQ(TypeParam::utils(e), (Outcome{"W", "X", "Y"}));
}

// A stored count is a bound only while budgets shrink. W (utility -5 for p)
// gives p money back; B's count rises from 3.5 to 9.0, but in round 2 M's 5.0
// already ends the scan at B's stored 3.5, so M is selected before B.
TYPED_TEST(FixedBudget, StaleCountIsNotReevaluated) {
    Instance e;
    e.voters = {"p", "r", "w", "m"};
    e.total_budget = 40.0;
    e.project("B", 14.0, {{"p", 8}, {"r", 1}}, 9);
    e.project("W", 4.0, {{"p", -5}, {"w", 13}}, 8);
    e.project("M", 5.0, {{"m", 1}}, 5);
    EXPECT_EQ(TypeParam::utils(e), (Outcome{"W", "M", "B"}));
}

TYPED_TEST(FixedBudget, ZeroCountNeverWins) {
    // Total utility 0 and supporters of utility 0: the share is infinite and
    // the count 0.0. Such a project is never selected.
    Instance e;
    e.voters = {"a", "b"};
    e.total_budget = 20.0;
    e.project("Z", 5.0, {{"a", 0}, {"b", 0}}, 0);
    EXPECT_TRUE(TypeParam::utils(e).empty());

    e.project("P", 5.0, {{"a", 1}}, 1);
    EXPECT_EQ(TypeParam::utils(e), (Outcome{"P"}));
}

TYPED_TEST(FixedBudget, InfiniteCountNeverWins) {
    // The share of the smallest cost underflows to 0.0: the count is +infinity.
    Instance e;
    e.voters = {"a"};
    e.total_budget = 20.0;
    e.project("T", std::numeric_limits<double>::denorm_min(), {{"a", 1}}, 10);
    EXPECT_TRUE(TypeParam::utils(e).empty());

    // It is examined first in every round (stored +infinity) without harm.
    e.project("P", 5.0, {{"a", 1}}, 1);
    e.project("Q", 4.0, {{"a", 1}}, 2);
    EXPECT_EQ(TypeParam::utils(e), (Outcome{"Q", "P"}));
}

TYPED_TEST(FixedBudget, InfiniteCostWithInfiniteMoney) {
    // inf / inf: a NaN count, stored as -infinity; never a contender.
    Instance e;
    e.voters = {"a"};
    e.total_budget = inf;
    e.project("I", inf, {{"a", 1}}, 1);
    e.project("P", 5.0, {{"a", 1}}, 1);
    EXPECT_EQ(TypeParam::utils(e), (Outcome{"P"}));
}

TYPED_TEST(FixedBudget, EqualStoredCountsKeepProjectOrder) {
    // Twins tie; they are examined, and named, in order of first occurrence.
    Instance e;
    e.voters = {"a", "b"};
    e.total_budget = 10.0;
    e.project("B", 4.0, {{"a", 1}, {"b", 1}}, 2);
    e.project("A", 4.0, {{"a", 1}, {"b", 1}}, 2);
    expect_throw_with<std::runtime_error>([&] { TypeParam::utils(e); }, "Tie-breaking failed: B A ");

    e.projects = {"A", "B", "A"};
    expect_throw_with<std::runtime_error>([&] { TypeParam::utils(e); }, "Tie-breaking failed: A B ");

}

TYPED_TEST(FixedBudget, NanKeySortsLast) {
    // The outsider of utility 0 has key 0 / 0; sorted last it changes nothing
    // and P ties with its twin Q. Sorted first, it would end P's evaluation
    // at count 10.0.
    Instance e;
    e.voters = {"a", "b"};
    e.total_budget = 2.0 * 897.0;
    e.project("P", 997.0, {{"outsider", 0}, {"a", 9}, {"b", 1}}, 10);
    e.project("Q", 997.0, {{"a", 9}, {"b", 1}}, 10);
    expect_throw_with<std::runtime_error>([&] { TypeParam::utils(e); }, "Tie-breaking failed: P Q ");
}

TYPED_TEST(FixedBudget, InputsAreNotChanged) {
    Instance e = worked_example();
    e.project("Q", 3.0, {{"z", 1}, {"x", 2}}, 3);
    const Instance before = e;
    const Outcome first = TypeParam::utils(e);
    EXPECT_EQ(TypeParam::utils(e), first);
    EXPECT_EQ(e.voters, before.voters);
    EXPECT_EQ(e.projects, before.projects);
    EXPECT_EQ(e.cost, before.cost);
    EXPECT_EQ(e.approvers, before.approvers);
    EXPECT_EQ(e.total_utility, before.total_utility);
}

}  // namespace
}  // namespace tarvek_test
