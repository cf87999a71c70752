// The engine against the reference on many small random instances, and on
// instances built to sit on decision boundaries. Results must be identical;
// when one throws, the other must throw the same type with the same message.
#include <unistd.h>

#include <csignal>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>
#include <sstream>
#include <typeinfo>

#include "completion.hpp"

#include "implementations.hpp"
#include "random.hpp"

namespace tarvek_test {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

// What a call produced: an outcome, or the type and message of an exception.
struct Result {
    bool threw = false;
    Outcome outcome;
    std::string error_type;
    std::string message;

    bool operator==(const Result& other) const {
        return threw == other.threw && outcome == other.outcome && error_type == other.error_type &&
               message == other.message;
    }
};

std::ostream& operator<<(std::ostream& out, const Result& r) {
    if (r.threw) return out << "throws " << r.error_type << " \"" << r.message << "\"";
    out << "[";
    for (const auto& id : r.outcome) out << " " << id;
    return out << " ]";
}

Result capture(const std::function<Outcome()>& call) {
    Result r;
    try {
        r.outcome = call();
    } catch (const std::exception& error) {
        r.threw = true;
        r.error_type = typeid(error).name();
        r.message = error.what();
    }
    return r;
}

std::string describe(const Instance& e) {
    std::ostringstream out;
    out.precision(17);
    out << "voters:";
    for (const auto& v : e.voters) out << " " << v;
    out << "\nprojects:";
    for (const auto& p : e.projects) out << " " << p;
    out << "\ncost:";
    for (const auto& [p, c] : e.cost) out << " " << p << "=" << c;
    out << "\napprovers:";
    for (const auto& [p, list] : e.approvers) {
        out << " " << p << "={";
        for (const auto& [v, u] : list) out << v << ":" << u << " ";
        out << "}";
    }
    out << "\ntotal_utility:";
    for (const auto& [p, t] : e.total_utility) out << " " << p << "=" << t;
    out << "\ntotal_budget: " << e.total_budget << "\n";
    return out.str();
}

// Runs both implementations on `e`: the rule must agree always, the
// completion wherever its plain steps end within `max_runs` runs. The
// instances on which they do not end are added to `non_ending`.
void expect_same(const Instance& e, std::uint64_t max_runs, std::vector<Instance>& non_ending) {
    const Result engine = capture([&] { return Engine::utils(e); });
    const Result ref = capture([&] { return Reference::utils(e); });
    ASSERT_EQ(engine, ref) << "equal_shares_utils differs on\n" << describe(e);

    reference::Add1Result runs;
    const Result ref_add1 = capture([&] {
        runs = reference::equal_shares_add1_runs(e.voters, e.projects, e.cost, e.approvers,
                                                 e.total_utility, e.total_budget, max_runs);
        return runs.outcome;
    });
    if (ref_add1.threw || runs.ended) {
        const Result engine_add1 = capture([&] { return Engine::add1(e); });
        ASSERT_EQ(engine_add1, ref_add1) << "equal_shares_add1 differs on\n" << describe(e);
    } else {
        non_ending.push_back(e);
    }
}

// Where the plain steps of the completion do not end, the engine must still
// return. All such instances run in one child process; when it has not
// finished after `seconds`, an alarm names the instance it is stuck on.
volatile std::sig_atomic_t stuck_on = 0;
std::vector<std::string> stuck_descriptions;

extern "C" void report_stuck(int) {
    const std::string& text = stuck_descriptions[static_cast<std::size_t>(stuck_on)];
    const ssize_t written = ::write(2, text.data(), text.size());
    static_cast<void>(written);
    std::_Exit(3);
}

void expect_engine_returns_on_all(const std::vector<Instance>& instances, unsigned seconds) {
    if (instances.empty()) return;
    stuck_descriptions.clear();
    for (const auto& e : instances) {
        stuck_descriptions.push_back("equal_shares_add1 does not return on\n" + describe(e));
    }
    EXPECT_EXIT(
        {
            std::signal(SIGALRM, report_stuck);
            ::alarm(seconds);
            for (std::size_t i = 0; i < instances.size(); ++i) {
                stuck_on = static_cast<std::sig_atomic_t>(i);
                // The completion gives up after a bounded number of runs
                // where it cannot show that its outcome has settled; a
                // lower bound than the default keeps this check quick.
                const Instance& e = instances[i];
                try {
                    tarvek::complete_add1(e.voters, e.projects, e.cost, e.approvers,
                                          e.total_utility, e.total_budget, true, nullptr,
                                          std::uint64_t{1} << 14);
                } catch (const std::exception&) {
                }
            }
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "")
        << instances.size() << " instances on which the completion's plain steps do not end";
}

void expect_same(const Instance& e, std::uint64_t max_runs) {
    std::vector<Instance> non_ending;
    expect_same(e, max_runs, non_ending);
    expect_engine_returns_on_all(non_ending, kStuckAfterSeconds);
}

class Generator : tarvek_support::Random {
public:
    explicit Generator(std::uint64_t seed) : Random(seed) {}

    Instance next() {
        Instance e;
        const int voter_pool = pick(1, 5);
        const int project_pool = pick(1, 6);

        for (int i = pick(0, 6); i > 0; --i) e.voters.push_back(voter(voter_pool));
        if (chance(0.05)) e.voters.clear();
        for (int i = pick(0, 7); i > 0; --i) e.projects.push_back("p" + std::to_string(pick(0, project_pool - 1)));

        for (int p = 0; p < project_pool; ++p) {
            const std::string id = "p" + std::to_string(p);
            if (!chance(0.02)) e.cost[id] = a_cost();
            if (!chance(0.02)) {
                tarvek::SupporterList list;
                for (int i = chance(0.08) ? 0 : pick(1, 5); i > 0; --i) {
                    list.emplace_back(chance(0.05) ? "outsider" : voter(voter_pool), a_utility());
                }
                e.approvers[id] = std::move(list);
            }
            if (!chance(0.02)) {
                const auto found = e.approvers.find(id);
                e.total_utility[id] =
                    a_total_utility(found == e.approvers.end() ? tarvek::SupporterList{} : found->second);
            }
        }
        e.total_budget = a_budget(e.voters.size());
        return e;
    }

private:
    std::string voter(int pool) { return "v" + std::to_string(pick(0, pool - 1)); }

    double a_cost() {
        switch (pick(0, 39)) {
            case 0: return 0.0;
            case 1: return -static_cast<double>(pick(1, 5));
            case 2: return nan;
            case 3: return inf;
            case 4: return std::numeric_limits<double>::denorm_min();
            case 5: case 6: case 7: return real(0.1, 30.0);
            case 8: case 9: case 10: return pick(1, 40) * 0.25;
            default: return static_cast<double>(pick(1, 8));
        }
    }

    std::int32_t a_utility() {
        switch (pick(0, 39)) {
            case 0: case 1: return 0;
            case 2: case 3: return -pick(1, 3);
            case 4: return std::numeric_limits<std::int32_t>::max();
            default: return pick(1, 3);
        }
    }

    std::int32_t a_total_utility(const tarvek::SupporterList& list) {
        switch (pick(0, 19)) {
            case 0: return 0;
            case 1: return -pick(1, 3);
            case 2: case 3: return pick(1, 10);
            case 4: return std::numeric_limits<std::int32_t>::min();
            default: {
                // Usually the sum of the utilities, as in real elections.
                std::int64_t sum = 0;
                for (const auto& entry : list) sum += entry.second;
                if (sum > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
                return static_cast<std::int32_t>(sum);
            }
        }
    }

    double a_budget(std::size_t n) {
        switch (pick(0, 19)) {
            case 0: return 0.0;
            case 1: return -static_cast<double>(pick(1, 20));
            case 2: return nan;
            case 3: return inf;
            case 4: return 1e17;
            case 5: return 1e300;
            case 6: return 3e9 + pick(0, 3) * 0.5;
            case 7: return real(0.0, 60.0);
            case 8: return static_cast<double>(n) * pick(1, 12);  // whole shares
            default: return static_cast<double>(pick(1, 50));
        }
    }
};

TEST(Differential, RandomSmallInstances) {
    Generator generator(20261208);
    std::vector<Instance> non_ending;
    for (int i = 0; i < 4000; ++i) {
        SCOPED_TRACE("instance " + std::to_string(i));
        expect_same(generator.next(), 300, non_ending);
        if (::testing::Test::HasFatalFailure()) return;
    }
    expect_engine_returns_on_all(non_ending, kStuckAfterSeconds);
}

// Voters with whole-number money and costs that are exact sums of it, so that
// supporters hold exactly a cost, counts tie and charges empty a budget.
class BoundaryGenerator : tarvek_support::Random {
public:
    explicit BoundaryGenerator(std::uint64_t seed) : Random(seed) {}

    Instance next() {
        Instance e;
        const int n = pick(1, 4);
        for (int v = 0; v < n; ++v) e.voters.push_back("v" + std::to_string(v));
        const int share = pick(1, 6);
        e.total_budget = static_cast<double>(n * share);
        const int projects = pick(1, 5);
        for (int p = 0; p < projects; ++p) {
            tarvek::SupporterList list;
            std::int32_t total = 0;
            for (int v = 0; v < n; ++v) {
                if (pick(0, 2) == 0) continue;
                const std::int32_t u = pick(1, 2);
                list.emplace_back("v" + std::to_string(v), u);
                total += u;
            }
            if (list.empty()) {
                list.emplace_back("v0", 1);
                total = 1;
            }
            // Exactly the supporters' money, a whole part of it, or one unit more.
            const double money = static_cast<double>(list.size()) * share;
            double c = money;
            switch (pick(0, 3)) {
                case 0: c = money; break;
                case 1: c = static_cast<double>(pick(1, static_cast<int>(money))); break;
                case 2: c = money + 1.0; break;
                default: c = static_cast<double>(total) * pick(1, share);
            }
            e.project("p" + std::to_string(p), c, std::move(list), total);
        }
        return e;
    }
};

TEST(Differential, DecisionBoundaries) {
    BoundaryGenerator generator(7);
    std::vector<Instance> non_ending;
    for (int i = 0; i < 1500; ++i) {
        SCOPED_TRACE("instance " + std::to_string(i));
        expect_same(generator.next(), 2000, non_ending);
        if (::testing::Test::HasFatalFailure()) return;
    }
    expect_engine_returns_on_all(non_ending, kStuckAfterSeconds);
}

// Ordinary elections with more voters and projects, so that the rule plays
// many rounds: distinct ids, positive utilities, total utility the sum.
class ElectionGenerator : tarvek_support::Random {
public:
    explicit ElectionGenerator(std::uint64_t seed) : Random(seed) {}

    Instance next() {
        Instance e;
        const int n = pick(5, 12);
        for (int v = 0; v < n; ++v) e.voters.push_back("v" + std::to_string(v));
        e.total_budget = pick(0, 1) == 0 ? static_cast<double>(n * pick(2, 8))
                                         : real(5.0, 80.0);
        const int projects = pick(8, 15);
        for (int p = 0; p < projects; ++p) {
            tarvek::SupporterList list;
            std::int32_t total = 0;
            for (int v = 0; v < n; ++v) {
                if (pick(0, 9) >= 4) continue;
                const std::int32_t u = pick(1, 3);
                list.emplace_back("v" + std::to_string(v), u);
                total += u;
            }
            const double c = pick(0, 3) == 0 ? pick(1, 80) * 0.25 : static_cast<double>(pick(1, 3 * n));
            e.project("p" + std::to_string(p), c, std::move(list), total);
        }
        return e;
    }
};

TEST(Differential, OrdinaryElections) {
    ElectionGenerator generator(11);
    std::vector<Instance> non_ending;
    for (int i = 0; i < 1000; ++i) {
        SCOPED_TRACE("instance " + std::to_string(i));
        expect_same(generator.next(), 2000, non_ending);
        if (::testing::Test::HasFatalFailure()) return;
    }
    expect_engine_returns_on_all(non_ending, kStuckAfterSeconds);
}

// Elections whose rounds leave the voters with many distinct amounts of
// money (costs with full mantissas), some projects with utilities that give
// supporters with different money and utility the same key (money 2x with
// utility 2 against x with 1), voters who run out, voters listed twice,
// supporters outside the voters, and short and long ids; now and then with
// supporter lists long enough to be grouped by money class.
class MoneyGroupGenerator : tarvek_support::Random {
public:
    explicit MoneyGroupGenerator(std::uint64_t seed) : Random(seed) {}

    Instance next(bool large) {
        Instance e;
        const int n = large ? pick(2600, 3000) : pick(20, 120);
        const std::string prefix = pick(0, 1) == 0 ? "v" : "an-id-longer-than-twenty-bytes-";
        for (int v = 0; v < n; ++v) e.voters.push_back(prefix + std::to_string(v));
        switch (pick(0, 9)) {
            case 0: e.total_budget = 0.0; break;
            case 1: e.total_budget = static_cast<double>(n * pick(1, 9)); break;
            default: e.total_budget = real(n * 0.5, n * 9.0);
        }
        const int projects = large ? 12 : pick(10, 30);
        for (int p = 0; p < projects; ++p) {
            const bool approval = pick(0, 9) < 6;
            const int share = large ? pick(8, 9) : pick(1, 9);  // in tenths of the voters
            tarvek::SupporterList list;
            std::int32_t total = 0;
            for (int v = 0; v < n; ++v) {
                if (pick(0, 9) >= share) continue;
                const std::int32_t u = approval ? 1 : std::int32_t{1} << pick(0, 2);
                list.emplace_back(prefix + std::to_string(v), u);
                total += u;
                if (pick(0, 99) == 0) {
                    list.emplace_back(pick(0, 1) == 0 ? prefix + std::to_string(v) : "outsider", u);
                    total += u;
                }
            }
            const double money = e.total_budget * static_cast<double>(list.size()) / n;
            const double c = real(0.05, 1.2) * money + 0.1;
            e.project("p" + std::to_string(p), c, std::move(list), total);
        }
        return e;
    }
};

TEST(Differential, ManyMoneyGroups) {
    MoneyGroupGenerator generator(2026);
    std::vector<Instance> non_ending;
    for (int i = 0; i < 300; ++i) {
        SCOPED_TRACE("instance " + std::to_string(i));
        expect_same(generator.next(i % 60 == 0), 300, non_ending);
        if (::testing::Test::HasFatalFailure()) return;
    }
    expect_engine_returns_on_all(non_ending, kStuckAfterSeconds);
}

TEST(Differential, HandBuiltBoundaries) {
    // Supporters holding exactly the cost, with utility-0 and outsider entries.
    Instance exact;
    exact.voters = {"a", "b", "c"};
    exact.total_budget = 30.0;
    exact.project("P", 20.0, {{"a", 1}, {"b", 1}, {"z", 0}}, 2);
    exact.project("Q", 10.0, {{"c", 1}, {"outsider", 1}}, 2);
    exact.project("R", 10.0, {{"c", 2}}, 1);
    expect_same(exact, 2000);

    // Two voters listed twice and a project whose count ties with another.
    Instance twice;
    twice.voters = {"a", "a", "b", "c"};
    twice.total_budget = 40.0;
    twice.project("P", 20.0, {{"a", 1}, {"a", 1}}, 2);
    twice.project("Q", 20.0, {{"b", 1}, {"c", 1}}, 2);
    twice.project("S", 5.0, {{"a", 3}, {"b", 1}}, 4);
    expect_same(twice, 2000);

    // Negative utilities raise a budget when charged.
    Instance raise;
    raise.voters = {"a", "b"};
    raise.total_budget = 10.0;
    raise.project("P", 4.0, {{"a", 2}, {"b", -1}}, 1);
    raise.project("Q", 6.0, {{"b", 1}}, 1);
    raise.project("R", 5.5, {{"b", 1}, {"a", 1}}, 2);
    expect_same(raise, 2000);
}

}  // namespace
}  // namespace tarvek_test
