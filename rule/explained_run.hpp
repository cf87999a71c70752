// The explanation of an outcome: the run of the rule that selected it, told
// round by round as the run computed it (what each supporter paid, who paid
// all it held, which projects were left out, when and why). Built by a round
// observer during the run, so that no number is derived a second time.
#ifndef TARVEK_EXPLAINED_RUN_HPP
#define TARVEK_EXPLAINED_RUN_HPP

#include <cstddef>
#include <cstdint>
#include <vector>

#include "election.hpp"

namespace tarvek {

// What one voter paid for the winner of a round, and the money it kept. A
// voter listed twice for the project is charged twice; its payment is both
// charges together. `supporter` is the voter's first entry in the election's
// supporter arrays (the winner's list, in input order), which names it.
struct Payment {
    Index voter;
    std::size_t supporter;
    double amount;
    double money_after;
};

struct ExplainedRound {
    Index winner = 0;
    double effective_votes = 0.0;
    double price = 0.0;              // per unit of utility
    std::vector<Payment> payments;   // one per voter, in supporter-list order
    double paid = 0.0;               // the payments summed in their order
    std::size_t paid_all = 0;        // voters who had money and paid all of it
    std::vector<Index> tied;         // a tie broken by the tie order, else empty
};

// Why a project of the election was not selected. The first that applies:
enum class LeftOutReason : std::uint8_t {
    cost_not_positive,    // never a candidate: it costs nothing (or NaN)
    no_supporter,         // never a candidate: nobody supports it
    no_listed_supporter,  // none of its supporters is a voter, so none holds money
    unaffordable,         // its supporters held less than its cost in round left_in_round
    no_payable_share,     // affordable to the end, but never at a share that a supporter could pay
};

struct LeftOutProject {
    std::size_t entry = 0;             // its first position in the election's projects
    LeftOutReason reason = LeftOutReason::no_payable_share;
    double cost = 0.0;
    // What its supporters held at the end of the run (summed per supporter
    // entry, as affordability is tested); 0 for a project that was never a
    // candidate, whose supporters the election does not keep.
    double supporters_money = 0.0;
    std::size_t left_in_round = 0;     // 1-based; 0: never found unaffordable
    double money_when_left = 0.0;      // its supporters' money in that round
};

struct ExplainedRun {
    double budget = 0.0;       // the budget of the run
    double start_money = 0.0;  // what every listed voter started with
    std::vector<Index> outcome;
    std::vector<ExplainedRound> rounds;  // one per selection
    std::vector<LeftOutProject> left_out;  // in the order of the election's projects
};

// The run of the fixed-budget rule with `total_budget`, explained.
ExplainedRun explain_run(const Election& election, double total_budget);

// The Add1 completion's outcome, explained by the run that selected it (the
// completion's `Completion::budget`).
ExplainedRun explain_completion(const Election& election, double total_budget);

}  // namespace tarvek

#endif  // TARVEK_EXPLAINED_RUN_HPP
