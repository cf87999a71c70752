#include "plain_reader.hpp"

#include <pybind11/eval.h>

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "plain_packing.hpp"

namespace tarvek_module {
namespace plain {
namespace {

using tarvek::Index;

// The packing functions, compiled once and kept for the interpreter's life.
py::object packing(const char* name) {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::dict> storage;
    const py::dict& functions = storage
                                    .call_once_and_store_result([] {
                                        py::dict scope;
                                        py::exec(kPackingSource, scope);
                                        return scope;
                                    })
                                    .get_stored();
    return functions[name];
}

// The packed form of an argument, or an empty object when the argument is
// not plain. Exceptions that mean "not plain" are cleared; others pass.
template <class... Args>
py::object packed(const char* function, Args&&... args) {
    PyObject* result = PyObject_CallFunctionObjArgs(packing(function).ptr(), args..., nullptr);
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

py::handle part(const py::object& packed, Py_ssize_t i) { return PyTuple_GET_ITEM(packed.ptr(), i); }

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

// Packed ids: the UTF-8 bytes of all of them back to back (a bytes object)
// with each id's length in code points (an array), split where each ends.
class PackedIds {
public:
    explicit PackedIds(py::handle packed) {
        const py::handle utf8 = part(py::reinterpret_borrow<py::object>(packed), 0);
        const Items<std::int64_t> code_points(part(py::reinterpret_borrow<py::object>(packed), 1));
        bytes_ = PyBytes_AS_STRING(utf8.ptr());
        const auto byte_count = static_cast<std::size_t>(PyBytes_GET_SIZE(utf8.ptr()));
        ends_.resize(code_points.size());
        std::size_t end = 0;
        std::size_t characters = 0;
        for (std::size_t i = 0; i < code_points.size(); ++i) characters += static_cast<std::size_t>(code_points[i]);
        const bool ascii = characters == byte_count;
        for (std::size_t i = 0; i < code_points.size(); ++i) {
            if (ascii) {
                end += static_cast<std::size_t>(code_points[i]);
            } else {
                // Step over the id's code points by their lead bytes.
                for (std::int64_t k = 0; k < code_points[i]; ++k) {
                    const auto lead = static_cast<unsigned char>(bytes_[end]);
                    end += lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
                }
            }
            ends_[i] = end;
        }
    }

    std::size_t size() const { return ends_.size(); }
    std::string_view operator[](std::size_t i) const {
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return {bytes_ + begin, ends_[i] - begin};
    }

private:
    const char* bytes_ = nullptr;  // owned by the packed object
    std::vector<std::size_t> ends_;
};

template <class T, class Set>
bool read_numbers(py::handle dict, PyTypeObject* type, const char* code, Set set) {
    const py::object result =
        packed("numbers", dict.ptr(), reinterpret_cast<PyObject*>(type), py::str(code).ptr());
    if (!result) return false;
    const PackedIds keys(part(result, 0));
    const Items<T> values(part(result, 1));
    for (std::size_t i = 0; i < keys.size(); ++i) set(keys[i], values[i]);
    return true;
}

}  // namespace

bool read_voters(py::handle sequence, tarvek::ElectionInterner& interner) {
    const py::object result = packed("ids", sequence.ptr());
    if (!result) return false;
    const PackedIds ids(result);
    interner.reserve_voters(ids.size());
    interner.add_voters(ids.size(), [&](std::size_t i) { return ids[i]; });
    return true;
}

bool read_projects(py::handle sequence, tarvek::ElectionInterner& interner) {
    const py::object result = packed("ids", sequence.ptr());
    if (!result) return false;
    const PackedIds ids(result);
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
    const py::object result = packed("supporter_lists", dict.ptr());
    if (!result) return false;
    const PackedIds keys(part(result, 0));
    const Items<std::int64_t> lengths(part(result, 1));
    const PackedIds voters(part(result, 2));
    const Items<std::int32_t> utilities(part(result, 3));
    std::size_t first = 0;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const Index project = interner.project(keys[i]);
        const auto length = static_cast<std::size_t>(lengths[i]);
        if (interner.begin_supporters(project, length)) {
            interner.add_supporters(
                length, [&](std::size_t k) { return voters[first + k]; },
                [&](std::size_t k) { return utilities[first + k]; });
            interner.end_supporters(project);
        }
        first += length;
    }
    return true;
}

}  // namespace plain
}  // namespace tarvek_module
