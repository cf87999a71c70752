// The exported tie-breaking over the caller's string-keyed maps.
#include "tie_breaking.hpp"

#include "checked_lookup.hpp"
#include "equal_shares.hpp"

std::string break_ties(const tarvek::CostMap& cost, const tarvek::UtilityMap& total_utility,
                       tarvek::IdList choices) {
    return tarvek::with_plain_tie_error([&] {
        return tarvek::pick_tie_winner(
            choices, [&](const std::string& id) { return tarvek::checked_at(cost, id); },
            [&](const std::string& id) { return tarvek::checked_at(total_utility, id); },
            [](const std::string& id) -> const std::string& { return id; });
    });
}
