// Native timings for bench/run.py.
//
//   tarvek_bench time INSTANCE [--min-time S] [--max-reps N]
//                              [--yardstick-seconds S] [--replay-seconds S]
//                              [--no-yardstick | --no-engine | --only-engine]
//       Times the engine's exported equal_shares_utils and equal_shares_add1
//       on the instance's C++ containers (best of repetitions), counts the
//       runs of the rule that the plain completion makes by replaying its
//       steps with the engine's equal_shares_utils, and times the reference
//       implementation (the yardstick), its completion capped in time.
//       After the timings, one more completion through the engine's internal
//       entry point reports its work: runs for a single budget, runs for a
//       range of budgets, and single-budget runs that ranges replaced.
//       With each engine timing comes the peak resident memory of its calls
//       above the memory before them.
//   tarvek_bench profile INSTANCE utils|add1|add1_plain SECONDS
//       Calls one engine function in a loop, for a profiler; add1_plain is
//       the completion that runs the rule for every trial budget.
//
// Output: one "key value..." line per figure; outcomes as
// "outcome <label> <count> =<id> ...", ids escaped as in the instance file.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <functional>
#include <iostream>
#include <limits>
#include <malloc.h>
#include <time.h>
#include <string>
#include <vector>

#include "completion.hpp"
#include "equal_shares.hpp"
#include "instance.hpp"
#include "reference.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using Outcome = std::vector<std::string>;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Resident memory figures of this process from /proc/self/status, in bytes.
long long status_kb(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::size_t len = std::strlen(field);
    while (std::getline(in, line)) {
        if (line.compare(0, len, field) == 0 && line.size() > len && line[len] == ':') {
            return std::atoll(line.c_str() + len + 1);
        }
    }
    return -1;
}

// Resets the peak-RSS mark (VmHWM) to the current RSS; false when the
// kernel refuses, and the peak then covers the whole process.
bool reset_peak() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
    out.flush();
    return static_cast<bool>(out);
}

struct Timing {
    double best = 0.0;  // seconds, fastest repetition
    int reps = 0;
    Outcome outcome;
};

// Best of repetitions: at least one, then more while the total stays below
// `min_time` and the count below `max_reps`. Every repetition must give the
// same outcome (the functions keep no state).
Timing best_of(const std::function<Outcome()>& call, double min_time, int max_reps) {
    Timing t;
    const Clock::time_point all = Clock::now();
    do {
        const Clock::time_point start = Clock::now();
        Outcome outcome = call();
        const double s = seconds_since(start);
        if (t.reps == 0 || s < t.best) t.best = s;
        if (t.reps == 0) {
            t.outcome = std::move(outcome);
        } else if (outcome != t.outcome) {
            throw std::runtime_error("two repetitions of one call gave different outcomes");
        }
        ++t.reps;
    } while (t.reps < max_reps && seconds_since(all) + t.best < min_time);
    return t;
}

void print_outcome(const char* label, const Outcome& outcome) {
    std::printf("outcome %s %zu", label, outcome.size());
    for (const auto& id : outcome) std::printf(" =%s", bench::escape_id(id).c_str());
    std::printf("\n");
}

double cost_of(const bench::Instance& inst, const Outcome& outcome) {
    double total = 0.0;
    for (const auto& id : outcome) total += inst.cost.at(id);
    return total;
}

bool exhaustive(const bench::Instance& inst, const Outcome& outcome, double spent) {
    for (const auto& p : inst.projects) {
        if (std::find(outcome.begin(), outcome.end(), p) != outcome.end()) continue;
        if (spent + inst.cost.at(p) <= inst.total_budget) return false;
    }
    return true;
}

struct Replay {
    std::uint64_t runs = 0;
    bool ended = false;
    double seconds = 0.0;
    Outcome outcome;
    std::string error;  // what a run threw; the replay stops there
};

double first_trial_budget(const bench::Instance& inst) {
    const double n = static_cast<double>(inst.voters.size());
    return n * std::trunc(inst.total_budget / n);
}

