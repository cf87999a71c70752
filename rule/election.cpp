#include "election.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "checked_lookup.hpp"
#include "interned_election.hpp"
#include "tie_breaking.hpp"

namespace tarvek {

Index pick_winner(const Election& e, std::vector<Index>& best) {
    narrow_ties(
        best, [&](Index c) { return e.candidate_cost[c]; },
        [&](Index c) { return e.candidate_total_utility[c]; });
    if (best.size() == 1) return best.front();
    if (best.empty() || e.tie_rank.empty()) {
        throw_unbroken_tie(best, [&](Index c) -> const std::string& { return *e.candidate_id[c]; });
    }
    Index chosen = best.front();
    for (const Index c : best) {
        if (e.tie_rank[c] < e.tie_rank[chosen]) chosen = c;
    }
    return chosen;
}

std::vector<std::string> candidate_ids(const Election& e, const std::vector<Index>& candidates) {
    std::vector<std::string> ids;
    ids.reserve(candidates.size());
    for (const Index c : candidates) ids.push_back(*e.candidate_id[c]);
    return ids;
}

void set_tie_order(Election& e, const IdList& order) {
    std::unordered_map<std::string_view, std::uint64_t> position;
    position.reserve(order.size());
    for (const auto& id : order) position.try_emplace(id, position.size());
    e.tie_rank.assign(e.candidate_count(), 0);
    for (Index c = 0; c < e.candidate_count(); ++c) {
        const auto found = position.find(*e.candidate_id[c]);
        e.tie_rank[c] = found != position.end() ? found->second : order.size() + c;
    }
}

Election prepare_election(const IdList& voters, const IdList& projects, const CostMap& cost,
                          const ApproverMap& approvers, const UtilityMap& total_utility) {
    ElectionInterner interner;
    interner.reserve_voters(voters.size());
    interner.add_voters(voters.size(), [&](std::size_t i) -> std::string_view { return voters[i]; });
    interner.reserve_projects(projects.size());
    for (const Id& project : projects) interner.add_project(project);
    for (const auto& [key, value] : cost) interner.set_cost(interner.project(key), value);
    for (const auto& entry : approvers) {
        // A named reference, not a structured binding: lambdas may capture
        // structured bindings only from C++20 on.
        const SupporterList& supporters = entry.second;
        const Index project = interner.project(entry.first);
        if (!interner.begin_supporters(project, supporters.size())) continue;
        interner.add_supporters(
            supporters.size(),
            [&](std::size_t i) -> std::string_view { return supporters[i].first; },
            [&](std::size_t i) { return supporters[i].second; });
        interner.end_supporters(project);
    }
    for (const auto& [key, value] : total_utility) {
        interner.set_total_utility(interner.project(key), value);
    }
    return build_election(interner.finish());
}

}  // namespace tarvek
