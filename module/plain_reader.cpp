#include "plain_reader.hpp"

#include <pybind11/eval.h>

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "marshal_reader.hpp"
#include "plain_packing.hpp"

namespace tarvek_module {
namespace plain {
namespace {

using tarvek::Index;

// The packing functions, compiled once and kept for the interpreter's life.
// Their globals are a module's: PyPy's JIT then reads globals and builtins
// as constants, where in a plain dict each use is a lookup.
py::object packing(const char* name) {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::dict> storage;
    const py::dict& functions = storage
                                    .call_once_and_store_result([] {
                                        auto module = py::reinterpret_steal<py::object>(
                                            PyModule_New("tarvekbindings_plain_packing"));
                                        if (!module) throw py::error_already_set();
                                        py::dict scope = py::reinterpret_borrow<py::dict>(
                                            PyModule_GetDict(module.ptr()));
                                        py::exec(kPackingSource, scope);
                                        return scope;
                                    })
                                    .get_stored();
    return functions[name];
}

// The packing of a whole election, looked up once: a call pays for no name.
py::handle election_packing() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::object> storage;
    return storage.call_once_and_store_result([] { return packing("election"); }).get_stored();
}

// The packed form of arguments, or an empty object when they are not plain.
// Exceptions that mean "not plain" are cleared; others pass.
template <class... Args>
py::object packed(py::handle function, Args&&... args) {
    PyObject* result = PyObject_CallFunctionObjArgs(function.ptr(), args..., nullptr);
    if (result == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
        PyErr_Clear();
        return py::object();
    }
    if (result == Py_None) {
        Py_DECREF(result);
        return py::object();
    }
    return py::reinterpret_steal<py::object>(result);
}

py::handle part(py::handle packed, Py_ssize_t i) { return PyTuple_GET_ITEM(packed.ptr(), i); }

// The contents of an array (or any buffer), held for as long as needed.
template <class T>
class Items {
public:
    explicit Items(py::handle array) {
        if (PyObject_GetBuffer(array.ptr(), &view_, PyBUF_SIMPLE) != 0) throw py::error_already_set();
    }
    ~Items() { PyBuffer_Release(&view_); }
    Items(const Items&) = delete;
    Items& operator=(const Items&) = delete;

    std::size_t size() const { return static_cast<std::size_t>(view_.len) / sizeof(T); }
    T operator[](std::size_t i) const {
        T value;
        std::memcpy(&value, static_cast<const char*>(view_.buf) + i * sizeof(T), sizeof value);
        return value;
    }

private:
    Py_buffer view_{};
};

// Ids packed back to back: `count` of them in `bytes`, the i-th one
// code_points[first + i] code points long, split where each ends. Empty
// (size() == 0, valid() false) when the lengths do not add up to the bytes.
class PackedIds {
public:
    PackedIds(const char* bytes, std::size_t byte_count, const Items<std::int64_t>& code_points,
              std::size_t first, std::size_t count)
        : bytes_(bytes), ends_(count) {
        std::size_t characters = 0;
        for (std::size_t i = 0; i < count; ++i) characters += static_cast<std::size_t>(code_points[first + i]);
        // All ASCII: each code point is one byte.
        const bool ascii = characters == byte_count;
        std::size_t end = 0;
        for (std::size_t i = 0; i < count; ++i) {
            if (ascii) {
                end += static_cast<std::size_t>(code_points[first + i]);
            } else {
                // Step over the id's code points by their lead bytes.
                for (std::int64_t k = 0; k < code_points[first + i] && end < byte_count; ++k) {
                    const auto lead = static_cast<unsigned char>(bytes_[end]);
                    end += lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
                }
            }
            ends_[i] = end;
        }
        valid_ = end == byte_count;
        if (!valid_) ends_.clear();
    }

    // One argument's ids: a tuple of the bytes and the lengths.
    explicit PackedIds(py::handle packed) : PackedIds(packed, Items<std::int64_t>(part(packed, 1))) {}

