// The engine's hooks for explaining a count: a caller-chosen tie order, the
// budget of the completion's outcome, and the round observer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "completion.hpp"
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

}  // namespace
}  // namespace tarvek_test