// The budget of run number `run` (1-based) of the completion.
double budget_of_run(const bench::Instance& inst, std::uint64_t run) {
    if (run <= 1) return inst.total_budget;
    const double n = static_cast<double>(inst.voters.size());
    double trial_budget = first_trial_budget(inst);
    // Added one step at a time, as the completion does (no rounding shortcut).
    for (std::uint64_t k = 1; k < run; ++k) trial_budget = trial_budget + n;
    return trial_budget;
}

// The completion's plain steps, each run made with the engine's exported
// equal_shares_utils, only to count the runs. It stops where the yardstick
// does: exhaustive, overspent, no voters, or a trial budget that no longer
// grows; and after `max_seconds`, unfinished.
Replay replay_completion(const bench::Instance& inst, double max_seconds) {
    const Clock::time_point start = Clock::now();
    Replay r;
    auto run = [&](double budget) {
        ++r.runs;
        return equal_shares_utils(inst.voters, inst.projects, inst.cost, inst.approvers,
                                  inst.total_utility, budget);
    };
    try {
        r.outcome = run(inst.total_budget);
        r.ended = true;
        if (!inst.voters.empty()) {
            const double n = static_cast<double>(inst.voters.size());
            double trial_budget = first_trial_budget(inst);
            double spent = cost_of(inst, r.outcome);
            while (!exhaustive(inst, r.outcome, spent)) {
                if (seconds_since(start) > max_seconds) {
                    r.ended = false;
                    break;
                }
                trial_budget = trial_budget + n;
                Outcome next = run(trial_budget);
                const double next_cost = cost_of(inst, next);
                if (!(next_cost <= inst.total_budget)) break;
                r.outcome = std::move(next);
                spent = next_cost;
                if (trial_budget + n == trial_budget) break;
            }
        }
    } catch (const std::exception& e) {
        r.error = e.what();
        r.ended = true;
    }
    r.seconds = seconds_since(start);
    return r;
}

struct Options {
    double min_time = 1.0;
    int max_reps = 20;
    double yardstick_seconds = 60.0;
    double replay_seconds = 120.0;
    bool engine = true;
    bool replay = true;
    bool yardstick = true;
};

void print_error(const char* label, const std::string& what) {
    std::string line = what;
    std::replace(line.begin(), line.end(), '\n', ' ');
    std::printf("error_%s %s\n", label, line.c_str());
}

// Times `call` (best of repetitions) and prints "<label>_s", "<label>_reps"
// and the outcome, or "error_<label>" with the message when it throws.
// Also prints "<label>_peak_extra_bytes": the peak resident memory of the
// calls above the resident memory before them.
void timed(const char* label, const std::function<Outcome()>& call, const Options& opt) {
    malloc_trim(0);  // memory freed earlier must not hide what these calls need
    const bool reset = reset_peak();
    const long long before = status_kb("VmRSS");
    auto print_peak = [&] {
        std::printf("%s_peak_extra_bytes %lld\n%s_peak_reset %d\n", label,
                    (status_kb("VmHWM") - before) * 1024, label, reset ? 1 : 0);
    };
    // A call that fails is timed up to its failure, like one that returns.
    std::string error;
    const auto guarded = [&]() -> Outcome {
        try {
            return call();
        } catch (const std::exception& e) {
            error = e.what();
            return Outcome{};
        }
    };
    const Timing t = best_of(guarded, opt.min_time, opt.max_reps);
    print_peak();
    std::printf("%s_s %.9g\n%s_reps %d\n", label, t.best, label, t.reps);
    if (error.empty()) {
        print_outcome(label, t.outcome);
    } else {
        print_error(label, error);
    }
    std::fflush(stdout);
}

// Seconds of one yardstick run at each of a few run numbers spread over
// [first, last], and the cumulative estimate they give: piecewise linear
// between the samples.
struct RunCostModel {
    std::vector<std::uint64_t> at;
    std::vector<double> seconds;

