// An election converted once into dense indices and flat arrays. Everything
// here is independent of the budget, so the completion builds it once and
// shares it across all of its runs of the rule.
#ifndef TARVEK_ELECTION_HPP
#define TARVEK_ELECTION_HPP

#include <cstdint>
#include <string>
#include <vector>

#include "equal_shares.hpp"

namespace tarvek {

using Index = std::uint32_t;
constexpr std::int64_t kNotCandidate = -1;

struct Election {
    Election() = default;
    // The candidates' ids point into `owned_ids`, whose strings stay where
    // they are when the election moves; a copy would point into the
    // original.
    Election(Election&&) = default;
    Election& operator=(Election&&) = default;
    Election(const Election&) = delete;
    Election& operator=(const Election&) = delete;

    // Voters: those listed in `voters` first (each id once), then supporters
    // that only appear in supporter lists. Only listed voters get money.
    std::size_t voter_count = 0;
    std::size_t listed_voter_count = 0;
    // n: the length of `voters`, duplicates counted.
    double voter_entries = 0.0;

    // Candidates (positive cost, at least one supporter), in order of first
    // occurrence in `projects`; that order breaks ties between equal bounds.
    std::vector<const std::string*> candidate_id;
    std::vector<std::string> owned_ids;
    std::vector<double> candidate_cost;
    std::vector<std::int32_t> candidate_total_utility;
    std::vector<bool> candidate_has_listed_supporter;
    std::vector<bool> candidate_has_unlisted_supporter;
    // Supporter lists of all candidates, back to back, in input order.
    std::vector<std::size_t> supporters_begin;  // candidate_count + 1 offsets
    std::vector<Index> supporter_voter;
    std::vector<double> supporter_utility;
    std::size_t longest_supporter_list = 0;

    // Every entry of `projects` with its cost and candidate index (or
    // kNotCandidate): what the completion's exhaustiveness test walks.
    std::vector<double> entry_cost;
    std::vector<std::int64_t> entry_candidate;

    // A caller-chosen order for ties that survive cost and total utility:
    // per candidate its rank, the lowest wins. Empty (the default): such a
    // tie is the rule's tie-breaking error.
    std::vector<std::uint64_t> tie_rank;

    std::size_t candidate_count() const { return candidate_id.size(); }
    bool voter_is_listed(Index voter) const { return voter < listed_voter_count; }
};

// The money that `candidate`'s supporters hold between them, summed in list
// order as the rule sums it when it tests affordability; `money_of(voter)`
// gives each one's.
template <class MoneyOf>
double supporters_money(const Election& e, Index candidate, MoneyOf money_of) {
    double money = 0.0;
    for (std::size_t i = e.supporters_begin[candidate]; i < e.supporters_begin[candidate + 1]; ++i) {
        money += money_of(e.supporter_voter[i]);
    }
    return money;
}

// The candidate to select among `best` (narrowed in place): the cheapest,
// then the most useful; when that leaves more than one, the lowest tie rank,
// or without tie ranks the tie-breaking error. After a return, `best` holds
// more than one candidate exactly when a tie was broken by rank.
Index pick_winner(const Election& election, std::vector<Index>& best);

// The ids of `candidates`, in their order.
std::vector<std::string> candidate_ids(const Election& election, const std::vector<Index>& candidates);

// Ranks the candidates by the position of their id in `order` (the first
// occurrence counts); candidates missing from it rank after all listed ones,
// among themselves in candidate order.
void set_tie_order(Election& election, const IdList& order);

// Converts the caller's containers, through build_election
// (interned_election.hpp), which other readers use too. Performs exactly the
// checked lookups that can fail in a run of the rule (every cost; supporters
// of projects with a positive cost; total utilities of those with
// supporters), so it fails, with the same error, exactly when the rule does.
Election prepare_election(const IdList& voters, const IdList& projects, const CostMap& cost,
                          const ApproverMap& approvers, const UtilityMap& total_utility);

}  // namespace tarvek

#endif  // TARVEK_ELECTION_HPP
