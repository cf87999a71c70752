#include "interned_election.hpp"

#include <algorithm>
#include <utility>

#include "checked_lookup.hpp"

namespace tarvek {

void ElectionInterner::reserve_voters(std::size_t entries) { voters_.reserve(entries); }

void ElectionInterner::reserve_projects(std::size_t entries) {
    projects_.reserve(entries);
    election_.project_entries.reserve(entries);
}

void ElectionInterner::add_voter(std::string_view id) {
    ++election_.voter_entries;
    voters_.insert(id);
}

void ElectionInterner::add_indexed_voters(std::size_t entries, Index listed, Index ids) {
    election_.voter_entries += entries;
    voters_indexed_ = true;
    indexed_listed_ = listed;
    indexed_ids_ = ids;
}

void ElectionInterner::close_voters() {
    if (voters_closed_) return;
    voters_closed_ = true;
    election_.listed_voters = voters_indexed_ ? indexed_listed_ : static_cast<Index>(voters_.size());
}

void ElectionInterner::add_project(std::string_view id) {
    close_voters();
    const Index project = projects_.insert(id);
    if (project == election_.projects.size()) {
        election_.projects.emplace_back();
        election_.projects.back().id = id;
    }
    election_.project_entries.push_back(project);
}

Index ElectionInterner::project(std::string_view key) const {
    const Index found = projects_.find(key);
    return found == IdIndex::kMissing ? kNoProject : found;
}

void ElectionInterner::set_cost(Index project, double cost) {
    if (project == kNoProject) return;
    InternedElection::Project& p = election_.projects[project];
    if (p.has_cost) return;
    p.has_cost = true;
    p.cost = cost;
}

void ElectionInterner::set_total_utility(Index project, std::int32_t total_utility) {
    if (project == kNoProject) return;
    InternedElection::Project& p = election_.projects[project];
    if (p.has_total_utility) return;
    p.has_total_utility = true;
    p.total_utility = total_utility;
}

bool ElectionInterner::begin_supporters(Index project, std::size_t length) {
    close_voters();
    // Room for the list, in steps that keep the growth geometric; a length
    // beyond what memory holds fails here, before any entry is read.
    std::vector<Index>& voters = election_.supporter_voter;
    list_begin_ = voters.size();
    if (length > voters.capacity() - voters.size()) {
        const std::size_t room = std::max(voters.size() + length, 2 * voters.capacity());
        voters.reserve(room);
        election_.supporter_utility.reserve(room);
    }
    return project != kNoProject && !election_.projects[project].has_supporters;
}

Index ElectionInterner::supporter(std::string_view voter_id) { return voters_.insert(voter_id); }

void ElectionInterner::end_supporters(Index project) {
    InternedElection::Project& p = election_.projects[project];
    p.has_supporters = true;
    p.supporters_begin = list_begin_;
    p.supporters_end = election_.supporter_voter.size();
}

InternedElection ElectionInterner::finish() {
    close_voters();
    election_.voter_ids = voters_indexed_ ? indexed_ids_ : static_cast<Index>(voters_.size());
    return std::move(election_);
}

namespace {

// Listed voters keep their index. The others are numbered as the
// candidates' supporter lists first name them, in candidate order.
class VoterNumbering {
public:
    explicit VoterNumbering(const InternedElection& input)
        : listed_(input.listed_voters),
          unlisted_(input.voter_ids - input.listed_voters, kUnnumbered),
          next_(input.listed_voters) {}

    bool listed(Index voter) const { return voter < listed_; }
    Index number(Index voter) {
        if (listed(voter)) return voter;
        Index& number = unlisted_[voter - listed_];
        if (number == kUnnumbered) number = next_++;
        return number;
    }
    std::size_t count() const { return next_; }

private:
    static constexpr Index kUnnumbered = ~Index{0};
    Index listed_;
    std::vector<Index> unlisted_;
    Index next_;
};

// Appends `p` as the next candidate, with its supporter list.
void add_candidate(Election& e, const InternedElection& input, const InternedElection::Project& p,
                   VoterNumbering& voters) {
    e.owned_ids.push_back(p.id);
    e.candidate_cost.push_back(p.cost);
    e.candidate_total_utility.push_back(p.total_utility);
    bool has_listed = false;
    bool has_unlisted = false;
    for (std::size_t i = p.supporters_begin; i < p.supporters_end; ++i) {
        const Index voter = input.supporter_voter[i];
        (voters.listed(voter) ? has_listed : has_unlisted) = true;
        e.supporter_voter.push_back(voters.number(voter));
        e.supporter_utility.push_back(static_cast<double>(input.supporter_utility[i]));
    }
    e.candidate_has_listed_supporter.push_back(has_listed);
    e.candidate_has_unlisted_supporter.push_back(has_unlisted);
    e.supporters_begin.push_back(e.supporter_voter.size());
    e.longest_supporter_list = std::max(e.longest_supporter_list, p.supporters_end - p.supporters_begin);
}

}  // namespace

Election build_election(const InternedElection& input) {
    Election e;
    e.voter_entries = static_cast<double>(input.voter_entries);
    e.listed_voter_count = input.listed_voters;
    VoterNumbering voters(input);

    e.supporter_voter.reserve(input.supporter_voter.size());
    e.supporter_utility.reserve(input.supporter_voter.size());
    e.supporters_begin.push_back(0);
    e.entry_cost.reserve(input.project_entries.size());
    e.entry_candidate.reserve(input.project_entries.size());
    std::vector<std::int64_t> candidate_of(input.projects.size(), kNotCandidate);

    for (const Index project : input.project_entries) {
        const InternedElection::Project& p = input.projects[project];
        if (!p.has_cost) throw_missing_key();
        e.entry_cost.push_back(p.cost);
        std::int64_t candidate = kNotCandidate;
        if (p.cost > 0.0) {
            if (!p.has_supporters) throw_missing_key();
            if (p.supporters_end > p.supporters_begin) {
                if (!p.has_total_utility) throw_missing_key();
                candidate = candidate_of[project];
                if (candidate == kNotCandidate) {
                    candidate = static_cast<std::int64_t>(e.candidate_cost.size());
                    candidate_of[project] = candidate;
                    add_candidate(e, input, p, voters);
                }
            }
        }
        e.entry_candidate.push_back(candidate);
    }
    e.voter_count = voters.count();
    // Pointers last: `owned_ids` has stopped growing.
    e.candidate_id.reserve(e.owned_ids.size());
    for (const std::string& id : e.owned_ids) e.candidate_id.push_back(&id);
    return e;
}

}  // namespace tarvek
