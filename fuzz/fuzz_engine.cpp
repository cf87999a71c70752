// Fuzz target for the engine: decodes bytes into an election instance and
// calls break_ties, equal_shares_utils and equal_shares_add1 on it.
//
// Every result is checked against invariants that hold for any input (every
// selected id is a project with a positive cost and a supporter, selected at
// most once; the tie winner is one of the choices; an accepted completion
// outcome fits into the budget), and against the plain reference of
// tests/reference wherever the reference finishes quickly: same outcome, or
// the same exception type with the same message.
//
// Built two ways: with clang and libFuzzer (fuzz/run.sh), and with any
// compiler plus replay_main.cpp as a plain runner over saved inputs
// (fuzz/replay.sh).
//
// Layout of an input (bytes past the end read as 0):
//   flags, voters, projects, cost entries, supporter lists, total utilities,
//   budget, tie-breaking choices.
// Each count is one byte taken modulo a small limit, so that the reference
// stays fast. Ids come mostly from a fixed pool (so that lists and maps
// refer to each other) and sometimes from raw bytes. Numbers come from a
// table of awkward values (0, -0, NaN, infinities, subnormals, 32-bit
// extremes, ...), from small integers, or from raw bit patterns.
#include <sys/prctl.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

#include "equal_shares.hpp"
#include "fuzz_stats.hpp"
#include "election_instance.hpp"
#include "reference.hpp"

namespace {

using Outcome = std::vector<std::string>;

constexpr std::size_t kMaxVoters = 24;
constexpr std::size_t kMaxProjects = 12;
constexpr std::size_t kMaxMapEntries = 14;
constexpr std::size_t kMaxSupporters = 24;
constexpr std::size_t kMaxChoices = 8;
// Runs of the rule that the reference completion may make before the
// comparison gives up on it; TARVEK_FUZZ_REFERENCE_RUNS raises it for deep
// replays of a corpus (the engine skips runs, the reference makes them all).
std::uint64_t reference_runs() {
    static const std::uint64_t runs = [] {
        const char* text = std::getenv("TARVEK_FUZZ_REFERENCE_RUNS");
        return text != nullptr ? std::strtoull(text, nullptr, 10) : std::uint64_t{96};
    }();
    return runs;
}

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t byte() {
        if (size_ == 0) return 0;
        --size_;
        return *data_++;
    }
    std::uint64_t bits(int bytes) {
        std::uint64_t value = 0;
        for (int i = 0; i < bytes; ++i) value |= static_cast<std::uint64_t>(byte()) << (8 * i);
        return value;
    }
    std::size_t count(std::size_t limit) { return byte() % (limit + 1); }

    std::string id() {
        static const char* const kPool[] = {"a", "b", "c", "d", "e", "f", "g", "h",
                                            "x", "y", "z", "w", "", "\xff", "a ", "p\xc3\xa9"};
        const std::uint8_t selector = byte();
        if (selector < 0xF0) return kPool[selector % 16];
        if (selector == 0xF0) return std::string("\0", 1);
        if (selector == 0xF1) return std::string(300, 'q');
        std::string raw(byte() % 8, '\0');
        for (char& c : raw) c = static_cast<char>(byte());
        return raw;
    }

    double real() {
        static const double kSpecial[] = {
            0.0,
            -0.0,
            1.0,
            -1.0,
            std::numeric_limits<double>::quiet_NaN(),
            -std::numeric_limits<double>::quiet_NaN(),
            std::numeric_limits<double>::infinity(),
            -std::numeric_limits<double>::infinity(),
            std::numeric_limits<double>::denorm_min(),
            -std::numeric_limits<double>::denorm_min(),
            std::numeric_limits<double>::min(),
            std::numeric_limits<double>::max(),
            -std::numeric_limits<double>::max(),
            std::numeric_limits<double>::epsilon(),
            1e300,
            1e-300,
            9007199254740992.0,   // 2^53
            9007199254740993.0,   // rounds to 2^53
            2147483648.0,         // 2^31
            2147483647.5,
            -2147483649.0,
            4294967296.0,         // 2^32
            0.1,
            1.0 / 3.0,
            0.5,
            1e15,
            1e16,
            1e6,
            100.0,
            1000.0,
            std::nextafter(1.0, 2.0),
            std::nextafter(1.0, 0.0),
        };
        const std::uint8_t selector = byte();
        if (selector < 32) return kSpecial[selector];
        if (selector < 176) return static_cast<double>(static_cast<int>(selector) - 48);  // -16..127
        if (selector < 232) return static_cast<double>(byte()) / static_cast<double>(selector - 175);
        double value;
        const std::uint64_t pattern = bits(8);
        std::memcpy(&value, &pattern, sizeof value);
        return value;
    }

