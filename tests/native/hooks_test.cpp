// The engine's hooks for explaining a count: a caller-chosen tie order, the
// budget of the completion's outcome, the round observer, and the explained
// run built on it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "completion.hpp"
#include "explained_run.hpp"
#include "fixed_budget.hpp"
#include "implementations.hpp"

namespace tarvek_test {
namespace {

struct Recorder : tarvek::RoundObserver {
    std::vector<tarvek::RoundRecord> rounds;
    void round(const tarvek::RoundRecord& record) override { rounds.push_back(record); }
};

TEST(Hooks, TieOrderLetsTheCompletionGoOnAndTheObserverReplaysItsRun) {
    // At 12.0 v1 holds 6.0 and A and B tie completely; C never fits.
    Instance i;
    i.voters = {"v1", "v2"};
    i.total_budget = 10.0;
    i.project("A", 6.0, {{"v1", 1}}, 1);
    i.project("B", 6.0, {{"v1", 1}}, 1);
    i.project("C", 50.0, {{"v2", 1}}, 1);
    tarvek::Election e = tarvek::prepare_election(i.voters, i.projects, i.cost, i.approvers,
                                                  i.total_utility);
    tarvek::set_tie_order(e, {"C", "B"});  // A is missing: it ranks last
    // A single run at 12.0, or a range run for 12.0 and 14.0: the outcome's
    // budget is the first that selects it either way.
    EXPECT_EQ(tarvek::complete(e, i.total_budget, false).budget, 12.0);
    const tarvek::Completion done = tarvek::complete(e, i.total_budget, true);
    ASSERT_EQ(done.outcome, std::vector<tarvek::Index>{1});
    EXPECT_EQ(done.budget, 12.0);
    const double held = done.budget / 2.0;

    tarvek::RuleRunner runner(e);
    Recorder recorder;
    runner.set_observer(&recorder);
    EXPECT_EQ(runner.run(done.budget, false), done.outcome);
    ASSERT_EQ(recorder.rounds.size(), 2u);
    const tarvek::RoundRecord& first = recorder.rounds[0];
    EXPECT_TRUE(first.selects);
    EXPECT_EQ(first.tied, (std::vector<tarvek::Index>{0, 1}));
    EXPECT_EQ(first.count, 1.0);
    EXPECT_EQ(first.price, 6.0);
    EXPECT_EQ(first.money_before, std::vector<double>{held});
    EXPECT_EQ(first.money_after, std::vector<double>{held - 6.0});
    ASSERT_EQ(first.unaffordable.size(), 1u);  // C: v2's money against 50.0
    EXPECT_EQ(first.unaffordable[0].first, 2u);
    EXPECT_EQ(first.unaffordable[0].second, held);
    // A, flagged in the second round with what v1 has left.
    const tarvek::RoundRecord& last = recorder.rounds[1];
    EXPECT_FALSE(last.selects);
    ASSERT_EQ(last.unaffordable.size(), 1u);
    EXPECT_EQ(last.unaffordable[0].second, held - 6.0);

    e.tie_rank.clear();  // back to the rule's error
    EXPECT_THROW(tarvek::complete(e, i.total_budget, true), std::runtime_error);
}


TEST(Hooks, ExplainedRunTellsPaymentsAndWhyProjectsWereLeftOut) {
    // Everybody listed holds 10.0. Round 1: P (the worked evaluation) at 3.0,
    // paid in full by x, y and z; the scan stops before D. Round 2: Q is
    // unaffordable; D, whose supporter w is listed twice, wins at 2.0 and w
    // pays 2.0 twice; the scan stops before R. Round 3: R, supported only by
    // somebody who is not a voter, is unaffordable, and nothing is selected.
    Instance i;
    i.voters = {"x", "y", "z", "w"};
    i.total_budget = 40.0;
    i.project("P", 30.0, {{"x", 1}, {"y", 1}, {"z", 2}}, 4);
    i.project("Q", 20.0, {{"w", 1}, {"x", 1}}, 2);
    i.project("R", 5.0, {{"ghost", 1}}, 1);
    i.project("Z", 0.0, {{"w", 1}}, 1);
    i.project("D", 4.0, {{"w", 1}, {"w", 1}}, 2);
    const tarvek::Election e = tarvek::prepare_election(i.voters, i.projects, i.cost, i.approvers,
                                                        i.total_utility);
    const tarvek::ExplainedRun run = tarvek::explain_run(e, i.total_budget);
    EXPECT_EQ(run.start_money, 10.0);
    EXPECT_EQ(run.outcome, (std::vector<tarvek::Index>{0, 3}));
    ASSERT_EQ(run.rounds.size(), 2u);
    const tarvek::ExplainedRound& p = run.rounds[0];
    EXPECT_EQ(p.effective_votes, 3.0);
    EXPECT_EQ(p.price, 10.0);
    EXPECT_EQ(p.paid, 30.0);
    EXPECT_EQ(p.paid_all, 3u);
    ASSERT_EQ(p.payments.size(), 3u);
    EXPECT_EQ(p.payments[2].amount, 10.0);  // z owed 20.0 and paid what it held
    EXPECT_EQ(p.payments[2].money_after, 0.0);
    const tarvek::ExplainedRound& d = run.rounds[1];
    ASSERT_EQ(d.payments.size(), 1u);  // w once, with both charges
    EXPECT_EQ(d.payments[0].amount, 4.0);
    EXPECT_EQ(d.payments[0].money_after, 6.0);
    EXPECT_EQ(d.paid_all, 0u);

    using Reason = tarvek::LeftOutReason;
    ASSERT_EQ(run.left_out.size(), 3u);  // Q, R, Z in the order of the projects
    const tarvek::LeftOutProject& q = run.left_out[0];
    EXPECT_EQ(q.entry, 1u);
    EXPECT_EQ(q.reason, Reason::unaffordable);
    EXPECT_EQ(q.left_in_round, 2u);
    EXPECT_EQ(q.money_when_left, 10.0);   // w before paying for D, x after P
    EXPECT_EQ(q.supporters_money, 6.0);   // at the end
    EXPECT_EQ(run.left_out[1].reason, Reason::no_listed_supporter);
    EXPECT_EQ(run.left_out[1].left_in_round, 3u);
    EXPECT_EQ(run.left_out[2].reason, Reason::cost_not_positive);
    EXPECT_EQ(run.left_out[2].left_in_round, 0u);
}

}  // namespace
}  // namespace tarvek_test
