#include "election_reader.hpp"

#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "plain_reader.hpp"

namespace tarvek_module {
namespace {

using tarvek::Index;

// The bytes of an id, as pybind11's string conversion takes them: a str (or
// subclass) as its UTF-8 encoding, bytes (or subclass) and bytearray
// unchanged. Anything else, and a str without a UTF-8 encoding (a lone
// surrogate), is rejected. The view lives as long as the object, and for a
// bytearray only until it is changed: intern it before any Python code runs.
bool id_bytes(PyObject* object, std::string_view& bytes) {
#if !defined(PYPY_VERSION)
    // The common case without a call: an ASCII str holds its bytes inline,
    // and they are its UTF-8 encoding.
    if (PyUnicode_CheckExact(object) && PyUnicode_IS_COMPACT_ASCII(object)) {
        bytes = {static_cast<const char*>(PyUnicode_DATA(object)),
                 static_cast<std::size_t>(PyUnicode_GET_LENGTH(object))};
        return true;
    }
#endif
    if (PyUnicode_Check(object)) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(object, &size);
        if (data == nullptr) {
            PyErr_Clear();
            return false;
        }
        bytes = {data, static_cast<std::size_t>(size)};
        return true;
    }
    if (PyBytes_Check(object)) {
        bytes = {PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object))};
        return true;
    }
    if (PyByteArray_Check(object)) {
        bytes = {PyByteArray_AS_STRING(object), static_cast<std::size_t>(PyByteArray_GET_SIZE(object))};
        return true;
    }
    return false;
}

// A utility or total utility, as pybind11 converts it to a 32-bit integer.
// A plain int is read directly: pybind11 takes it exactly when it fits.
bool read_int32(PyObject* object, std::int32_t& out) {
    if (PyLong_CheckExact(object)) {
        int overflow = 0;
        const long value = PyLong_AsLongAndOverflow(object, &overflow);
        if (overflow != 0 || value < INT32_MIN || value > INT32_MAX) return false;
        out = static_cast<std::int32_t>(value);
        return true;
    }
    py::detail::make_caster<std::int32_t> caster;
    if (!caster.load(object, true)) return false;
    out = py::detail::cast_op<std::int32_t>(caster);
    return true;
}

Py_ssize_t checked_length(PyObject* sequence) {
    const Py_ssize_t length = PySequence_Size(sequence);
    if (length < 0) throw py::error_already_set();
    return length;
}

// An exact list or tuple: its length is what it holds, and its items can be
// read straight from its storage (PySequence_Fast_ITEMS) without running any
// Python code.
bool exact_sequence(PyObject* sequence) {
    return PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence);
}

// Whether exact lists and tuples are read from their storage. On PyPy every
// item read that way would need a C-level twin all the same, and the plain
// arguments are read whole there (plain_reader.hpp).
#if defined(PYPY_VERSION)
constexpr bool kReadExactSequencesDirectly = false;
#else
constexpr bool kReadExactSequencesDirectly = true;
#endif

// Reads `src` as pybind11 reads a list argument: any sequence except str and
// bytes (and their subclasses); its length (`room(length)` is told it, to
// make room), then its items 0, 1, ... up to the length asked once more,
// each taken by index and handed to `item` (which holds the only reference
// the reader keeps) before the next is taken. False when `src` or an item is
// rejected; an error of the sequence itself (length, item) is thrown.
template <class Room, class Item>
bool read_sequence(PyObject* src, Room room, Item item) {
    if (!PySequence_Check(src) || PyBytes_Check(src) || PyUnicode_Check(src)) return false;
    const Py_ssize_t reserved = checked_length(src);
    room(static_cast<std::size_t>(reserved), exact_sequence(src));
    // A list may shrink while its items are converted; past its end, taking
    // an item fails with the IndexError that passes through.
    const Py_ssize_t length = exact_sequence(src) ? reserved : checked_length(src);
    for (Py_ssize_t i = 0; i < length; ++i) {
        auto taken = py::reinterpret_steal<py::object>(PySequence_GetItem(src, i));
        if (!taken) throw py::error_already_set();
        if (!item(taken.ptr())) return false;
    }
    return true;
}

// A sequence of ids, each handed to `add` as soon as it is read.
template <class Room, class Add>
bool read_ids(PyObject* src, Room room, Add add) {
    return read_sequence(src, room, [&](PyObject* item) {
        std::string_view id;
        if (!id_bytes(item, id)) return false;
        add(id);
        return true;
    });
}

