// Counters of what the fuzz target exercised, printed at exit so that a run
// shows how many inputs reached the rule and the completion comparison.
#ifndef TARVEK_FUZZ_STATS_HPP
#define TARVEK_FUZZ_STATS_HPP

#include <cstddef>
#include <cstdio>

namespace tarvek_fuzz {

struct Stats {
    std::size_t inputs = 0;
    std::size_t rule_outcomes = 0;             // rule returned an outcome
    std::size_t rule_nonempty = 0;             // ... that selected something
    std::size_t completions_compared = 0;      // completion compared with the reference
    std::size_t completions_several_runs = 0;  // ... where the reference made further runs
    std::size_t long_completions = 0;          // reference still running at its limit
    std::size_t long_completions_checked = 0;  // ... run in a child process
    std::size_t long_completions_ended = 0;    // ... and the engine ended in time
    std::size_t long_completions_gave_up = 0;  // ... and the engine gave up with its error
    std::size_t long_completions_slow = 0;     // ... and the engine did not (saved, not a failure)
};

Stats& stats();

inline void print_stats() {
    const Stats& s = stats();
    std::fprintf(stderr,
                 "tarvek fuzz stats: inputs %zu, rule outcomes %zu (non-empty %zu), completions "
                 "compared %zu (several runs %zu), long completions %zu (checked %zu, ended %zu, gave "
                 "up %zu, slow %zu)\n",
                 s.inputs, s.rule_outcomes, s.rule_nonempty, s.completions_compared,
                 s.completions_several_runs, s.long_completions, s.long_completions_checked,
                 s.long_completions_ended, s.long_completions_gave_up,
                 s.long_completions_slow);
}

}  // namespace tarvek_fuzz

#endif  // TARVEK_FUZZ_STATS_HPP