    std::int32_t integer() {
        static const std::int32_t kSpecial[] = {
            0,
            1,
            -1,
            std::numeric_limits<std::int32_t>::max(),
            std::numeric_limits<std::int32_t>::min(),
            std::numeric_limits<std::int32_t>::max() - 1,
            std::numeric_limits<std::int32_t>::min() + 1,
            1 << 30,
            -(1 << 30),
            1 << 24,
            65536,
            1000000,
        };
        const std::uint8_t selector = byte();
        if (selector < 12) return kSpecial[selector];
        if (selector < 240) return static_cast<std::int32_t>(selector) - 20;  // -8..219
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(bits(4)));
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

// An election with the choices to break a tie between.
struct Instance : tarvek_support::Instance {
    tarvek::IdList choices;
};

// Flags of the first byte. Without the fill flags most inputs would fail on
// their first missing key; with them the rule itself gets exercised.
enum : std::uint8_t {
    kFillCost = 1,
    kFillApprovers = 2,
    kFillTotalUtility = 4,
    kTotalUtilityIsSum = 8,
    kChoicesFromProjects = 16,
};

Instance decode(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    Instance e;
    const std::uint8_t flags = in.byte();
    for (std::size_t i = in.count(kMaxVoters); i > 0; --i) e.voters.push_back(in.id());
    for (std::size_t i = in.count(kMaxProjects); i > 0; --i) e.projects.push_back(in.id());
    for (std::size_t i = in.count(kMaxMapEntries); i > 0; --i) {
        std::string key = in.id();
        e.cost[key] = in.real();
    }
    for (std::size_t i = in.count(kMaxMapEntries); i > 0; --i) {
        std::string key = in.id();
        tarvek::SupporterList supporters;
        for (std::size_t j = in.count(kMaxSupporters); j > 0; --j) {
            std::string voter = in.id();
            supporters.emplace_back(std::move(voter), in.integer());
        }
        e.approvers[key] = std::move(supporters);
    }
    for (std::size_t i = in.count(kMaxMapEntries); i > 0; --i) {
        std::string key = in.id();
        e.total_utility[key] = in.integer();
    }
    e.total_budget = in.real();

    for (const auto& p : e.projects) {
        if ((flags & kFillCost) && e.cost.count(p) == 0) e.cost[p] = in.real();
        if ((flags & kFillApprovers) && e.approvers.count(p) == 0) {
            tarvek::SupporterList supporters;
            for (std::size_t j = in.count(4); j > 0; --j) {
                std::string voter = in.id();
                supporters.emplace_back(std::move(voter), in.integer());
            }
            e.approvers[p] = std::move(supporters);
        }
        if ((flags & kFillTotalUtility) && e.total_utility.count(p) == 0) {
            std::int64_t sum = 0;
            const auto found = e.approvers.find(p);
            if ((flags & kTotalUtilityIsSum) && found != e.approvers.end()) {
                for (const auto& supporter : found->second) sum += supporter.second;
                sum = std::clamp<std::int64_t>(sum, std::numeric_limits<std::int32_t>::min(),
                                               std::numeric_limits<std::int32_t>::max());
            } else {
                sum = in.integer();
            }
            e.total_utility[p] = static_cast<std::int32_t>(sum);
        }
    }

    for (std::size_t i = in.count(kMaxChoices); i > 0; --i) {
        if ((flags & kChoicesFromProjects) && !e.projects.empty()) {
            e.choices.push_back(e.projects[in.byte() % e.projects.size()]);
        } else {
            e.choices.push_back(in.id());
        }
    }
    return e;
}

// What a call did: returned a value, or threw (type and message).
template <class Value>
struct Result {
    bool threw = false;
    std::string kind;
    std::string what;
    Value value{};
};

template <class Value, class Call>
Result<Value> capture(Call call) {
    Result<Value> r;
    try {
        r.value = call();
    } catch (const std::out_of_range& ex) {
        r = {true, "std::out_of_range", ex.what(), {}};
    } catch (const std::length_error& ex) {
        r = {true, "std::length_error", ex.what(), {}};
    } catch (const std::bad_alloc& ex) {
        r = {true, "std::bad_alloc", ex.what(), {}};
    } catch (const std::runtime_error& ex) {
        // Only the exact std::runtime_error counts as the tie error.
        r = {true, typeid(ex) == typeid(std::runtime_error) ? "std::runtime_error" : typeid(ex).name(),
             ex.what(), {}};
    } catch (const std::exception& ex) {
        r = {true, typeid(ex).name(), ex.what(), {}};
    }
    return r;
}

std::string show(const Outcome& outcome) {
    std::string text = "[";
    for (const auto& id : outcome) {
        text += '"';
        for (const char c : id) {
            const auto u = static_cast<unsigned char>(c);
            if (u >= 0x20 && u < 0x7F && c != '"' && c != '\\') {
                text += c;
            } else {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\x%02x", u);
                text += escaped;
            }
        }
        text += "\",";
    }
    return text + "]";
}

[[noreturn]] void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "\n*** tarvek fuzz: %s\n    %s\n", what, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

template <class Value>
std::string describe(const Result<Value>& r);

template <>
std::string describe(const Result<Outcome>& r) {
    return r.threw ? r.kind + "(\"" + r.what + "\")" : show(r.value);
}

template <>
std::string describe(const Result<std::string>& r) {
    return r.threw ? r.kind + "(\"" + r.what + "\")" : show(Outcome{r.value});
}

template <class Value>
void expect_same(const char* function, const Result<Value>& engine, const Result<Value>& ref) {
    const bool same = engine.threw == ref.threw &&
                      (engine.threw ? engine.kind == ref.kind && engine.what == ref.what
                                    : engine.value == ref.value);
    if (!same) {
        fail(function, "engine " + describe(engine) + " but reference " + describe(ref));
    }
}

// The exceptions that the rule may throw at all.
template <class Value>
void expect_known_exception(const char* function, const Result<Value>& r) {
    if (!r.threw) return;
    if (r.kind == "std::out_of_range" && r.what == "_Map_base::at") return;
    if (r.kind == "std::runtime_error" && r.what.rfind("Tie-breaking failed: ", 0) == 0) return;
    if (r.kind == "std::bad_alloc") return;
    fail(function, "unexpected exception " + describe(r));
}

double outcome_cost(const Instance& e, const Outcome& outcome) {
    double total = 0.0;
    for (const auto& id : outcome) total += e.cost.at(id);
    return total;
}

// What every outcome of the rule satisfies, whatever the input.
void check_outcome(const char* function, const Instance& e, const Outcome& outcome) {
    std::set<std::string> seen;
    for (const auto& id : outcome) {
        if (std::find(e.projects.begin(), e.projects.end(), id) == e.projects.end()) {
            fail(function, "selected id is not a project: " + show(outcome));
        }
        const auto cost = e.cost.find(id);
        if (cost == e.cost.end() || !(cost->second > 0.0)) {
            fail(function, "selected project without a positive cost: " + show(outcome));
        }
        const auto supporters = e.approvers.find(id);
        if (supporters == e.approvers.end() || supporters->second.empty()) {
            fail(function, "selected project without a supporter: " + show(outcome));
        }
        if (!seen.insert(id).second) fail(function, "project selected twice: " + show(outcome));
    }
}

// The instance as Python literals (ids as bytes), for turning an input into
// a reproducer: printed when TARVEK_FUZZ_DUMP is set.
std::string py_id(const std::string& id) {
    std::string text = "b'";
    for (const char c : id) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7F && c != '\'' && c != '\\') {
            text += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", u);
            text += escaped;
        }
    }
    return text + "'";
}

