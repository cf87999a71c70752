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

    // The project index of a map key, or kNoProject when `projects` does not
    // hold the key (its entry is then read and dropped).
    Index project(std::string_view key) const;

    // Map entries. Of two keys with the same bytes the earlier one wins: an
    // entry for a project that already has one is dropped.
    void set_cost(Index project, double cost);
    void set_total_utility(Index project, std::int32_t total_utility);
    // A supporter list: begin_supporters(project) (kNoProject allowed) tells
    // whether it is the list to keep. If so, hand over every entry in order
    // with add_supporter and close the list with end_supporters(project);
    // if not, the entries are read (and checked) by the caller only.
    bool begin_supporters(Index project);
    void add_supporter(std::string_view voter_id, std::int32_t utility);
    void end_supporters(Index project);

    // The interned election; the interner is spent afterwards.
    InternedElection finish();

private:
    IdIndex voters_;
    IdIndex projects_;
    InternedElection election_;
    std::size_t list_begin_ = 0;
};

}  // namespace tarvek

#endif  // TARVEK_INTERNED_ELECTION_HPP