// A dict's entries as owned references, read without calling any method that
// a dict subclass overrides, and before any of them is converted: whatever a
// conversion does to the dict (clearing it, growing it, calling the module
// again), the entries still to be converted stay alive and unchanged.
// - On CPython, PyDict_Items copies the entries from the dict's storage in C.
// - On PyPy it runs the base type's dict.items, which asks a subclass's own
//   __len__ for the list's size; so there the dict is first copied with
//   PyDict_Copy (the base type's dict.copy, which calls no override) and the
//   items are read from that plain copy. (CPython's PyDict_Copy would call an
//   overridden keys().) PyPy itself still calls an overridden __len__
//   whenever it hands a dict subclass to C code, before the module sees it.
// Only dict and its subclasses are accepted; any other mapping is rejected.
bool dict_entries(PyObject* src, std::vector<std::pair<py::object, py::object>>& entries) {
    if (!PyDict_Check(src)) return false;
#if defined(PYPY_VERSION)
    auto plain = py::reinterpret_steal<py::object>(PyDict_Copy(src));
    if (!plain) throw py::error_already_set();
    auto items = py::reinterpret_steal<py::object>(PyDict_Items(plain.ptr()));
#else
    auto items = py::reinterpret_steal<py::object>(PyDict_Items(src));
#endif
    if (!items) throw py::error_already_set();
    const Py_ssize_t count = PyList_GET_SIZE(items.ptr());
    entries.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyList_GET_ITEM(items.ptr(), i);
        entries.emplace_back(py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(item, 0)),
                             py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(item, 1)));
    }
    return true;
}

// Reads a dict keyed by project id, in insertion order: each key, then its
// value with `value(project, object)` (project: tarvek::ElectionInterner::
// kNoProject for a key that `projects` does not hold).
template <class Value>
bool read_project_dict(PyObject* src, const tarvek::ElectionInterner& interner, Value value) {
    std::vector<std::pair<py::object, py::object>> entries;
    if (!dict_entries(src, entries)) return false;
    for (const auto& [key, object] : entries) {
        std::string_view id;
        if (!id_bytes(key.ptr(), id)) return false;
        if (!value(interner.project(id), object.ptr())) return false;
    }
    return true;
}

}  // namespace

bool read_real(py::handle value, double& out) {
    // A plain float is read directly: pybind11 takes its value unchanged.
    if (PyFloat_CheckExact(value.ptr())) {
        out = PyFloat_AS_DOUBLE(value.ptr());
        return true;
    }
    py::detail::make_caster<double> caster;
    if (!caster.load(value, true)) return false;
    out = py::detail::cast_op<double>(caster);
    return true;
}

bool ElectionReader::voters(py::handle sequence) {
    if (kReadPlainArgumentsWhole && plain::read_voters(sequence, interner_)) return true;
    if (kReadExactSequencesDirectly && exact_sequence(sequence.ptr())) return exact_voters(sequence.ptr());
    return read_ids(
        sequence.ptr(),
        [&](std::size_t length, bool truthful) {
            // A length that a class reports may be anything: no table for it.
            if (truthful) interner_.reserve_voters(length);
        },
        [&](std::string_view id) { interner_.add_voter(id); });
}

bool ElectionReader::projects(py::handle sequence) {
    if (kReadPlainArgumentsWhole && plain::read_projects(sequence, interner_)) return true;
    return read_ids(
        sequence.ptr(),
        [&](std::size_t length, bool truthful) {
            if (truthful) interner_.reserve_projects(length);
        },
        [&](std::string_view id) { interner_.add_project(id); });
}

bool ElectionReader::costs(py::handle dict) {
    if (kReadPlainArgumentsWhole && plain::read_costs(dict, interner_)) return true;
    return read_project_dict(dict.ptr(), interner_, [&](Index project, PyObject* value) {
        double cost = 0.0;
        if (!read_real(value, cost)) return false;
        interner_.set_cost(project, cost);
        return true;
    });
}

bool ElectionReader::total_utilities(py::handle dict) {
    if (kReadPlainArgumentsWhole && plain::read_total_utilities(dict, interner_)) return true;
    return read_project_dict(dict.ptr(), interner_, [&](Index project, PyObject* value) {
        std::int32_t total = 0;
        if (!read_int32(value, total)) return false;
        interner_.set_total_utility(project, total);
        return true;
    });
}

bool ElectionReader::supporter_lists(py::handle dict) {
    if (kReadPlainArgumentsWhole && plain::read_supporter_lists(dict, interner_)) return true;
    return read_project_dict(dict.ptr(), interner_, [&](Index project, PyObject* list) {
        if (kReadExactSequencesDirectly && exact_sequence(list)) {
            const bool keep = interner_.begin_supporters(
                project, static_cast<std::size_t>(PySequence_Fast_GET_SIZE(list)));
            const bool read = exact_supporters(list, keep);
            if (read && keep) interner_.end_supporters(project);
            return read;
        }
        bool keep = false;
        const bool read = read_sequence(
            list, [&](std::size_t length, bool) { keep = interner_.begin_supporters(project, length); },
            [&](PyObject* pair) { return supporter(pair, keep); });
        if (read && keep) interner_.end_supporters(project);
        return read;
    });
}

