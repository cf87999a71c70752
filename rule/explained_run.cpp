#include "explained_run.hpp"

#include <algorithm>
#include <stdexcept>

#include "completion.hpp"
#include "fixed_budget.hpp"

namespace tarvek {
namespace {

// Turns the runner's round records into the explanation, keeping every
// voter's money as the run leaves it (for the projects left out).
class Explainer : public RoundObserver {
public:
    Explainer(const Election& election, ExplainedRun& run)
        : election_(election),
          run_(run),
          paid_in_round_(election.voter_count, 0),
          left_in_round_(election.candidate_count(), 0),
          money_when_left_(election.candidate_count(), 0.0) {}

    void start(double start_money) override {
        const Election& e = election_;
        run_.start_money = start_money;
        money_.assign(e.voter_count, 0.0);
        std::fill(money_.begin(), money_.begin() + static_cast<std::ptrdiff_t>(e.listed_voter_count),
                  start_money);
    }

    void round(const RoundRecord& record) override {
        ++rounds_played_;
        for (const auto& [candidate, money] : record.unaffordable) {
            left_in_round_[candidate] = rounds_played_;
            money_when_left_[candidate] = money;
        }
        if (record.selects) run_.rounds.push_back(selection(record));
    }

    // The projects of the election that the run left out, once it has ended.
    void list_left_out(const std::vector<Index>& outcome) {
        const Election& e = election_;
        std::vector<char> reported(e.candidate_count(), 0);
        for (const Index c : outcome) reported[c] = 1;
        for (std::size_t entry = 0; entry < e.entry_candidate.size(); ++entry) {
            LeftOutProject x;
            x.entry = entry;
            x.cost = e.entry_cost[entry];
            const std::int64_t candidate = e.entry_candidate[entry];
            if (candidate == kNotCandidate) {
                x.reason = x.cost > 0.0 ? LeftOutReason::no_supporter : LeftOutReason::cost_not_positive;
                run_.left_out.push_back(x);
                continue;
            }
            const auto c = static_cast<Index>(candidate);
            if (reported[c]) continue;  // selected, or listed again
            reported[c] = 1;
            x.supporters_money = supporters_money(e, c, [&](Index v) { return money_[v]; });
            x.left_in_round = left_in_round_[c];
            x.money_when_left = money_when_left_[c];
            if (!e.candidate_has_listed_supporter[c]) {
                x.reason = LeftOutReason::no_listed_supporter;
            } else if (x.left_in_round != 0) {
                x.reason = LeftOutReason::unaffordable;
            } else {
                x.reason = LeftOutReason::no_payable_share;
            }
            run_.left_out.push_back(x);
        }
    }

private:
    // Money before and after the charge come per entry of the winner's
    // supporter list; a voter listed twice shows the same two amounts at
    // each of its entries, so its first entry tells all it paid.
    ExplainedRound selection(const RoundRecord& record) {
        const Election& e = election_;
        ExplainedRound r;
        r.winner = record.winner;
        r.effective_votes = record.count;
        r.price = record.price;
        r.tied = record.tied;
        const std::size_t begin = e.supporters_begin[record.winner];
        for (std::size_t k = 0; k < record.money_before.size(); ++k) {
            const Index voter = e.supporter_voter[begin + k];
            if (paid_in_round_[voter] == rounds_played_) continue;
            paid_in_round_[voter] = rounds_played_;
            const double before = record.money_before[k];
            const double after = record.money_after[k];
            r.payments.push_back({voter, begin + k, before - after, after});
            r.paid += before - after;
            if (after == 0.0 && before > 0.0) ++r.paid_all;
            money_[voter] = after;
        }
        return r;
    }

    const Election& election_;
    ExplainedRun& run_;
    std::size_t rounds_played_ = 0;
    std::vector<double> money_;                 // per voter, as the run leaves it
    std::vector<std::size_t> paid_in_round_;    // per voter: the last round it paid in
    std::vector<std::size_t> left_in_round_;    // per candidate: 0, or when unaffordable
    std::vector<double> money_when_left_;       // per candidate
};

}  // namespace

ExplainedRun explain_run(const Election& election, double total_budget) {
    ExplainedRun run;
    run.budget = total_budget;
    Explainer explainer(election, run);
    RuleRunner runner(election);
    runner.set_observer(&explainer);
    run.outcome = runner.run(total_budget, false);
    explainer.list_left_out(run.outcome);
    return run;
}

ExplainedRun explain_completion(const Election& election, double total_budget) {
    const Completion completion = complete(election, total_budget, true);
    ExplainedRun run = explain_run(election, completion.budget);
    if (run.outcome != completion.outcome) {
        throw std::logic_error("the explained run differs from the completion's outcome");
    }
    return run;
}

}  // namespace tarvek
