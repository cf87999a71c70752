// Voter indices by the identity of the str objects that name the voters. A
// reader of Python objects usually hands the same str object for a voter in
// `voters` and in every supporter list that names it; recognising the object
// by its address spares reading its bytes (a cache miss on a fresh object),
// hashing them and comparing them in the interner, once per supporter entry.
//
// Only exact str objects are recorded: they are immutable, so the same object
// always has the same bytes. The table holds a reference to each until it is
// destroyed, so that no address can be reused by another object meanwhile,
// whatever Python code runs during the call.
#ifndef TARVEK_MODULE_VOTER_OBJECTS_HPP
#define TARVEK_MODULE_VOTER_OBJECTS_HPP

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "id_index.hpp"

namespace tarvek_module {

class VoterObjects {
public:
    static constexpr std::uint32_t kMissing = tarvek::IdIndex::kMissing;

    VoterObjects() : slots_(kFirstSize) {}
    ~VoterObjects() {
        for (PyObject* object : held_) Py_DECREF(object);
    }
    VoterObjects(const VoterObjects&) = delete;
    VoterObjects& operator=(const VoterObjects&) = delete;

    void reserve(std::size_t count) {
        std::size_t size = slots_.size();
        while (size / 2 < count) size *= 2;
        if (size > slots_.size()) rehash(size);
    }

    // Lookups come in two steps, so that a batch of them can first fetch
    // their slots from memory together (prefetch) and then read them.
    static std::uint64_t hash(const PyObject* object) {
        // Objects are at least 16-byte aligned: the low bits carry nothing.
        return (reinterpret_cast<std::uintptr_t>(object) >> 4) * 0x9E3779B97F4A7C15ULL;
    }
    void prefetch(std::uint64_t hash) const {
#if defined(__GNUC__) || defined(__clang__)
        __builtin_prefetch(&slots_[position(hash)]);
#endif
    }
    // The voter that `object` was recorded for, or kMissing.
    std::uint32_t find(const PyObject* object, std::uint64_t hash) const {
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t at = position(hash);; at = (at + 1) & mask) {
            if (slots_[at].object == object) return slots_[at].voter;
            if (slots_[at].object == nullptr) return kMissing;
        }
    }
    // Records an exact str object as naming `voter`, unless it is recorded.
    void insert(PyObject* object, std::uint32_t voter) {
        if (find(object, hash(object)) != kMissing) return;
        if (held_.size() + 1 > slots_.size() / 2) grow();
        place({object, voter});
        Py_INCREF(object);
        held_.push_back(object);
    }

private:
    struct Slot {
        const PyObject* object;  // nullptr: free
        std::uint32_t voter;
    };
    static constexpr std::size_t kFirstSize = 16;

    // The top bits of the hash pick the slot: a multiplicative hash mixes
    // the address into them.
    std::size_t position(std::uint64_t hash) const { return static_cast<std::size_t>(hash >> shift_); }
    void place(Slot slot) {
        const std::size_t mask = slots_.size() - 1;
        std::size_t at = position(hash(slot.object));
        while (slots_[at].object != nullptr) at = (at + 1) & mask;
        slots_[at] = slot;
    }
    void grow() { rehash(slots_.size() * 2); }
    void rehash(std::size_t size) {
        std::vector<Slot> old(size);
        old.swap(slots_);
        shift_ = 64;
        for (std::size_t s = size; s > 1; s /= 2) --shift_;
        for (const Slot& slot : old) {
            if (slot.object != nullptr) place(slot);
        }
    }

    std::vector<Slot> slots_;  // a power of two, at most half full
    unsigned shift_ = 64 - 4;  // 64 - log2(slots_.size()), with kFirstSize = 16
    std::vector<PyObject*> held_;
};

}  // namespace tarvek_module

#endif  // TARVEK_MODULE_VOTER_OBJECTS_HPP
