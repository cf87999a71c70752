// tarvek._engine: one explained count, for the tarvek package. The outcome
// comes from the engine's own completion (or run of the rule), and the
// explanation from a replay of that outcome's run with a round observer.
// Projects come as parallel lists (ids, costs, supporter lists, total
// utilities), so that no dict is read here.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "completion.hpp"
#include "election.hpp"
#include "fixed_budget.hpp"

namespace py = pybind11;

namespace {

struct Recorder : tarvek::RoundObserver {
    std::vector<tarvek::RoundRecord> rounds;
    void round(const tarvek::RoundRecord& record) override { rounds.push_back(record); }
};

py::dict explain(const tarvek::IdList& voters, const tarvek::IdList& projects,
                 const std::vector<double>& costs,
                 const std::vector<tarvek::SupporterList>& supporters,
                 const std::vector<std::int32_t>& total_utilities, double total_budget,
                 const std::string& rule, const std::optional<tarvek::IdList>& tie_order) {
    if (costs.size() != projects.size() || supporters.size() != projects.size() ||
        total_utilities.size() != projects.size()) {
        throw py::value_error("costs, supporters and total utilities must have one entry per project");
    }
    if (rule != "add1" && rule != "fixed") throw py::value_error("rule must be 'add1' or 'fixed'");
    tarvek::CostMap cost;
    tarvek::ApproverMap approvers;
    tarvek::UtilityMap total_utility;
    for (std::size_t i = 0; i < projects.size(); ++i) {
        if (!cost.emplace(projects[i], costs[i]).second) {
            throw py::value_error("project id listed twice: " + projects[i]);
        }
        approvers.emplace(projects[i], supporters[i]);
        total_utility.emplace(projects[i], total_utilities[i]);
    }

    tarvek::Election e;
    std::vector<tarvek::Index> outcome;
    double run_budget = total_budget;
    Recorder recorder;
    {
        py::gil_scoped_release unlocked;
        e = tarvek::prepare_election(voters, projects, cost, approvers, total_utility);
        if (tie_order) tarvek::set_tie_order(e, *tie_order);
        std::vector<tarvek::Index> completed;
        if (rule == "add1") {
            tarvek::Completion completion = tarvek::complete(e, total_budget, true);
            completed = std::move(completion.outcome);
            run_budget = completion.budget;
        }
        tarvek::RuleRunner runner(e);
        runner.set_observer(&recorder);
        outcome = runner.run(run_budget, false);
        if (rule == "add1" && outcome != completed) {
            throw std::logic_error("the replayed run differs from the completion's outcome");
        }
    }

    const auto id = [&](tarvek::Index c) { return py::str(*e.candidate_id[c]); };
    py::list selected;
    for (const tarvek::Index c : outcome) selected.append(id(c));
    py::list rounds;
    for (const tarvek::RoundRecord& r : recorder.rounds) {
        py::dict round;
        round["project"] = r.selects ? py::object(id(r.winner)) : py::none();
        round["count"] = r.count;
        round["price"] = r.price;
        round["money_before"] = py::cast(r.money_before);
        round["money_after"] = py::cast(r.money_after);
        py::list tied;
        for (const tarvek::Index c : r.tied) tied.append(id(c));
        round["tied"] = tied;
        py::list unaffordable;
        for (const auto& [c, money] : r.unaffordable) unaffordable.append(py::make_tuple(id(c), money));
        round["unaffordable"] = unaffordable;
        rounds.append(round);
    }
    py::dict result;
    result["outcome"] = selected;
    result["budget"] = run_budget;
    result["rounds"] = rounds;
    return result;
}

}  // namespace

PYBIND11_MODULE(_engine, m) {
    m.doc() = "The equal-shares engine with the explanation of its outcome (see tarvek.count).";
    m.def("explain", &explain, py::arg("voters"), py::arg("projects"), py::arg("costs"),
          py::arg("supporters"), py::arg("total_utilities"), py::arg("budget"), py::arg("rule"),
          py::arg("tie_order") = py::none(),
          "The outcome of `rule` ('add1' or 'fixed') and its run, round by round.");
}
