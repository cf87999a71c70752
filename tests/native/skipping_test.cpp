// The completion that settles ranges of trial budgets at once against the
// plain one that runs every trial budget: same outcome, same budget of its
// run, same error, always.
#include <gtest/gtest.h>

#include <cstdlib>
#include <dirent.h>
#include <string>
#include <vector>

#include "completion.hpp"
#include "implementations.hpp"
#include "pabulib_file.hpp"
#include "random.hpp"

namespace tarvek_test {
namespace {

struct Completed {
    Outcome outcome;
    double budget = 0.0;  // the budget of the outcome's run
    std::string error;
};

// Both give up sooner here, to keep the tests quick; the skipping one has
// room for a few failed range runs per plain run.
constexpr std::uint64_t kPlainRunsOfWork = std::uint64_t{1} << 16;
constexpr std::uint64_t kSkippingRunsOfWork = std::uint64_t{1} << 18;

Completed complete(const Instance& e, bool skip_runs, tarvek::CompletionStats* stats = nullptr) {
    Completed result;
    try {
        const tarvek::Election election =
            tarvek::prepare_election(e.voters, e.projects, e.cost, e.approvers, e.total_utility);
        const tarvek::Completion done = tarvek::complete(
            election, e.total_budget, skip_runs, stats, skip_runs ? kSkippingRunsOfWork : kPlainRunsOfWork);
        for (const tarvek::Index c : done.outcome) result.outcome.push_back(*election.candidate_id[c]);
        result.budget = done.budget;
    } catch (const std::exception& failure) {
        result.error = failure.what();
    }
    return result;
}

bool gave_up(const Completed& result) {
    return result.error.rfind("equal_shares_add1: the completion did not settle", 0) == 0;
}

void expect_same_completion(const Instance& e, const std::string& name,
                            tarvek::CompletionStats* stats = nullptr) {
    const Completed plain = complete(e, false);
    const Completed skipping = complete(e, true, stats);
    // Where the plain steps cannot show that the outcome has settled, they
    // give up; the range proofs may still settle it (or give up later), and
    // nothing here can check that against the plain steps.
    if (gave_up(plain)) return;
    EXPECT_EQ(plain.outcome, skipping.outcome) << name;
    EXPECT_EQ(plain.budget, skipping.budget) << name;
    EXPECT_EQ(plain.error, skipping.error) << name;
}

// Elections built to sit on decision boundaries: whole-number costs and
// budgets, so that money covers costs exactly and counts tie after a few
// units, voters listed twice, supporters outside `voters`, a few zero and
// negative utilities, and now and then a project that always fits. Their
// sizes: small by default; `kLong`, many projects with a few supporters each
// and money to spare for long, so that runs go on for many rounds, without
// the oddities (their completions would run on).
struct Sizes {
    int fewest_voters, most_voters, fewest_projects, most_projects;
    double approval;
    int least_budget, most_budget;
    double oddities;  // scales the chance of each oddity
};
constexpr Sizes kSmall{1, 12, 2, 7, 0.45, 5, 200, 1.0};
constexpr Sizes kLong{20, 40, 24, 36, 0.2, 600, 1500, 0.0};

class BoundaryElections : tarvek_support::Random {
public:
    explicit BoundaryElections(std::uint64_t seed, Sizes sizes = kSmall)
        : Random(seed), sizes_(sizes) {}

