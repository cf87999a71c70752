// The way into the engine. Whoever reads an election (the public functions
// from their standard containers, the Python modules from Python objects)
// interns every id to a dense index as it reads it, into an
// InternedElection, and build_election turns that into the engine's
// Election. Nothing is hashed twice, and every reader gets the same Election,
// with the same failures, from the same election.
#ifndef TARVEK_INTERNED_ELECTION_HPP
#define TARVEK_INTERNED_ELECTION_HPP

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "election.hpp"
#include "id_index.hpp"

namespace tarvek {

// The six arguments with their ids replaced by indices. Map entries are kept
// only for ids of `projects`: the rule never looks up any other key.
struct InternedElection {
    // n: the length of `voters`, duplicates counted.
    std::size_t voter_entries = 0;
    // Voter indices: the distinct ids of `voters`, in order of first
    // occurrence, are 0 .. listed_voters - 1; ids that only supporter lists
    // name are listed_voters .. voter_ids - 1, in any order.
    Index listed_voters = 0;
    Index voter_ids = 0;

    // Per entry of `projects`, its project index: the distinct ids, in order
    // of first occurrence, are 0, 1, ...
    std::vector<Index> project_entries;

    // Per project index: its id and what the three maps hold for it.
    struct Project {
        std::string id;
        bool has_cost = false;
        bool has_supporters = false;
        bool has_total_utility = false;
        double cost = 0.0;
        std::int32_t total_utility = 0;
        // The supporter list: entries [supporters_begin, supporters_end) of
        // the two arrays below.
        std::size_t supporters_begin = 0;
        std::size_t supporters_end = 0;
    };
    std::vector<Project> projects;

    // All kept supporter lists, each one contiguous, in any order.
    std::vector<Index> supporter_voter;
    std::vector<std::int32_t> supporter_utility;
};

// The Election that prepare_election makes of the same election, bit for bit
// (the same candidates, voters and supporters in the same order), with the
// same failures: std::out_of_range("_Map_base::at") where the rule's checked
// lookups fail (a project without a cost; one with a positive cost and no
// supporter list; one with supporters and no total utility), at the first
// entry of `projects` that fails.
Election build_election(const InternedElection& input);

// Fills an InternedElection in the order in which the arguments come: first
// every entry of `voters`, then every entry of `projects`, then the map
// entries, in any order. Ids are bytes; the interner keeps copies, so they
// need not outlive the call that hands them over.
class ElectionInterner {
public:
    static constexpr Index kNoProject = ~Index{0};

    // Room for the entries of `voters` and `projects`, once their lengths
    // are known (the ids of supporter lists then grow the voter table).
    void reserve_voters(std::size_t entries);
    void reserve_projects(std::size_t entries);

    void add_voter(std::string_view id);
    void add_project(std::string_view id);
    // `count` voters at once, the i-th with the id id_at(i): faster for many.
    // With `use`, each index is handed to use(i, index).
    template <class IdAt>
    void add_voters(std::size_t count, IdAt id_at);
    template <class IdAt, class Use>
    void add_voters(std::size_t count, IdAt id_at, Use use);

    // Voters that the caller has interned itself, instead of add_voter(s):
    // `entries` entries of `voters`, whose distinct ids are 0 .. listed - 1
    // in order of first occurrence, and `ids` distinct voter ids in all, the
    // ids that only supporter lists name being listed .. ids - 1. Supporters
    // then come with add_indexed_supporters only, each index below `ids`.
    void add_indexed_voters(std::size_t entries, Index listed, Index ids);

    // The project index of a map key, or kNoProject when `projects` does not
    // hold the key (its entry is then read and dropped).
    Index project(std::string_view key) const;