    bool valid() const { return valid_; }
    std::size_t size() const { return ends_.size(); }
    std::string_view operator[](std::size_t i) const {
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return {bytes_ + begin, ends_[i] - begin};
    }

private:
    PackedIds(py::handle packed, const Items<std::int64_t>& code_points)
        : PackedIds(PyBytes_AS_STRING(part(packed, 0).ptr()),
                    static_cast<std::size_t>(PyBytes_GET_SIZE(part(packed, 0).ptr())), code_points, 0,
                    code_points.size()) {}

    const char* bytes_ = nullptr;  // owned by the packed object
    std::vector<std::size_t> ends_;
    bool valid_ = false;
};

// The supporter list of `key`: `length` pairs, the j-th of voter_at(j) and
// utility_at(j), kept when it is the list of a project.
template <class VoterAt, class UtilityAt>
void add_list(tarvek::ElectionInterner& interner, std::string_view key, std::size_t length, VoterAt voter_at,
              UtilityAt utility_at) {
    const Index project = interner.project(key);
    if (!interner.begin_supporters(project, length)) return;
    interner.add_supporters(length, voter_at, utility_at);
    interner.end_supporters(project);
}

template <class T, class Set>
bool read_numbers(py::handle dict, PyTypeObject* type, const char* code, Set set) {
    const py::object result =
        packed(packing("numbers"), dict.ptr(), reinterpret_cast<PyObject*>(type), py::str(code).ptr());
    if (!result) return false;
    const PackedIds keys(part(result, 0));
    const Items<T> values(part(result, 1));
    if (!keys.valid() || values.size() != keys.size()) return false;
    for (std::size_t i = 0; i < keys.size(); ++i) set(keys[i], values[i]);
    return true;
}

// marshal.dumps and its version 2, looked up once for the interpreter's life.
struct Marshal {
    py::object dumps;
    py::object version;
};

const Marshal& marshal() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<Marshal> storage;
    return storage
        .call_once_and_store_result(
            [] { return Marshal{py::module_::import("marshal").attr("dumps"), py::int_(2)}; })
        .get_stored();
}

// A small election is read from its marshalled bytes (marshal_reader.hpp)
// while the process is new: marshal walks the objects at the interpreter's
// own level, while the packing's loops run interpreted on PyPy until its JIT
// has seen each loop run some 1600 times, several times slower than marshal.
// What counts is the number of supporter pairs: on a new process's first
// calls marshal stays the faster one up to some 2000 pairs (measured on the
// real elections: Zurich's three, of 840 to 943 pairs, 0.27 to 0.31 ms a
// call against 0.8 to 1.0 through the packing), hence
// kMarshalledPairsBelow. Counting the pairs costs a C-level twin of every
// supporter list and key, about as much as marshalling a hundred pairs, so
// the voters tell first: with fewer than kSurelySmallVoters, each would have
// to name 25 projects to reach the bound; with kMarshalledVotersBelow or
// more, the election is taken as big.
constexpr Py_ssize_t kMarshalledPairsBelow = 2000;
constexpr Py_ssize_t kSurelySmallVoters = 80;
constexpr Py_ssize_t kMarshalledVotersBelow = 400;

// A process that goes on reading small elections reads them through the
// packing instead, once it has read kMarshalledVoterEntries voter entries
// through marshal. Compiled, the packing reads even the smallest real
// elections faster than marshal (Assen 2024, 84 voters, equal_shares_utils:
// about 21 against 70 us a call with the same objects again, 27 against 38
// us for packing against marshalling fresh ones), but it is compiled only
// after it has run: the first calls after the switch cost some 0.2 ms more
// each, for as many calls as its loops need to reach the JIT's threshold.
// A bound of 20,000 voter entries (some 240 calls of Assen 2024) leaves
// marshal to a process that calls a few times, where that start-up would not
// pay back, and puts it within a few percent of the calls of one that goes
// on. A count, not a clock: which reading a call takes depends only on the
// calls before it. The GIL guards the count.
constexpr Py_ssize_t kMarshalledVoterEntries = 20000;
Py_ssize_t marshalled_voter_entries = 0;

Py_ssize_t voter_count(py::handle voters) {
    if (PyList_CheckExact(voters.ptr())) return PyList_GET_SIZE(voters.ptr());
    if (PyTuple_CheckExact(voters.ptr())) return PyTuple_GET_SIZE(voters.ptr());
    return -1;
}

// Whether `approvers`, an exact dict of exact lists, holds fewer pairs than
// kMarshalledPairsBelow. Only the lists and their sizes are read: no pair
// and no key crosses into C (walking the dict with PyDict_Next, which also
// hands over every key, cost Zurich S5, 24 lists, some 8 us a call more).
bool few_pairs(py::handle approvers) {
    if (!PyDict_CheckExact(approvers.ptr())) return false;
    const auto lists = py::reinterpret_steal<py::object>(PyDict_Values(approvers.ptr()));
    if (!lists) throw py::error_already_set();
    Py_ssize_t pairs = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lists.ptr()); ++i) {
        PyObject* list = PyList_GET_ITEM(lists.ptr(), i);
        if (!PyList_CheckExact(list)) return false;
        pairs += PyList_GET_SIZE(list);
        if (pairs >= kMarshalledPairsBelow) return false;
    }
    return true;
}

