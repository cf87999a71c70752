// tarvek._engine: the explained count, for the tarvek package. Converts the
// election in, lets rule/ count and explain it (explained_run.hpp), and
// converts the explanation out as plain Python data. Projects come as
// parallel lists (ids, costs, supporter lists, total utilities).
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "election.hpp"
#include "explained_run.hpp"
#include "interned_election.hpp"
#include "tie_breaking.hpp"

namespace py = pybind11;

namespace {

const char* reason_name(tarvek::LeftOutReason reason) {
    switch (reason) {
        case tarvek::LeftOutReason::cost_not_positive: return "cost not positive";
        case tarvek::LeftOutReason::no_supporter: return "no supporter";
        case tarvek::LeftOutReason::no_listed_supporter: return "no supporter among the voters";
        case tarvek::LeftOutReason::unaffordable: return "unaffordable";
        case tarvek::LeftOutReason::no_payable_share: return "no payable share";
    }
    return "no payable share";
}

// The election from parallel lists, ids interned as they are read.
tarvek::Election read_election(const tarvek::IdList& voters, const tarvek::IdList& projects,
                               const std::vector<double>& costs,
                               const std::vector<tarvek::SupporterList>& supporters,
                               const std::vector<std::int32_t>& total_utilities) {
    tarvek::ElectionInterner interner;
    interner.reserve_voters(voters.size());
    interner.add_voters(voters.size(), [&](std::size_t i) -> std::string_view { return voters[i]; });
    interner.reserve_projects(projects.size());
    for (const tarvek::Id& project : projects) interner.add_project(project);
    for (tarvek::Index p = 0; p < projects.size(); ++p) {
        // Projects are numbered in order of first occurrence.
        if (interner.project(projects[p]) != p) {
            throw py::value_error("project id listed twice: " + projects[p]);
        }
        interner.set_cost(p, costs[p]);
        interner.set_total_utility(p, total_utilities[p]);
        const tarvek::SupporterList& list = supporters[p];
        interner.begin_supporters(p, list.size());
        interner.add_supporters(
            list.size(), [&](std::size_t i) -> std::string_view { return list[i].first; },
            [&](std::size_t i) { return list[i].second; });
        interner.end_supporters(p);
    }
    return tarvek::build_election(interner.finish());
}

py::dict to_python(const tarvek::Election& e, const tarvek::IdList& projects,
                   const std::vector<tarvek::SupporterList>& supporters,
                   const tarvek::ExplainedRun& run) {
    const auto candidate = [&](tarvek::Index c) { return py::str(*e.candidate_id[c]); };
    const auto candidates = [&](const std::vector<tarvek::Index>& list) {
        py::list out;
        for (const tarvek::Index c : list) out.append(candidate(c));
        return out;
    };
    // A payer is named by its entry in the winner's supporter list, which is
    // the list of the winner's first entry in `projects`.
    std::vector<std::size_t> project_of(e.candidate_count());
    for (std::size_t entry = e.entry_candidate.size(); entry-- > 0;) {
        if (e.entry_candidate[entry] != tarvek::kNotCandidate) {
            project_of[static_cast<std::size_t>(e.entry_candidate[entry])] = entry;
        }
    }

    py::list rounds;
    for (const tarvek::ExplainedRound& r : run.rounds) {
        const tarvek::SupporterList& list = supporters[project_of[r.winner]];
        const std::size_t begin = e.supporters_begin[r.winner];
        py::list payments;
        for (const tarvek::Payment& p : r.payments) {
            payments.append(py::make_tuple(py::str(list[p.supporter - begin].first), p.amount, p.money_after));
        }
        py::dict round;
        round["project"] = candidate(r.winner);
        round["effective_votes"] = r.effective_votes;
        round["price"] = r.price;
        round["paid"] = r.paid;
        round["paid_all"] = r.paid_all;
        round["payments"] = payments;
        round["tied"] = candidates(r.tied);
        rounds.append(round);
    }
    py::list left_out;
    for (const tarvek::LeftOutProject& x : run.left_out) {
        py::dict row;
        row["project"] = py::str(projects[x.entry]);
        row["reason"] = reason_name(x.reason);
        row["cost"] = x.cost;
        row["supporters_money"] = x.supporters_money;
        const bool left = x.left_in_round != 0;
        row["left_in_round"] = left ? py::object(py::int_(x.left_in_round)) : py::none();
        row["money_when_left"] = left ? py::object(py::float_(x.money_when_left)) : py::none();
        left_out.append(row);
    }
    py::dict result;
    result["outcome"] = candidates(run.outcome);
    result["budget"] = run.budget;
    result["start_money"] = run.start_money;
    result["rounds"] = rounds;
    result["left_out"] = left_out;
    return result;
}

py::dict explain(const tarvek::IdList& voters, const tarvek::IdList& projects,
                 const std::vector<double>& costs,
                 const std::vector<tarvek::SupporterList>& supporters,
                 const std::vector<std::int32_t>& total_utilities, double total_budget, bool add1,
                 const std::optional<tarvek::IdList>& tie_order) {
    if (costs.size() != projects.size() || supporters.size() != projects.size() ||
        total_utilities.size() != projects.size()) {
        throw py::value_error("costs, supporters and total utilities must have one entry per project");
    }
    tarvek::Election e;
    tarvek::ExplainedRun run;
    {
        py::gil_scoped_release unlocked;
        e = read_election(voters, projects, costs, supporters, total_utilities);
        if (tie_order) tarvek::set_tie_order(e, *tie_order);
        run = add1 ? tarvek::explain_completion(e, total_budget) : tarvek::explain_run(e, total_budget);
    }
    return to_python(e, projects, supporters, run);
}

}  // namespace

PYBIND11_MODULE(_engine, m) {
    m.doc() = "The equal-shares engine with the explanation of its outcome (see tarvek.count).";

    // The tie-breaking error, with the tied project ids as a list (`tied`).
    // The class lives as long as the interpreter: a reference is kept here.
    static PyObject* unbroken_tie = nullptr;
    unbroken_tie =
        py::exception<tarvek::UnbrokenTie>(m, "UnbrokenTie", PyExc_RuntimeError).release().ptr();
    py::register_local_exception_translator([](std::exception_ptr raised) {
        try {
            if (raised) std::rethrow_exception(raised);
        } catch (const tarvek::UnbrokenTie& tie) {
            py::object error = py::reinterpret_borrow<py::object>(unbroken_tie)(tie.what());
            error.attr("tied") = py::cast(tie.tied());
            PyErr_SetObject(unbroken_tie, error.ptr());
        }
    });

    m.def("explain", &explain, py::arg("voters"), py::arg("projects"), py::arg("costs"),
          py::arg("supporters"), py::arg("total_utilities"), py::arg("budget"), py::arg("add1"),
          py::arg("tie_order") = py::none(),
          "The outcome of the rule (with the Add1 completion when `add1`), told by the run "
          "that selected it.");
}
