// The Add1 completion: the budgets of its runs, when it accepts an outcome,
// and every way it stops.
#include <limits>
#include <stdexcept>

#include "implementations.hpp"

namespace tarvek_test {
namespace {

template <class Impl>
class Add1 : public ::testing::Test {};
TYPED_TEST_SUITE(Add1, Implementations, ImplementationNames);

// Reveals the budgets of the runs. Voter a alone can buy W once the budget
// reaches `window` (a holds budget / 3); all three together buy H, which
// overspends, once it reaches `overspend`; Z costs nothing and always fits,
// so the completion goes on until H is bought. The result is [W] exactly
// when the last budget below `overspend` is at least `window`.
Instance budget_probe(double total_budget, double window, double overspend) {
    Instance e;
    e.voters = {"a", "b", "c"};
    e.total_budget = total_budget;
    e.project("W", window / 3.0, {{"a", 1}}, 1);
    e.project("H", overspend, {{"a", 1}, {"b", 1}, {"c", 1}}, 3);
    e.projects.push_back("Z");
    e.cost["Z"] = 0.0;
    return e;
}

TYPED_TEST(Add1, BudgetsOf1000WithThreeVoters) {
    // Runs at 1000, 1002, 1005, 1008, ...
    EXPECT_EQ(TypeParam::add1(budget_probe(1000.0, 1001.0, 1002.0)), Outcome{});
    EXPECT_EQ(TypeParam::add1(budget_probe(1000.0, 1002.0, 1002.5)), Outcome{"W"});
    EXPECT_EQ(TypeParam::add1(budget_probe(1000.0, 1003.0, 1005.0)), Outcome{});
    EXPECT_EQ(TypeParam::add1(budget_probe(1000.0, 1005.0, 1005.5)), Outcome{"W"});
    EXPECT_EQ(TypeParam::add1(budget_probe(1000.0, 1006.0, 1008.0)), Outcome{});
    EXPECT_EQ(TypeParam::add1(budget_probe(1000.0, 1008.0, 1008.5)), Outcome{"W"});
}

TYPED_TEST(Add1, BudgetsOf900WithThreeVoters) {
    // Runs at 900, 903, 906, ...
    EXPECT_EQ(TypeParam::add1(budget_probe(900.0, 901.0, 903.0)), Outcome{});
    EXPECT_EQ(TypeParam::add1(budget_probe(900.0, 903.0, 903.5)), Outcome{"W"});
    EXPECT_EQ(TypeParam::add1(budget_probe(900.0, 904.0, 906.0)), Outcome{});
    EXPECT_EQ(TypeParam::add1(budget_probe(900.0, 906.0, 906.5)), Outcome{"W"});
}

TYPED_TEST(Add1, DuplicateVotersCountInTheGrowth) {
    // [a, a, b]: three entries, so the same budgets as three voters.
    Instance e = budget_probe(1000.0, 1002.0, 1002.5);
    e.voters = {"a", "a", "b"};
    e.approvers["H"] = {{"a", 1}, {"a", 1}, {"b", 1}};
    EXPECT_EQ(TypeParam::add1(e), Outcome{"W"});
    e = budget_probe(1000.0, 1003.0, 1005.0);
    e.voters = {"a", "a", "b"};
    e.approvers["H"] = {{"a", 1}, {"a", 1}, {"b", 1}};
    EXPECT_EQ(TypeParam::add1(e), Outcome{});
}

TYPED_TEST(Add1, WholeShareBeyond32Bits) {
    // One voter and 5e9 + 0.5: the first further run is at 5e9 + 1. B costs
    // its supporter twice its price, so A only follows B with that extra 0.5.
    Instance e;
    e.voters = {"v"};
    e.total_budget = 5e9 + 0.5;
    e.project("B", 1e9, {{"v", 2}}, 1);
    e.project("A", 3e9 + 0.75, {{"v", 1}}, 1);
    EXPECT_EQ(TypeParam::utils(e), Outcome{"B"});
    EXPECT_EQ(TypeParam::add1(e), (Outcome{"B", "A"}));
}

TYPED_TEST(Add1, ExhaustiveFirstOutcomeIsReturned) {
    Instance none;
    none.voters = {"a"};
    none.total_budget = 10.0;
    EXPECT_EQ(TypeParam::add1(none), Outcome{});

    Instance dear = none;
    dear.project("P", 10.5, {{"a", 1}}, 1);
    EXPECT_EQ(TypeParam::add1(dear), Outcome{});

    Instance all = none;
    all.project("P", 4.0, {{"a", 1}}, 2);
    all.project("Q", 5.0, {{"a", 1}}, 1);
    EXPECT_EQ(TypeParam::add1(all), (Outcome{"P", "Q"}));
}

TYPED_TEST(Add1, FirstFurtherRunOverspends) {
    // The run at 11 buys H, which costs more than 10: the first outcome stays.
    Instance e;
    e.voters = {"a"};
    e.total_budget = 10.0;
    e.project("P", 4.0, {{"a", 1}}, 1);
    e.project("H", 10.5, {{"a", 1}}, 2);
    e.projects.push_back("Z");
    e.cost["Z"] = 0.0;
    EXPECT_EQ(TypeParam::add1(e), Outcome{"P"});
}

TYPED_TEST(Add1, ExactFitsAreAccepted) {
    // Q costs exactly what is left after P, so the completion goes on; the runs
    // at 11 to 13 return [P] again, the one at 14 returns [P, Q] costing
    // exactly 10, which is accepted and exhaustive.
    Instance e;
    e.voters = {"a"};
    e.total_budget = 10.0;
    e.project("P", 4.0, {{"a", 2}}, 1);  // a pays 8.0 for P
    e.project("Q", 6.0, {{"a", 1}}, 1);
    EXPECT_EQ(TypeParam::utils(e), Outcome{"P"});
    EXPECT_EQ(TypeParam::add1(e), (Outcome{"P", "Q"}));
}

TYPED_TEST(Add1, TieInALaterRunFailsTheCall) {
    // At 10.0 v1 holds 5.0 and buys nothing; at 12.0 it holds 6.0 and A and
    // B tie completely.
    Instance e;
    e.voters = {"v1", "v2"};
    e.total_budget = 10.0;
    e.project("A", 6.0, {{"v1", 1}}, 1);
    e.project("B", 6.0, {{"v1", 1}}, 1);
    EXPECT_EQ(TypeParam::utils(e), Outcome{});
    expect_throw_with<std::runtime_error>([&] { TypeParam::add1(e); }, "Tie-breaking failed: A B ");
}

TYPED_TEST(Add1, MissingEntryFailsTheCall) {
    Instance e;
    e.voters = {"a"};
    e.total_budget = 10.0;
    e.project("P", 4.0, {{"a", 1}}, 1);
    e.projects.push_back("ghost");
    expect_throw_with<std::out_of_range>([&] { TypeParam::add1(e); }, "_Map_base::at");
}

// The completion's plain steps never end on these; it must still return.
TYPED_TEST(Add1, NoVotersReturnsTheFirstOutcome) {
    Instance e;
    e.total_budget = 10.0;
    e.project("P", 4.0, {{"a", 1}}, 1);
    EXPECT_EQ(TypeParam::add1(e), Outcome{});
}

TEST(Add1Engine, ZeroCostProjectFitsForever) {
    // Every run from 11 on returns [P] again, and Z always fits.
    Instance e;
    e.voters = {"a"};
    e.total_budget = 10.0;
    e.project("P", 4.0, {{"a", 1}}, 1);
    e.projects.push_back("Z");
    e.cost["Z"] = 0.0;
    const Outcome expected{"P"};
    expect_engine_add1_returns(e, &expected);
    EXPECT_EQ(add1_runs(e, 1000), 0u);  // not ended after 1000 runs
}

TEST(Add1Engine, UnselectableProjectFitsForever) {
    // G's only supporter is no voter; a is saturated with P and Q.
    Instance e;
    e.voters = {"a", "b"};
    e.total_budget = 20.0;
    e.project("P", 4.0, {{"a", 1}}, 1);
    e.project("Q", 3.0, {{"b", 1}, {"a", 1}}, 2);
    e.project("G", 1.0, {{"outsider", 1}}, 1);
    const Outcome expected{"Q", "P"};
    expect_engine_add1_returns(e, &expected);
    EXPECT_EQ(add1_runs(e, 1000), 0u);
}

TEST(Add1Engine, ProjectThatIsNeverAffordableFitsForever) {
    // Q can never be paid for, P is bought from 12 on, and Z always fits:
    // every run from 12 on returns [P] again.
    Instance e;
    e.voters = {"a", "b"};
    e.total_budget = 10.0;
    e.project("P", 6.0, {{"a", 1}}, 1);
    e.project("Q", std::numeric_limits<double>::infinity(), {{"b", 1}}, 1);
    e.projects.push_back("Z");
    e.cost["Z"] = 0.0;
    const Outcome expected{"P"};
    expect_engine_add1_returns(e, &expected);
    EXPECT_EQ(add1_runs(e, 1000), 0u);
}

TEST(Add1Engine, PaidByANegativeUtilityWithAnOutsider) {
    // a (utility -1) pays at the first share and gains money; the outsider is
    // charged nothing. P is bought at every budget, and Z always fits.
    Instance e;
    e.voters = {"a", "b"};
    e.total_budget = 40.0;
    e.project("P", 4.0, {{"a", -1}, {"outsider", 1}}, 2);
    e.projects.push_back("Z");
    e.cost["Z"] = 0.0;
    const Outcome expected{"P"};
    expect_engine_add1_returns(e, &expected);
    EXPECT_EQ(add1_runs(e, 1000), 0u);
}

TEST(Add1Engine, NoContenderWithThirdsOfAUnit) {
    // N's only supporter always drops out (total utility 0, infinite share),
    // so N is affordable but never a contender; a pays P in thirds of a unit.
    Instance e;
    e.voters = {"a", "b"};
    e.total_budget = 10.0;
    e.project("P", 2.0, {{"a", 1}, {"a", 2}}, 3);
    e.project("N", 5.0, {{"b", 1}}, 0);
    e.projects.push_back("Z");
    e.cost["Z"] = 2.0;
    e.approvers["Z"] = {};
    const Outcome expected{"P"};
    expect_engine_add1_returns(e, &expected);
    EXPECT_EQ(add1_runs(e, 1000), 0u);
}

TEST(Add1Engine, SupporterWithAHugeUtility) {
    // b cannot pay its share (utility 2^31 - 1) until the trial budget passes
    // about 1.3e9; P is selected before and after, and Z (cost -4) always fits.
    Instance e;
    e.voters = {"a", "b"};
    e.total_budget = 10.0;
    e.project("P", 3.0, {{"a", 3}, {"b", std::numeric_limits<std::int32_t>::max()}}, 10);
    e.projects.push_back("Z");
    e.cost["Z"] = -4.0;
    for (const double budget : {10.0, 12.0, 1e6, 1.3e9, 1e12}) {
        Instance at = e;
        at.total_budget = budget;
        ASSERT_EQ(Reference::utils(at), Outcome{"P"}) << budget;
    }
    const Outcome expected{"P"};
    expect_engine_add1_returns(e, &expected);
}

TEST(Add1Engine, ZeroTotalUtilityPaidAfterTheInfiniteShare) {
    // P (total utility 0): a drops out at the infinite first share, then b
    // pays a finite share, so P is selected at every budget, at a count that
    // changes with the budget. Q never becomes a contender and always fits.
    Instance e;
    e.voters = {"a", "b"};
    e.total_budget = 20.0;
    e.project("P", 7.0, {{"a", 2}, {"b", 2}}, 0);
    e.project("Q", 5.0, {{"a", 1}}, 0);
    for (const double budget : {20.0, 22.0, 1e6, 1e12}) {
        Instance at = e;
        at.total_budget = budget;
        ASSERT_EQ(Reference::utils(at), Outcome{"P"}) << budget;
    }
    // The count changes at every budget, so nothing can show that P stays
    // the outcome: the engine may return [P] or give up with its error.
    EXPECT_EXIT(
        {
            int code = 0;
            try {
                if (Engine::add1(e) != Outcome{"P"}) code = 1;
            } catch (const std::runtime_error& failure) {
                const std::string text = failure.what();
                if (text.rfind("equal_shares_add1: the completion did not settle", 0) != 0) code = 2;
            }
            std::_Exit(code);
        },
        ::testing::ExitedWithCode(0), "");
}

TYPED_TEST(Add1, BudgetThatNoLongerGrows) {
    // Past 2^53 adding one voter's unit leaves the trial budget unchanged.
    Instance e;
    e.voters = {"a"};
    e.total_budget = 1e17;
    e.project("P", 4.0, {{"a", 1}}, 1);
    e.projects.push_back("Z");
    e.cost["Z"] = 0.0;
    EXPECT_EQ(TypeParam::add1(e), Outcome{"P"});
}

TEST(Add1Reference, RunCounts) {
    // 1000, 1002, 1005, 1008 and 1011, which overspends.
    EXPECT_EQ(add1_runs(budget_probe(1000.0, 1008.0, 1008.5)), 5u);
    // 900, 903, 906 and 909, which overspends.
    EXPECT_EQ(add1_runs(budget_probe(900.0, 906.0, 906.5)), 4u);

    Instance e;
    e.voters = {"a"};
    e.total_budget = 10.0;
    EXPECT_EQ(add1_runs(e), 1u);  // no projects
    e.project("P", 4.0, {{"a", 1}}, 1);
    EXPECT_EQ(add1_runs(e), 1u);  // the first outcome holds every project
    e.project("H", 12.5, {{"a", 1}}, 2);
    e.projects.push_back("Z");
    e.cost["Z"] = 0.0;
    // [P] at 10, 11 and 12, each accepted; H overspends at 13.
    EXPECT_EQ(add1_runs(e), 4u);
    EXPECT_EQ(Reference::add1(e), Outcome{"P"});
    e.cost["H"] = 10.5;
    EXPECT_EQ(add1_runs(e), 2u);  // the first further run overspends

    Instance no_voters = e;
    no_voters.voters.clear();
    EXPECT_EQ(add1_runs(no_voters), 1u);

    Instance huge = e;
    huge.approvers.erase("H");
    huge.projects = {"P", "Z"};
    huge.total_budget = 1e17;
    EXPECT_EQ(add1_runs(huge), 2u);
}

}  // namespace
}  // namespace tarvek_test