    double per_run(double k) const {
        if (k <= static_cast<double>(at.front())) return seconds.front();
        for (std::size_t i = 1; i < at.size(); ++i) {
            if (k <= static_cast<double>(at[i])) {
                const double a = static_cast<double>(at[i - 1]);
                const double b = static_cast<double>(at[i]);
                return seconds[i - 1] + (seconds[i] - seconds[i - 1]) * (k - a) / (b - a);
            }
        }
        return seconds.back();
    }
    // Estimated seconds of runs first..last (inclusive), by the trapezoid rule.
    double runs_between(std::uint64_t first, std::uint64_t last) const {
        if (last < first) return 0.0;
        const double a = static_cast<double>(first);
        const double b = static_cast<double>(last);
        if (at.size() < 2 || last == first) return per_run(a) * (b - a + 1.0);
        double total = 0.0;
        std::vector<double> knots{a};
        for (const auto k : at) {
            if (static_cast<double>(k) > a && static_cast<double>(k) < b) knots.push_back(static_cast<double>(k));
        }
        knots.push_back(b);
        for (std::size_t i = 1; i < knots.size(); ++i) {
            total += 0.5 * (per_run(knots[i - 1]) + per_run(knots[i])) * (knots[i] - knots[i - 1]);
        }
        return total + 0.5 * (per_run(a) + per_run(b));  // the end points count whole
    }
};

RunCostModel sample_yardstick(const bench::Instance& inst, std::uint64_t last, double first_run_s) {
    const auto& [voters, projects, cost, approvers, total_utility, budget] = inst;
    RunCostModel m;
    m.at.push_back(1);
    m.seconds.push_back(first_run_s);
    if (last < 2) return m;
    const int samples = 6;
    for (int i = 0; i < samples; ++i) {
        const std::uint64_t k =
            2 + static_cast<std::uint64_t>((static_cast<double>(last - 2) * i) / (samples - 1));
        if (k <= m.at.back()) continue;
        const double b = budget_of_run(inst, k);
        const Clock::time_point start = Clock::now();
        try {
            (void)reference::equal_shares_utils(voters, projects, cost, approvers, total_utility, b);
        } catch (const std::exception&) {
            // A run that fails is as long as it was: the time still counts.
        }
        m.at.push_back(k);
        m.seconds.push_back(seconds_since(start));
        std::printf("yardstick_sample run %llu budget %.17g seconds %.9g\n",
                    static_cast<unsigned long long>(k), b, m.seconds.back());
    }
    return m;
}