    // Map entries. Of two keys with the same bytes the earlier one wins: an
    // entry for a project that already has one is dropped.
    void set_cost(Index project, double cost);
    void set_total_utility(Index project, std::int32_t total_utility);
    // A supporter list of `length` entries: begin_supporters(project,
    // length) (kNoProject allowed) tells whether it is the list to keep. If
    // so, hand over every entry in order, each voter id interned with
    // supporter() before the utility is read, and close the list with
    // end_supporters(project); if not, the entries are read (and checked) by
    // the caller only. The length only makes room; it need not be exact.
    bool begin_supporters(Index project, std::size_t length);
    Index supporter(std::string_view voter_id);
    void add_supporter(Index voter, std::int32_t utility) {
        election_.supporter_voter.push_back(voter);
        election_.supporter_utility.push_back(utility);
    }
    // A whole list at once: faster, as the lookups of the ids overlap.
    template <class IdAt, class UtilityAt>
    void add_supporters(std::size_t count, IdAt id_at, UtilityAt utility_at);
    // A whole list whose voters come as indices (add_indexed_voters).
    template <class VoterAt, class UtilityAt>
    void add_indexed_supporters(std::size_t count, VoterAt voter_at, UtilityAt utility_at);
    void end_supporters(Index project);

    // The interned election; the interner is spent afterwards.
    InternedElection finish();

private:
    void close_voters();
    // Interns id_at(0 .. count - 1) and hands each index to use(i, index).
    // A batch of ids is hashed and its table slots prefetched before the
    // batch is looked up, so that the cache misses of a big table overlap
    // instead of queuing.
    template <class IdAt, class Use>
    void intern_voters(std::size_t count, IdAt id_at, Use use);

    IdIndex voters_;
    IdIndex projects_;
    InternedElection election_;
    bool voters_closed_ = false;
    // Set by add_indexed_voters: the voter counts, which voters_ does not hold.
    bool voters_indexed_ = false;
    Index indexed_listed_ = 0;
    Index indexed_ids_ = 0;
    std::size_t list_begin_ = 0;
};

template <class IdAt, class Use>
void ElectionInterner::intern_voters(std::size_t count, IdAt id_at, Use use) {
    constexpr std::size_t kBatch = 16;
    std::uint64_t hashes[kBatch];
    for (std::size_t start = 0; start < count; start += kBatch) {
        const std::size_t batch = count - start < kBatch ? count - start : kBatch;
        for (std::size_t j = 0; j < batch; ++j) {
            hashes[j] = IdIndex::hash(id_at(start + j));
            voters_.prefetch(hashes[j]);
        }
        for (std::size_t j = 0; j < batch; ++j) {
            use(start + j, voters_.insert(id_at(start + j), hashes[j]));
        }
    }
}

template <class IdAt>
void ElectionInterner::add_voters(std::size_t count, IdAt id_at) {
    add_voters(count, id_at, [](std::size_t, Index) {});
}

template <class IdAt, class Use>
void ElectionInterner::add_voters(std::size_t count, IdAt id_at, Use use) {
    election_.voter_entries += count;
    intern_voters(count, id_at, use);
}

template <class IdAt, class UtilityAt>
void ElectionInterner::add_supporters(std::size_t count, IdAt id_at, UtilityAt utility_at) {
    const std::size_t first = election_.supporter_voter.size();
    election_.supporter_voter.resize(first + count);
    election_.supporter_utility.resize(first + count);
    intern_voters(count, id_at, [&](std::size_t i, Index voter) {
        election_.supporter_voter[first + i] = voter;
        election_.supporter_utility[first + i] = utility_at(i);
    });
}

template <class VoterAt, class UtilityAt>
void ElectionInterner::add_indexed_supporters(std::size_t count, VoterAt voter_at, UtilityAt utility_at) {
    const std::size_t first = election_.supporter_voter.size();
    election_.supporter_voter.resize(first + count);
    election_.supporter_utility.resize(first + count);
    for (std::size_t i = 0; i < count; ++i) {
        election_.supporter_voter[first + i] = voter_at(i);
        election_.supporter_utility[first + i] = utility_at(i);
    }
}

}  // namespace tarvek

#endif  // TARVEK_INTERNED_ELECTION_HPP
