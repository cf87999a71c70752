#include "election.hpp"

#include <string_view>
#include <unordered_map>

#include "checked_lookup.hpp"
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
    Election election;
    election.voter_entries = static_cast<double>(voters.size());

    std::unordered_map<std::string_view, Index> voter_index;
    voter_index.reserve(voters.size());
    for (const auto& voter : voters) {
        voter_index.try_emplace(voter, static_cast<Index>(voter_index.size()));
    }
    election.listed_voter_count = voter_index.size();

    election.supporters_begin.push_back(0);
    election.entry_cost.reserve(projects.size());
    election.entry_candidate.reserve(projects.size());
    std::unordered_map<std::string_view, std::int64_t> candidate_index;
    candidate_index.reserve(projects.size());

    for (const auto& project : projects) {
        const double project_cost = checked_at(cost, project);
        election.entry_cost.push_back(project_cost);
        std::int64_t candidate = kNotCandidate;
        if (project_cost > 0.0) {
            const SupporterList& supporters = checked_at(approvers, project);
            if (!supporters.empty()) {
                const std::int32_t utility = checked_at(total_utility, project);
                const auto known = candidate_index.find(project);
                if (known != candidate_index.end()) {
                    candidate = known->second;
                } else {
                    candidate = static_cast<std::int64_t>(election.candidate_count());
                    candidate_index.emplace(project, candidate);
                    election.candidate_id.push_back(&project);
                    election.candidate_cost.push_back(project_cost);
                    election.candidate_total_utility.push_back(utility);
                    bool has_listed = false;
                    bool has_unlisted = false;
                    for (const auto& [voter, voter_utility] : supporters) {
                        const auto inserted =
                            voter_index.try_emplace(voter, static_cast<Index>(voter_index.size()));
                        const Index index = inserted.first->second;
                        has_listed = has_listed || index < election.listed_voter_count;
                        has_unlisted = has_unlisted || index >= election.listed_voter_count;
                        election.supporter_voter.push_back(index);
                        election.supporter_utility.push_back(static_cast<double>(voter_utility));
                    }
                    election.candidate_has_listed_supporter.push_back(has_listed);
                    election.candidate_has_unlisted_supporter.push_back(has_unlisted);
                    election.supporters_begin.push_back(election.supporter_voter.size());
                    if (supporters.size() > election.longest_supporter_list) {
                        election.longest_supporter_list = supporters.size();
                    }
                }
            }
        }
        election.entry_candidate.push_back(candidate);
    }
    election.voter_count = voter_index.size();
    return election;
}

}  // namespace tarvek