std::string py_real(double value) {
    if (std::isnan(value)) return std::signbit(value) ? "-math.nan" : "math.nan";
    if (std::isinf(value)) return value > 0 ? "math.inf" : "-math.inf";
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", value);
    std::string result = text;
    if (result.find_first_of(".en") == std::string::npos) result += ".0";
    return result;
}

void dump(const Instance& e) {
    std::string text = "(\n    [";
    for (const auto& v : e.voters) text += py_id(v) + ", ";
    text += "],\n    [";
    for (const auto& p : e.projects) text += py_id(p) + ", ";
    text += "],\n    {";
    for (const auto& [p, c] : e.cost) text += py_id(p) + ": " + py_real(c) + ", ";
    text += "},\n    {";
    for (const auto& [p, supporters] : e.approvers) {
        text += py_id(p) + ": [";
        for (const auto& [v, u] : supporters) text += "(" + py_id(v) + ", " + std::to_string(u) + "), ";
        text += "], ";
    }
    text += "},\n    {";
    for (const auto& [p, t] : e.total_utility) text += py_id(p) + ": " + std::to_string(t) + ", ";
    text += "},\n    " + py_real(e.total_budget) + ",\n)\nchoices = [";
    for (const auto& c : e.choices) text += py_id(c) + ", ";
    std::fprintf(stderr, "%s]\n", text.c_str());
}