// Whether to read an election through marshal, counting its voters if so.
bool marshal_it(py::handle voters, py::handle approvers) {
    if (marshalled_voter_entries >= kMarshalledVoterEntries) return false;
    const Py_ssize_t count = voter_count(voters);
    if (count < 0 || count >= kMarshalledVotersBelow) return false;
    if (count >= kSurelySmallVoters && !few_pairs(approvers)) return false;
    marshalled_voter_entries += count;
    return true;
}

// The five arguments of a small election from their marshalled bytes.
bool read_small_election(py::handle voters, py::handle projects, py::handle cost, py::handle approvers,
                         py::handle total_utility, tarvek::ElectionInterner& interner) {
    auto arguments = py::reinterpret_steal<py::object>(
        PyTuple_Pack(5, voters.ptr(), projects.ptr(), cost.ptr(), approvers.ptr(), total_utility.ptr()));
    if (!arguments) throw py::error_already_set();
    const Marshal& m = marshal();
    const py::object bytes = packed(m.dumps, arguments.ptr(), m.version.ptr());
    if (!bytes || !PyBytes_Check(bytes.ptr())) return false;
    return read_marshalled_election(
        {PyBytes_AS_STRING(bytes.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr()))}, interner);
}

}  // namespace

bool read_voters(py::handle sequence, tarvek::ElectionInterner& interner) {
    const py::object result = packed(packing("ids"), sequence.ptr());
    if (!result) return false;
    const PackedIds ids(result);
    if (!ids.valid()) return false;
    interner.reserve_voters(ids.size());
    interner.add_voters(ids.size(), [&](std::size_t i) { return ids[i]; });
    return true;
}

bool read_projects(py::handle sequence, tarvek::ElectionInterner& interner) {
    const py::object result = packed(packing("ids"), sequence.ptr());
    if (!result) return false;
    const PackedIds ids(result);
    if (!ids.valid()) return false;
    interner.reserve_projects(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) interner.add_project(ids[i]);
    return true;
}

bool read_costs(py::handle dict, tarvek::ElectionInterner& interner) {
    return read_numbers<double>(dict, &PyFloat_Type, "d", [&](std::string_view key, double cost) {
        interner.set_cost(interner.project(key), cost);
    });
}

bool read_total_utilities(py::handle dict, tarvek::ElectionInterner& interner) {
    static_assert(sizeof(int) == sizeof(std::int32_t), "array code 'i' holds 32-bit integers");
    return read_numbers<std::int32_t>(dict, &PyLong_Type, "i",
                                      [&](std::string_view key, std::int32_t total) {
                                          interner.set_total_utility(interner.project(key), total);
                                      });
}

bool read_supporter_lists(py::handle dict, tarvek::ElectionInterner& interner) {
    const py::object result = packed(packing("supporter_lists"), dict.ptr());
    if (!result) return false;
    const PackedIds keys(part(result, 0));
    const Items<std::int64_t> lengths(part(result, 1));
    const PackedIds voters(part(result, 2));
    const Items<std::int32_t> utilities(part(result, 3));
    if (!keys.valid() || !voters.valid() || lengths.size() != keys.size() ||
        utilities.size() != voters.size()) {
        return false;
    }
    std::size_t first = 0;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const auto length = static_cast<std::size_t>(lengths[i]);
        add_list(
            interner, keys[i], length, [&](std::size_t k) { return voters[first + k]; },
            [&](std::size_t k) { return utilities[first + k]; });
        first += length;
    }
    return true;
}

