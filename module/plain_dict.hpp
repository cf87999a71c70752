// Conversion of Python dicts into the engine's hash maps, the same on CPython
// and PyPy. Include this header instead of <pybind11/stl.h> in every
// extension module that takes the engine's maps as arguments.
//
// pybind11's own dict conversion walks the dict with PyDict_Next and converts
// each entry through borrowed references. On PyPy, PyDict_Next looks values
// up through the subclass's own __getitem__, so an override changes the
// result, and one that raises kills the interpreter. On both interpreters a
// value's __index__ or __float__ may change the dict while it is being read;
// a borrowed entry can then be freed while pybind11 still uses it.
//
// Here the dict is read once, up front, into a snapshot that owns every key
// and value:
// - No method that a dict subclass overrides is called. On CPython,
//   PyDict_Items copies the entries from the dict's storage in C. On PyPy it
//   runs the base type's dict.items, which asks the subclass's own __len__ for
//   the list's size; so there the dict is first copied with PyDict_Copy (the
//   base type's dict.copy, which calls no override) and the items are read from
//   that plain copy. (CPython's PyDict_Copy would call an overridden keys().)
//   PyPy itself still calls an overridden __len__ whenever it hands a dict
//   subclass to C code, before the module sees the object.
// - The snapshot is a C++ vector of owned references that no Python code can
//   reach. Whatever a conversion does to the dict (clearing it, growing it,
//   calling the module again), the entries still to be converted and the one
//   being converted stay alive and unchanged until the vector is destroyed.
// The entries come in insertion order and are inserted with emplace, so of two
// keys that convert to the same bytes the earlier one wins, as before.
#ifndef TARVEK_MODULE_PLAIN_DICT_HPP
#define TARVEK_MODULE_PLAIN_DICT_HPP

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <utility>
#include <vector>

#include "equal_shares.hpp"  // the maps the casters below are for

namespace tarvek_module {

namespace py = pybind11;

// pybind11's map caster with the dict read through an owned snapshot; the
// type's signature text and the conversion back to Python stay pybind11's.
template <typename Map>
struct plain_dict_caster
    : py::detail::map_caster<Map, typename Map::key_type, typename Map::mapped_type> {
    using key_conv = py::detail::make_caster<typename Map::key_type>;
    using value_conv = py::detail::make_caster<typename Map::mapped_type>;

    bool load(py::handle src, bool convert) {
        if (!PyDict_Check(src.ptr())) {
            return false;
        }
        std::vector<std::pair<py::object, py::object>> entries;
        {
#if defined(PYPY_VERSION)
            auto plain = py::reinterpret_steal<py::object>(PyDict_Copy(src.ptr()));
            if (!plain) {
                throw py::error_already_set();
            }
            auto items = py::reinterpret_steal<py::list>(PyDict_Items(plain.ptr()));
#else
            auto items = py::reinterpret_steal<py::list>(PyDict_Items(src.ptr()));
#endif
            if (!items) {
                throw py::error_already_set();
            }
            entries.reserve(items.size());
            for (py::handle item : items) {
                entries.emplace_back(py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(item.ptr(), 0)),
                                     py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(item.ptr(), 1)));
            }
        }
        this->value.clear();
        this->value.reserve(entries.size());
        for (const auto& entry : entries) {
            key_conv key;
            value_conv mapped;
            if (!key.load(entry.first, convert) || !mapped.load(entry.second, convert)) {
                return false;
            }
            this->value.emplace(py::detail::cast_op<typename Map::key_type&&>(std::move(key)),
                                py::detail::cast_op<typename Map::mapped_type&&>(std::move(mapped)));
        }
        return true;
    }
};

}  // namespace tarvek_module

namespace pybind11 {
namespace detail {

template <>
struct type_caster<tarvek::CostMap> : tarvek_module::plain_dict_caster<tarvek::CostMap> {};
template <>
struct type_caster<tarvek::ApproverMap> : tarvek_module::plain_dict_caster<tarvek::ApproverMap> {};
template <>
struct type_caster<tarvek::UtilityMap> : tarvek_module::plain_dict_caster<tarvek::UtilityMap> {};

}  // namespace detail
}  // namespace pybind11

#endif  // TARVEK_MODULE_PLAIN_DICT_HPP