// The completion in a child process with a time limit, for inputs on which
// the reference completion runs for long: the engine must end as well (it
// stops once further runs provably change nothing), but a completion whose
// plain steps need many runs may legitimately take a while, so a slow child
// is reported, and saved when TARVEK_FUZZ_SLOW_DIR is set, but is a failure
// only when TARVEK_FUZZ_SLOW_FAILS is set (as for the regression inputs).
void check_long_completion(const Instance& e, const Outcome& first_outcome,
                           const std::uint8_t* data, std::size_t size) {
    static const long milliseconds = [] {
        const char* text = std::getenv("TARVEK_FUZZ_SLOW_MS");
        return text != nullptr ? std::atol(text) : 200L;
    }();
    if (milliseconds <= 0) return;
    // A child process per input is expensive; while fuzzing, only every
    // TARVEK_FUZZ_LONG_SAMPLE-th of these inputs (by a hash of its bytes) is
    // checked. The replay runner checks all of them.
    static const unsigned long sample = [] {
        const char* text = std::getenv("TARVEK_FUZZ_LONG_SAMPLE");
        return text != nullptr ? std::strtoul(text, nullptr, 10) : 1ul;
    }();
    if (sample > 1) {
        std::uint64_t hash = 1469598103934665603ull;
        for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 1099511628211ull;
        if (hash % sample != 0) return;
    }
    tarvek_fuzz::stats().long_completions_checked++;
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) return;  // no process to spare: skip the check
    if (child == 0) {
        // The fuzzer's own alarm handler is inherited; the child must die
        // at its alarm, and with its parent.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        std::signal(SIGALRM, SIG_DFL);
        itimerval limit{};
        limit.it_value.tv_sec = milliseconds / 1000;
        limit.it_value.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
        setitimer(ITIMER_REAL, &limit, nullptr);
        const auto engine = capture<Outcome>([&] {
            return ::equal_shares_add1(e.voters, e.projects, e.cost, e.approvers, e.total_utility,
                                       e.total_budget);
        });
        // Where the engine cannot show that the outcome has settled it may
        // stop with an error after a bounded amount of work.
        const bool gave_up = engine.threw && engine.kind == "std::runtime_error" &&
                             engine.what.rfind("equal_shares_add1: ", 0) == 0;
        if (!gave_up) expect_known_exception("equal_shares_add1 (long)", engine);
        if (!engine.threw) {
            check_outcome("equal_shares_add1 (long)", e, engine.value);
            if (engine.value != first_outcome && !(outcome_cost(e, engine.value) <= e.total_budget)) {
                fail("equal_shares_add1 (long)", "accepted outcome overspends: " + show(engine.value));
            }
        }
        _exit(gave_up ? 3 : 0);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        tarvek_fuzz::stats().long_completions_ended++;
        return;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 3) {
        tarvek_fuzz::stats().long_completions_gave_up++;
        if (std::getenv("TARVEK_FUZZ_SLOW_FAILS") != nullptr) {
            fail("equal_shares_add1 (long)", "the completion gave up with its error");
        }
        return;
    }
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) {
        tarvek_fuzz::stats().long_completions_slow++;
        if (std::getenv("TARVEK_FUZZ_SLOW_FAILS") != nullptr) {
            fail("equal_shares_add1 (long)", "the completion did not end in time");
        }
        std::fprintf(stderr, "tarvek fuzz: completion still running after %ld ms (input saved if "
                             "TARVEK_FUZZ_SLOW_DIR is set)\n", milliseconds);
        if (const char* dir = std::getenv("TARVEK_FUZZ_SLOW_DIR")) {
            char path[4096];
            std::snprintf(path, sizeof path, "%s/slow-%ld-%zu", dir, static_cast<long>(getpid()),
                          tarvek_fuzz::stats().long_completions_slow);
            if (FILE* out = std::fopen(path, "wb")) {
                std::fwrite(data, 1, size, out);
                std::fclose(out);
            }
        }
        return;
    }
    fail("equal_shares_add1 (long)", "the completion's child process failed (see its output above)");
}

}  // namespace