bool read_election(py::handle voters, py::handle projects, py::handle cost, py::handle approvers,
                   py::handle total_utility, tarvek::ElectionInterner& interner) {
    if (marshal_it(voters, approvers)) {
        return read_small_election(voters, projects, cost, approvers, total_utility, interner);
    }
    const py::object result = packed(election_packing(), voters.ptr(), projects.ptr(), cost.ptr(),
                                     approvers.ptr(), total_utility.ptr());
    if (!result) return false;
    const py::handle utf8 = part(result, 0);
    const Items<std::int64_t> lengths(part(result, 1));
    const Items<std::int32_t> numbers(part(result, 2));
    const Items<double> costs(part(result, 3));
    const Items<std::int32_t> supporter_voters(part(result, 4));

    // After the ids' and lists' lengths: where each group of ids ends
    // (projects, cost keys, approvers keys, total_utility keys), then the
    // voter counts. All counts are checked against the packed objects
    // before the interner is handed anything.
    constexpr std::size_t kGroups = 4;
    constexpr std::size_t kTrailer = kGroups + 3;
    if (lengths.size() < kTrailer) return false;
    std::size_t end[kGroups];
    for (std::size_t g = 0; g < kGroups; ++g) {
        end[g] = static_cast<std::size_t>(lengths[lengths.size() - kTrailer + g]);
        if (end[g] < (g == 0 ? 0 : end[g - 1])) return false;
    }
    const std::int64_t entries = lengths[lengths.size() - 3];
    const std::int64_t listed = lengths[lengths.size() - 2];
    const std::int64_t voter_ids = lengths[lengths.size() - 1];
    if (listed < 0 || listed > entries || listed > voter_ids || voter_ids >= std::int64_t{tarvek::IdIndex::kMissing}) {
        return false;
    }
    const std::size_t ids_end = end[3];
    const std::size_t lists = end[2] - end[1];
    const std::size_t supporters = supporter_voters.size();
    if (lengths.size() != ids_end + lists + kTrailer || costs.size() != end[1] - end[0] ||
        numbers.size() != supporters + (end[3] - end[2])) {
        return false;
    }
    std::size_t listed_supporters = 0;
    for (std::size_t k = 0; k < lists; ++k) listed_supporters += static_cast<std::size_t>(lengths[ids_end + k]);
    if (listed_supporters != supporters) return false;
    for (std::size_t i = 0; i < supporters; ++i) {
        const std::int32_t voter = supporter_voters[i];
        if (voter < 0 || voter >= voter_ids) return false;
    }
    const PackedIds ids(PyBytes_AS_STRING(utf8.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(utf8.ptr())),
                        lengths, 0, ids_end);
    if (!ids.valid()) return false;

    interner.add_indexed_voters(static_cast<std::size_t>(entries), static_cast<Index>(listed),
                                static_cast<Index>(voter_ids));
    interner.reserve_projects(end[0]);
    for (std::size_t i = 0; i < end[0]; ++i) interner.add_project(ids[i]);
    for (std::size_t i = end[0]; i < end[1]; ++i) interner.set_cost(interner.project(ids[i]), costs[i - end[0]]);
    std::size_t first = 0;  // the list's first supporter
    for (std::size_t k = 0; k < lists; ++k) {
        const auto length = static_cast<std::size_t>(lengths[ids_end + k]);
        const Index project = interner.project(ids[end[1] + k]);
        if (interner.begin_supporters(project, length)) {
            interner.add_indexed_supporters(
                length, [&](std::size_t j) { return static_cast<Index>(supporter_voters[first + j]); },
                [&](std::size_t j) { return numbers[first + j]; });
            interner.end_supporters(project);
        }
        first += length;
    }
    for (std::size_t i = end[2]; i < end[3]; ++i) {
        interner.set_total_utility(interner.project(ids[i]), numbers[supporters + (i - end[2])]);
    }
    return true;
}

}  // namespace plain
}  // namespace tarvek_module