// One supporter pair, as pybind11 reads a pair: any sequence of exactly two
// items, item 0 the voter id and then item 1 the utility.
bool ElectionReader::supporter(PyObject* pair, bool keep) {
    if (!PySequence_Check(pair) || checked_length(pair) != 2) return false;
    auto first = py::reinterpret_steal<py::object>(PySequence_GetItem(pair, 0));
    if (!first) throw py::error_already_set();
    std::string_view id;
    if (!id_bytes(first.ptr(), id)) return false;
    // The id is interned before the utility's conversion can run Python code.
    const Index voter = keep ? interner_.supporter(id) : 0;
    auto second = py::reinterpret_steal<py::object>(PySequence_GetItem(pair, 1));
    if (!second) throw py::error_already_set();
    std::int32_t utility = 0;
    if (!read_int32(second.ptr(), utility)) return false;
    if (keep) interner_.add_supporter(voter, utility);
    return true;
}

// An exact list or tuple of voter ids. Reading its items and their bytes
// runs no Python code, so all ids are taken first and then interned in one
// batch, and each exact str is recorded with its voter.
bool ElectionReader::exact_voters(PyObject* sequence) {
    const auto count = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(sequence));
    PyObject* const* items = PySequence_Fast_ITEMS(sequence);
    interner_.reserve_voters(count);
    voter_objects_.reserve(count);
    std::vector<std::string_view> ids(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (!id_bytes(items[i], ids[i])) return false;
    }
    interner_.add_voters(
        count, [&](std::size_t i) { return ids[i]; },
        [&](std::size_t i, Index voter) {
            if (PyUnicode_CheckExact(items[i])) voter_objects_.insert(items[i], voter);
        });
    return true;
}

// An exact list or tuple of supporter pairs. Pairs that are exact tuples
// with an exact int as utility are read in runs straight from the storage
// (exact_supporter_run), as no Python code runs while they are read; any
// other pair is read by supporter(), whose conversions may run Python code
// that changes the list, so its size and storage are taken afresh after it.
// As for any sequence, the length is taken once, and an item past the end of
// a list that shrank meanwhile fails to be taken.
bool ElectionReader::exact_supporters(PyObject* sequence, bool keep) {
    const Py_ssize_t length = PySequence_Fast_GET_SIZE(sequence);
    Py_ssize_t i = 0;
    while (i < length) {
        const Py_ssize_t end = std::min(length, PySequence_Fast_GET_SIZE(sequence));
        if (i < end) {
            PyObject* const* items = PySequence_Fast_ITEMS(sequence);
            bool rejected = false;
            i += static_cast<Py_ssize_t>(
                exact_supporter_run(items + i, static_cast<std::size_t>(end - i), keep, rejected));
            if (rejected) return false;
            if (i == end) continue;
        }
        auto pair = py::reinterpret_steal<py::object>(PySequence_GetItem(sequence, i));
        if (!pair) throw py::error_already_set();
        if (!supporter(pair.ptr(), keep)) return false;
        ++i;
    }
    return true;
}

// Reads pairs from the front of `pairs` while each is an exact tuple of two
// with an exact int as its second item; returns how many. `rejected` when
// one of them is rejected (its id or its utility), which ends the call.
// Pairs are read in chunks: first the chunk's items (with the pairs ahead
// prefetched: on fresh objects each pair is a cache miss), then the voters'
// slots in the table of str objects are prefetched together and looked up.
// Only an id that the table does not know is read as bytes and interned.
std::size_t ElectionReader::exact_supporter_run(PyObject* const* pairs, std::size_t count, bool keep,
                                                bool& rejected) {
    constexpr std::size_t kChunk = 32;
    constexpr std::size_t kAhead = 16;
    PyObject* ids[kChunk];
    std::int32_t utilities[kChunk];
    std::uint64_t hashes[kChunk];
    std::size_t done = 0;
    while (done < count) {
        const std::size_t chunk_end = std::min(count, done + kChunk);
        std::size_t n = 0;
        for (std::size_t j = done; j < chunk_end; ++j, ++n) {
#if defined(__GNUC__) || defined(__clang__)
            if (j + kAhead < count) __builtin_prefetch(pairs[j + kAhead]);
#endif
            PyObject* pair = pairs[j];
            if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) != 2) break;
            PyObject* utility = PyTuple_GET_ITEM(pair, 1);
            if (!PyLong_CheckExact(utility)) break;
            if (!read_int32(utility, utilities[n])) {
                rejected = true;
                return done + n;
            }
            ids[n] = PyTuple_GET_ITEM(pair, 0);
        }
        for (std::size_t k = 0; k < n; ++k) {
            hashes[k] = VoterObjects::hash(ids[k]);
            voter_objects_.prefetch(hashes[k]);
        }
        for (std::size_t k = 0; k < n; ++k) {
            Index voter = voter_objects_.find(ids[k], hashes[k]);
            if (voter == VoterObjects::kMissing) {
                std::string_view id;
                if (!id_bytes(ids[k], id)) {
                    rejected = true;
                    return done + k;
                }
                if (!keep) continue;
                voter = interner_.supporter(id);
                if (PyUnicode_CheckExact(ids[k])) voter_objects_.insert(ids[k], voter);
            }
            if (keep) interner_.add_supporter(voter, utilities[k]);
        }
        done += n;
        if (done < chunk_end) break;
    }
    return done;
}

tarvek::InternedElection ElectionReader::finish() { return interner_.finish(); }

}  // namespace tarvek_module
