// Election instances for the tests, and the two implementations (engine and
// reference) behind one face so that behavioural tests run against both.
#ifndef TARVEK_TESTS_IMPLEMENTATIONS_HPP
#define TARVEK_TESTS_IMPLEMENTATIONS_HPP

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "equal_shares.hpp"
#include "election_instance.hpp"
#include "reference.hpp"

namespace tarvek_test {

using Outcome = std::vector<std::string>;

using Instance = tarvek_support::Instance;

struct Engine {
    static constexpr const char* name = "engine";
    static Outcome utils(const Instance& e) {
        return ::equal_shares_utils(e.voters, e.projects, e.cost, e.approvers, e.total_utility,
                                    e.total_budget);
    }
    static Outcome add1(const Instance& e) {
        return ::equal_shares_add1(e.voters, e.projects, e.cost, e.approvers, e.total_utility,
                                   e.total_budget);
    }
    static std::string ties(const tarvek::CostMap& cost, const tarvek::UtilityMap& total_utility,
                            tarvek::IdList choices) {
        return ::break_ties(cost, total_utility, std::move(choices));
    }
};

struct Reference {
    static constexpr const char* name = "reference";
    static Outcome utils(const Instance& e) {
        return reference::equal_shares_utils(e.voters, e.projects, e.cost, e.approvers,
                                             e.total_utility, e.total_budget);
    }
    static Outcome add1(const Instance& e) {
        return reference::equal_shares_add1(e.voters, e.projects, e.cost, e.approvers,
                                            e.total_utility, e.total_budget);
    }
    static std::string ties(const tarvek::CostMap& cost, const tarvek::UtilityMap& total_utility,
                            tarvek::IdList choices) {
        return reference::break_ties(cost, total_utility, std::move(choices));
    }
};

using Implementations = ::testing::Types<Engine, Reference>;

struct ImplementationNames {
    template <class T>
    static std::string GetName(int) {
        return T::name;
    }
};

// The number of runs of the rule that the completion makes, by the reference.
inline std::uint64_t add1_runs(const Instance& e, std::uint64_t max_runs = 100000) {
    const auto result = reference::equal_shares_add1_runs(e.voters, e.projects, e.cost, e.approvers,
                                                          e.total_utility, e.total_budget, max_runs);
    return result.ended ? result.runs : 0;
}

// Expects `call` to throw exactly `Exception` with the message `what`.
template <class Exception, class Call>
void expect_throw_with(Call&& call, const std::string& what) {
    try {
        call();
        ADD_FAILURE() << "no exception, expected \"" << what << "\"";
    } catch (const Exception& error) {
        EXPECT_EQ(std::string(error.what()), what);
    } catch (const std::exception& error) {
        ADD_FAILURE() << "unexpected exception: " << error.what();
    }
}

// The completion bounds its own work: where it cannot show that the outcome
// has settled it gives up after a fixed number of runs of the rule, with an
// exception. A test that expects an outcome therefore shows that the work
// ended by settling; the alarm below is only a net for a completion that
// loops outside that count, and is generous so that a loaded machine or a
// sanitizer never trips it.
constexpr unsigned kStuckAfterSeconds = 600;

// Runs the engine's completion in a child process that an alarm ends after
// `seconds`, so that a completion that does not end fails the test instead of
// stalling the suite. With `expected`, the call must return exactly it;
// without, any return or exception will do.
inline void expect_engine_add1_returns(const Instance& e, const Outcome* expected,
                                       unsigned seconds = kStuckAfterSeconds) {
    EXPECT_EXIT(
        {
            ::alarm(seconds);
            int code = 0;
            try {
                const Outcome got = Engine::add1(e);
                if (expected != nullptr && got != *expected) code = 1;
            } catch (const std::exception&) {
                if (expected != nullptr) code = 2;
            }
            std::_Exit(code);
        },
        ::testing::ExitedWithCode(0), "")
        << "exit code 1: another outcome; 2: an exception; killed by SIGALRM: no return within "
        << seconds << " s";
}

}  // namespace tarvek_test

#endif  // TARVEK_TESTS_IMPLEMENTATIONS_HPP
