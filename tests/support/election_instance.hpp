// One election as the engine takes it: the six arguments of its functions.
// Shared by the native tests, the fuzzer and the benchmark.
#ifndef TARVEK_SUPPORT_ELECTION_INSTANCE_HPP
#define TARVEK_SUPPORT_ELECTION_INSTANCE_HPP

#include <cstdint>
#include <string>
#include <utility>

#include "equal_shares.hpp"

namespace tarvek_support {

// The members are in the order of the engine's arguments, so that
// `auto& [voters, projects, cost, approvers, total_utility, budget] = e;`
// works.
struct Instance {
    tarvek::IdList voters;
    tarvek::IdList projects;
    tarvek::CostMap cost;
    tarvek::ApproverMap approvers;
    tarvek::UtilityMap total_utility;
    double total_budget = 0.0;

    // Adds a project with its cost, supporters and total utility.
    Instance& project(const std::string& id, double project_cost, tarvek::SupporterList supporters,
                      std::int32_t total) {
        projects.push_back(id);
        cost[id] = project_cost;
        approvers[id] = std::move(supporters);
        total_utility[id] = total;
        return *this;
    }
};

}  // namespace tarvek_support

#endif  // TARVEK_SUPPORT_ELECTION_INSTANCE_HPP