    Instance next() {
        Instance e;
        const int voter_count = pick(sizes_.fewest_voters, sizes_.most_voters);
        for (int v = 0; v < voter_count; ++v) e.voters.push_back("v" + std::to_string(v));
        const double odd = sizes_.oddities;
        if (chance(0.2 * odd)) e.voters.push_back(e.voters.front());
        const int project_count = pick(sizes_.fewest_projects, sizes_.most_projects);
        for (int p = 0; p < project_count; ++p) {
            const std::string id = "p" + std::to_string(p);
            tarvek::SupporterList supporters;
            std::int32_t total = 0;
            for (int v = 0; v < voter_count; ++v) {
                if (!chance(sizes_.approval)) continue;
                const std::int32_t utility = chance(0.7) ? 1 : chance(1.0 - 0.1 * odd) ? pick(2, 4) : pick(-2, 0);
                supporters.emplace_back("v" + std::to_string(v), utility);
                total += utility;
            }
            if (chance(0.1 * odd)) supporters.emplace_back("outsider", pick(1, 3));
            if (chance(0.03 * odd)) total += pick(-2, 2);
            const double cost = chance(0.01 * odd) ? 0.0 : static_cast<double>(pick(1, 60));
            e.project(id, cost, supporters, total);
        }
        e.total_budget = static_cast<double>(pick(sizes_.least_budget, sizes_.most_budget)) +
                         (chance(0.2 * odd) ? 0.5 : 0.0);
        return e;
    }

private:
    Sizes sizes_;
};

TEST(SkippingRuns, SameAsEveryRunOnBoundaryElections) {
    BoundaryElections elections(20261208);
    for (int i = 0; i < 2000; ++i) {
        expect_same_completion(elections.next(), "boundary election #" + std::to_string(i));
        if (HasFailure()) return;
    }
}

// The completion splits a failed range only where its run proved many
// rounds: long elections reach that.
TEST(SkippingRuns, SameAsEveryRunWhereFailedRangesAreSplit) {
    BoundaryElections elections(20261209, kLong);
    std::uint64_t split = 0;
    for (int i = 0; i < 500 && !HasFailure(); ++i) {
        tarvek::CompletionStats stats;
        expect_same_completion(elections.next(), "long election #" + std::to_string(i), &stats);
        split += stats.split_ranges;
    }
    // The check means something only if many ranges were split.
    EXPECT_GT(split, 60u);
}

// With each voter's money m: P alone is affordable for m in [500, 1000);
// P and Q tie for m in [1000, 1020), with nothing to break the tie; R wins
// first from 1020 on, and P, its supporter a drained, no longer ties with Q;
// S makes the outcome overspend from 1100 on. The completion starts at m =
// 900 and must report the tie, though the runs on either side of it fit and
// leave the never affordable K beside them. Asked for the outcome alone (as
// the module asks), the completion runs no budget of the tied stretch once a
// range across it is settled, so only that range's test can see the tie.
TEST(SkippingRuns, ATieBetweenRunsThatFitIsReported) {
    Instance e;
    e.voters = {"a", "b", "c", "r1", "r2", "s"};
    e.total_budget = 5400.0;
    e.project("P", 1000.0, {{"a", 1}, {"b", 1}}, 2);
    e.project("Q", 1000.0, {{"c", 2}}, 2);
    e.project("R", 3060.0, {{"a", 1}, {"r1", 1}, {"r2", 1}}, 3);
    e.project("S", 1100.0, {{"s", 1}}, 1);
    e.project("K", 1.0, {{"outsider", 1}}, 1);
    expect_same_completion(e, "tie between runs that fit");
    EXPECT_THROW(tarvek::complete_add1(e.voters, e.projects, e.cost, e.approvers, e.total_utility,
                                       e.total_budget, true),
                 std::runtime_error);
}

TEST(SkippingRuns, SkipsRunsOnALargeBudgetInSmallUnits) {
    // 3 voters and a budget of a million units: the outcome changes a few
    // times while each voter's money grows by hundreds of thousands.
    Instance e;
    e.voters = {"a", "b", "c"};
    e.total_budget = 1'000'000.0;
    e.project("big", 700'000.0, {{"a", 1}, {"b", 1}}, 2);
    e.project("mid", 400'000.0, {{"b", 1}, {"c", 1}}, 2);
    e.project("small", 250'000.0, {{"c", 1}}, 1);
    tarvek::CompletionStats plain_stats, skipping_stats;
    const Outcome plain = tarvek::complete_add1(e.voters, e.projects, e.cost, e.approvers,
                                                e.total_utility, e.total_budget, false, &plain_stats);
    const Completed skipping = complete(e, true, &skipping_stats);
    EXPECT_EQ(plain, skipping.outcome);
    EXPECT_GT(plain_stats.runs, 1000u);
    EXPECT_LT(skipping_stats.runs + skipping_stats.range_runs, plain_stats.runs / 10);
}

// Every real election at hand; those with many voters only on request
// (TARVEK_SLOW_TESTS=1), since the plain completion runs the rule for every
// unit of money (about 75,000 times for Budapest 2023 VIII). Budapest 2024
// would take hours that way.
TEST(SkippingRuns, SameAsEveryRunOnRealElections) {
    const std::string folder = pabulib_folder();
    if (folder.empty()) {
        // In CI a missing folder must not pass as a skip.
        const char* ci = std::getenv("CI");
        if (ci != nullptr && std::string(ci) == "true") FAIL() << "no folder of real election files";
        GTEST_SKIP() << "no folder of real election files";
    }
    const bool slow = std::getenv("TARVEK_SLOW_TESTS") != nullptr;
    DIR* listing = opendir(folder.c_str());
    ASSERT_NE(listing, nullptr);
    std::vector<std::string> names;
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name.size() > 3 && name.compare(name.size() - 3, 3, ".pb") == 0) names.push_back(name);
    }
    closedir(listing);
    for (const std::string& name : names) {
        if (name == "Hungary_Budapest_2024.pb") continue;
        if (!slow && name == "Hungary_Budapest_2023_VIII_Jozsefvaros.pb") continue;
        Instance e;
        if (!read_pb_file(folder + "/" + name, e)) continue;
        if (!slow && e.voters.size() > 5000) continue;
        expect_same_completion(e, name);
    }
}

}  // namespace
}  // namespace tarvek_test
