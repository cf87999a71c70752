#include "plain_reader.hpp"

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace tarvek_module {
namespace plain {
namespace {

using tarvek::Index;

py::handle type_object(PyTypeObject* type) { return reinterpret_cast<PyObject*>(type); }

py::object steal_checked(PyObject* object) {
    if (object == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(object);
}

// The built-in functions the reading asks for, looked up once per call.
struct Interpreter {
    py::object all, map, len, is_, eq, itemgetter, repeat, chain, array;

    Interpreter() {
        const py::module_ builtins = py::module_::import("builtins");
        all = builtins.attr("all");
        map = builtins.attr("map");
        len = builtins.attr("len");
        const py::module_ op = py::module_::import("operator");
        is_ = op.attr("is_");
        eq = op.attr("eq");
        itemgetter = op.attr("itemgetter");
        const py::module_ itertools = py::module_::import("itertools");
        repeat = itertools.attr("repeat");
        chain = itertools.attr("chain").attr("from_iterable");
        array = py::module_::import("array").attr("array");
    }

    // Every item of `items` (a plain list or tuple) is exactly of `type`.
    bool all_exactly(py::handle items, PyTypeObject* type) const {
        const py::object types = map(type_object(&PyType_Type), items);
        return all(map(is_, types, repeat(type_object(type)))).ptr() == Py_True;
    }

    // The numbers of `items` as an array of `code` ('q', 'i', 'd'); empty
    // when a number does not fit (OverflowError).
    py::object packed(const char* code, py::handle items) const {
        PyObject* result = PyObject_CallFunction(array.ptr(), "sO", code, items.ptr());
        if (result == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw py::error_already_set();
            PyErr_Clear();
            return py::object();
        }
        return py::reinterpret_steal<py::object>(result);
    }
};

bool is_plain_sequence(py::handle object) {
    return PyList_CheckExact(object.ptr()) || PyTuple_CheckExact(object.ptr());
}

// The contents of an array (or any buffer), held for as long as needed.
template <class T>
class Items {
public:
    explicit Items(py::handle packed) {
        if (PyObject_GetBuffer(packed.ptr(), &view_, PyBUF_SIMPLE) != 0) throw py::error_already_set();
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

// The ids of a plain list or tuple of plain str: their UTF-8 bytes back to
// back, split where each id ends.
class PackedIds {
public:
    // Empty (ok() false) when an item is no plain str or a str has no UTF-8
    // encoding.
    PackedIds(const Interpreter& python, py::handle ids) {
        if (!python.all_exactly(ids, &PyUnicode_Type)) return;
        const py::object text = steal_checked(PyUnicode_Join(py::str("").ptr(), ids.ptr()));
        PyObject* utf8 = PyUnicode_AsUTF8String(text.ptr());
        if (utf8 == nullptr) {  // a lone surrogate
            PyErr_Clear();
            return;
        }
        utf8_ = py::reinterpret_steal<py::object>(utf8);
        const py::object lengths = python.packed("q", python.map(python.len, ids));
        const Items<std::int64_t> code_points(lengths);
        const char* bytes = PyBytes_AS_STRING(utf8_.ptr());
        const auto byte_count = static_cast<std::size_t>(PyBytes_GET_SIZE(utf8_.ptr()));
        const bool ascii = byte_count == static_cast<std::size_t>(PyUnicode_GetLength(text.ptr()));
        ends_.resize(code_points.size());
        std::size_t end = 0;
        for (std::size_t i = 0; i < code_points.size(); ++i) {
            if (ascii) {
                end += static_cast<std::size_t>(code_points[i]);
            } else {
                // Step over the id's code points by their lead bytes.
                for (std::int64_t k = 0; k < code_points[i]; ++k) {
                    const auto lead = static_cast<unsigned char>(bytes[end]);
                    end += lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
                }
            }
            ends_[i] = end;
        }
        bytes_ = bytes;
        ok_ = true;
    }

    bool ok() const { return ok_; }
    std::size_t size() const { return ends_.size(); }
    std::string_view operator[](std::size_t i) const {
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return {bytes_ + begin, ends_[i] - begin};
    }

private:
    py::object utf8_;
    const char* bytes_ = nullptr;
    std::vector<std::size_t> ends_;
    bool ok_ = false;
};

template <class Use>
bool read_ids(py::handle sequence, Use use) {
    if (!is_plain_sequence(sequence)) return false;
    const Interpreter python;
    const PackedIds ids(python, sequence);
    if (!ids.ok()) return false;
    use(ids);
    return true;
}

// Reads a plain dict keyed by plain str: `values(python, list)` checks and
// packs its values (in the dict's order) and returns false when they are
// not plain; then use(keys, packed values).
template <class Values, class Use>
bool read_dict(py::handle dict, Values values, Use use) {
    if (!PyDict_CheckExact(dict.ptr())) return false;
    const Interpreter python;
    const PackedIds keys(python, steal_checked(PyDict_Keys(dict.ptr())));
    if (!keys.ok()) return false;
    const py::object listed = steal_checked(PyDict_Values(dict.ptr()));
    return values(python, listed, [&](const auto&... packed) { use(keys, packed...); });
}

}  // namespace

bool read_voters(py::handle sequence, tarvek::ElectionInterner& interner) {
    return read_ids(sequence, [&](const PackedIds& ids) {
        interner.reserve_voters(ids.size());
        interner.add_voters(ids.size(), [&](std::size_t i) { return ids[i]; });
    });
}

bool read_projects(py::handle sequence, tarvek::ElectionInterner& interner) {
    return read_ids(sequence, [&](const PackedIds& ids) {
        interner.reserve_projects(ids.size());
        for (std::size_t i = 0; i < ids.size(); ++i) interner.add_project(ids[i]);
    });
}

bool read_costs(py::handle dict, tarvek::ElectionInterner& interner) {
    return read_dict(
        dict,
        [](const Interpreter& python, py::handle values, auto use) {
            if (!python.all_exactly(values, &PyFloat_Type)) return false;
            use(Items<double>(python.packed("d", values)));
            return true;
        },
        [&](const PackedIds& keys, const Items<double>& costs) {
            for (std::size_t i = 0; i < keys.size(); ++i) {
                interner.set_cost(interner.project(keys[i]), costs[i]);
            }
        });
}

bool read_total_utilities(py::handle dict, tarvek::ElectionInterner& interner) {
    return read_dict(
        dict,
        [](const Interpreter& python, py::handle values, auto use) {
            if (!python.all_exactly(values, &PyLong_Type)) return false;
            const py::object packed = python.packed("i", values);
            if (!packed) return false;
            use(Items<std::int32_t>(packed));
            return true;
        },
        [&](const PackedIds& keys, const Items<std::int32_t>& totals) {
            for (std::size_t i = 0; i < keys.size(); ++i) {
                interner.set_total_utility(interner.project(keys[i]), totals[i]);
            }
        });
}

bool read_supporter_lists(py::handle dict, tarvek::ElectionInterner& interner) {
    return read_dict(
        dict,
        [](const Interpreter& python, py::handle lists, auto use) {
            // Lists of (str, int) tuples, all of them joined into one list of
            // pairs, then split into one list of ids and one of utilities.
            if (!python.all_exactly(lists, &PyList_Type)) return false;
            const py::object lengths = python.packed("q", python.map(python.len, lists));
            const py::object pairs = steal_checked(PySequence_List(python.chain(lists).ptr()));
            if (!python.all_exactly(pairs, &PyTuple_Type)) return false;
            const py::object two = py::int_(2);
            if (python.all(python.map(python.eq, python.map(python.len, pairs), python.repeat(two)))
                    .ptr() != Py_True) {
                return false;
            }
            const PackedIds ids(python, steal_checked(PySequence_List(
                                            python.map(python.itemgetter(0), pairs).ptr())));
            if (!ids.ok()) return false;
            const py::object utilities =
                steal_checked(PySequence_List(python.map(python.itemgetter(1), pairs).ptr()));
            if (!python.all_exactly(utilities, &PyLong_Type)) return false;
            const py::object packed = python.packed("i", utilities);
            if (!packed) return false;
            use(Items<std::int64_t>(lengths), ids, Items<std::int32_t>(packed));
            return true;
        },
        [&](const PackedIds& keys, const Items<std::int64_t>& lengths, const PackedIds& ids,
            const Items<std::int32_t>& utilities) {
            std::size_t first = 0;
            for (std::size_t i = 0; i < keys.size(); ++i) {
                const Index project = interner.project(keys[i]);
                const auto length = static_cast<std::size_t>(lengths[i]);
                if (interner.begin_supporters(project, length)) {
                    interner.add_supporters(
                        length, [&](std::size_t k) { return ids[first + k]; },
                        [&](std::size_t k) { return utilities[first + k]; });
                    interner.end_supporters(project);
                }
                first += length;
            }
        });
}

}  // namespace plain
}  // namespace tarvek_module
