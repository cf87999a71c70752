// Lookups in the caller's maps that fail with a fixed, documented message.
// The standard library's own `at` words its message differently from one
// version to the next, so the text is produced here.
#ifndef TARVEK_CHECKED_LOOKUP_HPP
#define TARVEK_CHECKED_LOOKUP_HPP

#include <stdexcept>

namespace tarvek {

[[noreturn]] inline void throw_missing_key() { throw std::out_of_range("_Map_base::at"); }

template <class Map, class Key>
const typename Map::mapped_type& checked_at(const Map& map, const Key& key) {
    const auto found = map.find(key);
    if (found == map.end()) throw_missing_key();
    return found->second;
}

}  // namespace tarvek

#endif  // TARVEK_CHECKED_LOOKUP_HPP
