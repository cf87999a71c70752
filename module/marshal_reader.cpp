#include "marshal_reader.hpp"

#include <cstdint>
#include <vector>

#include "marshal_cursor.hpp"

namespace tarvek_module {
namespace {

using tarvek::ElectionInterner;
using tarvek::Index;

// A sequence of ids, appended to `ids`.
bool parse_ids(MarshalCursor& in, std::vector<std::string_view>& ids) {
    std::size_t length = 0;
    if (!in.sequence(length)) return false;
    for (std::size_t i = 0; i < length; ++i) {
        std::string_view id;
        if (!in.id(id)) return false;
        ids.push_back(id);
    }
    return true;
}

// A dict keyed by id, each value read by read(in, value) and handed to
// set(project of the key, value).
template <class T, class Read, class Set>
bool parse_dict(MarshalCursor& in, const ElectionInterner& interner, Read read, Set set) {
    if (!in.dict()) return false;
    while (!in.dict_end()) {
        std::string_view key;
        T value{};
        if (!in.id(key) || !read(in, value)) return false;
        set(interner.project(key), value);
    }
    return true;
}

// One supporter list, handed over as a whole when it is the list to keep,
// so that the interner's lookups of its ids overlap.
bool parse_supporters(MarshalCursor& in, ElectionInterner& interner, Index project,
                      std::vector<std::string_view>& voters, std::vector<std::int32_t>& utilities) {
    std::size_t length = 0;
    if (!in.sequence(length)) return false;
    voters.clear();
    utilities.clear();
    for (std::size_t i = 0; i < length; ++i) {
        std::size_t items = 0;
        std::string_view voter;
        std::int32_t utility = 0;
        if (!in.sequence(items) || items != 2 || !in.id(voter) || !in.int32(utility)) return false;
        voters.push_back(voter);
        utilities.push_back(utility);
    }
    if (interner.begin_supporters(project, length)) {
        interner.add_supporters(
            length, [&](std::size_t i) { return voters[i]; }, [&](std::size_t i) { return utilities[i]; });
        interner.end_supporters(project);
    }
    return true;
}

bool parse_supporter_lists(MarshalCursor& in, ElectionInterner& interner) {
    std::vector<std::string_view> voters;
    std::vector<std::int32_t> utilities;
    if (!in.dict()) return false;
    while (!in.dict_end()) {
        std::string_view key;
        if (!in.id(key) || !parse_supporters(in, interner, interner.project(key), voters, utilities)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool read_marshalled_election(std::string_view bytes, ElectionInterner& interner) {
    MarshalCursor in(bytes.data(), bytes.size());
    std::size_t arguments = 0;
    std::vector<std::string_view> ids;
    if (!in.sequence(arguments) || arguments != 5 || !parse_ids(in, ids)) return false;
    interner.reserve_voters(ids.size());
    interner.add_voters(ids.size(), [&](std::size_t i) { return ids[i]; });
    ids.clear();
    if (!parse_ids(in, ids)) return false;
    interner.reserve_projects(ids.size());
    for (const std::string_view id : ids) interner.add_project(id);
    return parse_dict<double>(
               in, interner, [](MarshalCursor& c, double& cost) { return c.real(cost); },
               [&](Index project, double cost) { interner.set_cost(project, cost); }) &&
           parse_supporter_lists(in, interner) &&
           parse_dict<std::int32_t>(
               in, interner, [](MarshalCursor& c, std::int32_t& total) { return c.int32(total); },
               [&](Index project, std::int32_t total) { interner.set_total_utility(project, total); }) &&
           in.at_end();
}

}  // namespace tarvek_module