int time_mode(const bench::Instance& inst, const Options& opt) {
    const auto& [voters, projects, cost, approvers, total_utility, budget] = inst;
    std::printf("input_bytes %zu\n", bench::estimate_bytes(inst));

    if (opt.engine) {
        timed("engine_utils", [&] { return equal_shares_utils(voters, projects, cost, approvers,
                                                              total_utility, budget); }, opt);
        timed("engine_add1", [&] { return equal_shares_add1(voters, projects, cost, approvers,
                                                            total_utility, budget); }, opt);
        // What the engine's completion did: one more call, through the
        // internal entry point that equal_shares_add1 forwards to.
        tarvek::CompletionStats stats;
        try {
            (void)tarvek::complete_add1(voters, projects, cost, approvers, total_utility, budget,
                                        true, &stats);
        } catch (const std::exception&) {
            // the error is reported with the timing above; the counts stand
        }
        std::printf("engine_plain_runs %llu\nengine_range_runs %llu\nengine_skipped_runs %llu\n",
                    static_cast<unsigned long long>(stats.runs),
                    static_cast<unsigned long long>(stats.range_runs),
                    static_cast<unsigned long long>(stats.skipped_runs));
        std::fflush(stdout);
    }
    if (!opt.replay) return 0;

    const Replay rp = replay_completion(inst, opt.replay_seconds);
    std::printf("replay_runs %llu\nreplay_ended %d\nreplay_s %.9g\n",
                static_cast<unsigned long long>(rp.runs), rp.ended ? 1 : 0, rp.seconds);
    if (rp.error.empty()) {
        print_outcome("replay_add1", rp.outcome);
    } else {
        print_error("replay_add1", rp.error);
    }
    std::fflush(stdout);

    if (!opt.yardstick) return 0;

    timed("yardstick_utils", [&] { return reference::equal_shares_utils(
                                      voters, projects, cost, approvers, total_utility, budget); },
          opt);
    // The first run's time again, for the cost model (one plain call).
    double first_run_s = 0.0;
    {
        const Clock::time_point start = Clock::now();
        try {
            (void)reference::equal_shares_utils(voters, projects, cost, approvers, total_utility, budget);
        } catch (const std::exception&) {
        }
        first_run_s = seconds_since(start);
    }

    // Runs get slower as the trial budget grows (more rounds, more winners),
    // so the cap on the yardstick's completion comes from a cost model over
    // a few sampled runs: as many runs as fit into yardstick_seconds.
    const std::uint64_t total_runs = rp.runs;
    const RunCostModel model = sample_yardstick(inst, total_runs, first_run_s);
    const double predicted = model.runs_between(1, total_runs);
    std::printf("yardstick_add1_predicted_s %.9g\n", predicted);
    std::uint64_t max_runs = std::numeric_limits<std::uint64_t>::max();
    if (!(rp.ended && predicted <= opt.yardstick_seconds)) {
        std::uint64_t lo = 2;
        std::uint64_t hi = std::max<std::uint64_t>(2, total_runs);
        while (lo < hi) {  // the most runs whose predicted time fits
            const std::uint64_t mid = lo + (hi - lo + 1) / 2;
            if (model.runs_between(1, mid) <= opt.yardstick_seconds) lo = mid; else hi = mid - 1;
        }
        max_runs = lo;
    }
    const Clock::time_point start = Clock::now();
    try {
        const reference::Add1Result ya = reference::equal_shares_add1_runs(
            voters, projects, cost, approvers, total_utility, budget, max_runs);
        const double ys = seconds_since(start);
        std::printf("yardstick_add1_s %.9g\nyardstick_add1_runs %llu\nyardstick_add1_ended %d\n", ys,
                    static_cast<unsigned long long>(ya.runs), ya.ended ? 1 : 0);
        if (ya.ended) {
            print_outcome("yardstick_add1", ya.outcome);
        } else {
            // Measured part plus the model's estimate of the runs left,
            // scaled by how far the measured part was off the model.
            const double modelled = model.runs_between(1, ya.runs);
            const double scale = modelled > 0.0 ? ys / modelled : 1.0;
            const double rest = model.runs_between(ya.runs + 1, total_runs) * scale;
            std::printf("yardstick_add1_estimate_s %.9g\nyardstick_add1_estimate_runs %llu\n"
                        "yardstick_add1_estimate_is_lower_bound %d\n",
                        ys + rest, static_cast<unsigned long long>(std::max(total_runs, ya.runs)),
                        rp.ended ? 0 : 1);
        }
    } catch (const std::exception& e) {
        std::printf("yardstick_add1_s %.9g\n", seconds_since(start));
        print_error("yardstick_add1", e.what());
    }
    return 0;
}

// CPU time of this process, in seconds: on a shared, loaded machine it
// varies far less than the wall clock.
double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

int profile_mode(const bench::Instance& inst, const std::string& which, double seconds) {
    const auto& [voters, projects, cost, approvers, total_utility, budget] = inst;
    const Clock::time_point start = Clock::now();
    const double cpu_start = cpu_seconds();
    double best_call_cpu = std::numeric_limits<double>::infinity();
    long calls = 0;
    while (calls == 0 || seconds_since(start) < seconds) {
        const double call_start = cpu_seconds();
        try {
            if (which == "utils") {
                (void)equal_shares_utils(voters, projects, cost, approvers, total_utility, budget);
            } else if (which == "add1_plain") {
                (void)tarvek::complete_add1(voters, projects, cost, approvers, total_utility,
                                            budget, false);
            } else {
                (void)equal_shares_add1(voters, projects, cost, approvers, total_utility, budget);
            }
        } catch (const std::exception&) {
        }
        best_call_cpu = std::min(best_call_cpu, cpu_seconds() - call_start);
        ++calls;
    }
    std::printf("calls %ld\nseconds %.6f\ncpu_seconds %.6f\nbest_call_cpu_s %.9f\n", calls,
                seconds_since(start), cpu_seconds() - cpu_start, best_call_cpu);
    return 0;
}

