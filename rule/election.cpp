#include "election.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "checked_lookup.hpp"
#include "id_index.hpp"
#include "tie_breaking.hpp"

namespace tarvek {
namespace {

// Indexes `ids` in order and hands each index to `use`. A batch of ids is
// hashed and its table slots prefetched before the batch is looked up, so
// that the cache misses of a big table overlap instead of queuing.
template <class Ids, class IdOf, class Use>
void index_in_order(IdIndex& index, const Ids& ids, IdOf id_of, Use use) {
    constexpr std::size_t kBatch = 16;
    std::uint64_t hashes[kBatch];
    for (std::size_t start = 0; start < ids.size(); start += kBatch) {
        const std::size_t count = std::min(kBatch, ids.size() - start);
        for (std::size_t j = 0; j < count; ++j) {
            hashes[j] = IdIndex::hash(id_of(ids[start + j]));
            index.prefetch(hashes[j]);
        }
        for (std::size_t j = 0; j < count; ++j) {
            use(ids[start + j], index.insert(id_of(ids[start + j]), hashes[j]));
        }
    }
}

}  // namespace

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

    IdIndex voter_index(voters.size());
    index_in_order(
        voter_index, voters, [](const Id& voter) -> std::string_view { return voter; },
        [](const Id&, Index) {});
    election.listed_voter_count = voter_index.size();

    // Room for every supporter entry up front: the lists of non-candidates
    // are counted too, but growing arrays of this size step by step costs
    // more than that.
    std::size_t entries = 0;
    for (const auto& listed : approvers) entries += listed.second.size();
    election.supporter_voter.reserve(entries);
    election.supporter_utility.reserve(entries);
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
                    index_in_order(
                        voter_index, supporters,
                        [](const Supporter& s) -> std::string_view { return s.first; },
                        [&](const Supporter& s, Index index) {
                            has_listed = has_listed || index < election.listed_voter_count;
                            has_unlisted = has_unlisted || index >= election.listed_voter_count;
                            election.supporter_voter.push_back(index);
                            election.supporter_utility.push_back(static_cast<double>(s.second));
                        });
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