namespace tarvek_fuzz {
Stats& stats() {
    static Stats s;
    return s;
}
}  // namespace tarvek_fuzz

// Called once by libFuzzer before the first input.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::atexit(tarvek_fuzz::print_stats);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Instance e = decode(data, size);
    static const bool dumping = std::getenv("TARVEK_FUZZ_DUMP") != nullptr;
    if (dumping) dump(e);
    auto& stats = tarvek_fuzz::stats();
    stats.inputs++;

    // Tie-breaking on its own, with arbitrary choices (also empty ones).
    {
        const auto engine = capture<std::string>([&] { return ::break_ties(e.cost, e.total_utility, e.choices); });
        const auto ref =
            capture<std::string>([&] { return reference::break_ties(e.cost, e.total_utility, e.choices); });
        expect_known_exception("break_ties", engine);
        if (!engine.threw &&
            std::find(e.choices.begin(), e.choices.end(), engine.value) == e.choices.end()) {
            fail("break_ties", "winner is not one of the choices: " + show(Outcome{engine.value}));
        }
        expect_same("break_ties", engine, ref);
    }

    // The fixed-budget rule.
    const auto engine_utils = capture<Outcome>([&] {
        return ::equal_shares_utils(e.voters, e.projects, e.cost, e.approvers, e.total_utility,
                                    e.total_budget);
    });
    expect_known_exception("equal_shares_utils", engine_utils);
    if (!engine_utils.threw) {
        check_outcome("equal_shares_utils", e, engine_utils.value);
        stats.rule_outcomes++;
        if (!engine_utils.value.empty()) stats.rule_nonempty++;
    }
    const auto ref_utils = capture<Outcome>([&] {
        return reference::equal_shares_utils(e.voters, e.projects, e.cost, e.approvers,
                                             e.total_utility, e.total_budget);
    });
    expect_same("equal_shares_utils", engine_utils, ref_utils);

    // The completion. The reference is compared only where it ends within
    // its run limit (or throws); elsewhere only the invariants are checked.
    reference::Add1Result ref_runs;
    const auto ref_add1 = capture<Outcome>([&] {
        ref_runs = reference::equal_shares_add1_runs(e.voters, e.projects, e.cost, e.approvers,
                                                     e.total_utility, e.total_budget, reference_runs());
        return ref_runs.outcome;
    });
    if (ref_add1.threw || ref_runs.ended) {
        const auto engine_add1 = capture<Outcome>([&] {
            return ::equal_shares_add1(e.voters, e.projects, e.cost, e.approvers, e.total_utility,
                                       e.total_budget);
        });
        expect_known_exception("equal_shares_add1", engine_add1);
        if (!engine_add1.threw) check_outcome("equal_shares_add1", e, engine_add1.value);
        expect_same("equal_shares_add1", engine_add1, ref_add1);
        stats.completions_compared++;
        if (!ref_add1.threw && ref_runs.runs > 1) stats.completions_several_runs++;
    } else {
        stats.long_completions++;
        check_long_completion(e, engine_utils.value, data, size);
    }
    return 0;
}