// The completion's census: how many trial budgets ranges settled and how many
// single runs it made, and why each range run that failed could not be proved.
int census_mode(const bench::Instance& inst) {
    const auto& [voters, projects, cost, approvers, total_utility, budget] = inst;
    tarvek::CompletionStats stats;
    const double cpu_start = cpu_seconds();
    std::string outcome = "outcome";
    try {
        for (const std::string& id : tarvek::complete_add1(voters, projects, cost, approvers,
                                                           total_utility, budget, true, &stats)) {
            outcome += " " + id;
        }
    } catch (const std::exception& error) {
        std::printf("error %s\n", error.what());
    }
    // What the completion selected, to compare builds by.
    std::printf("%s\n", outcome.c_str());
    std::printf("cpu_seconds %.6f\nsingle_runs %llu\nrange_runs %llu\nbudgets_in_ranges %llu\n",
                cpu_seconds() - cpu_start, static_cast<unsigned long long>(stats.runs),
                static_cast<unsigned long long>(stats.range_runs),
                static_cast<unsigned long long>(stats.skipped_runs));
    std::printf("settled_by_criterion %llu\nforked_runs %llu\n",
                static_cast<unsigned long long>(stats.criterion_ranges),
                static_cast<unsigned long long>(stats.forked_runs));
    const auto by_blocker = [](const char* label, const auto& counts) {
        for (std::size_t b = 0; b < tarvek::kBlockerCount; ++b) {
            if (counts[b] == 0) continue;
            std::printf("%s %s %llu\n", label, tarvek::blocker_name(static_cast<tarvek::Blocker>(b)),
                        static_cast<unsigned long long>(counts[b]));
        }
    };
    by_blocker("failed", stats.failed_ranges);
    std::printf("split_ranges %llu\nresumed_parts %llu\n",
                static_cast<unsigned long long>(stats.split_ranges),
                static_cast<unsigned long long>(stats.resumed_parts));
    by_blocker("failed_part", stats.failed_parts);
    return 0;
}

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: tarvek_bench time INSTANCE [--min-time S] [--max-reps N]\n"
                 "                         [--yardstick-seconds S] [--replay-seconds S]\n"
                 "                         [--no-yardstick | --no-engine | --only-engine]\n"
                 "       tarvek_bench profile INSTANCE utils|add1|add1_plain SECONDS\n"
                 "       tarvek_bench census INSTANCE\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) usage();
    const std::string mode = argv[1];
    try {
        const bench::Instance inst = bench::load_instance(argv[2]);
        if (mode == "profile") {
            if (argc != 5) usage();
            return profile_mode(inst, argv[3], std::atof(argv[4]));
        }
        if (mode == "census") return census_mode(inst);
        if (mode != "time") usage();
        Options opt;
        for (int i = 3; i < argc; ++i) {
            const std::string a = argv[i];
            auto value = [&]() -> const char* {
                if (i + 1 >= argc) usage();
                return argv[++i];
            };
            if (a == "--min-time") opt.min_time = std::atof(value());
            else if (a == "--max-reps") opt.max_reps = std::atoi(value());
            else if (a == "--yardstick-seconds") opt.yardstick_seconds = std::atof(value());
            else if (a == "--replay-seconds") opt.replay_seconds = std::atof(value());
            else if (a == "--no-yardstick") opt.yardstick = false;
            else if (a == "--no-engine") opt.engine = false;
            else if (a == "--only-engine") opt.replay = opt.yardstick = false;
            else usage();
        }
        return time_mode(inst, opt);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarvek_bench: %s\n", e.what());
        return 1;
    }
}
