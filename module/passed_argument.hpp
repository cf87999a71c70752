// An argument that reaches the bound function as the object that was passed,
// to be read there (election_reader.hpp), while the function's signature
// shows it as pybind11 shows the engine's type `Shown`: the generated
// docstring and TypeError texts stay those of pybind11's own conversions.
#ifndef TARVEK_MODULE_PASSED_ARGUMENT_HPP
#define TARVEK_MODULE_PASSED_ARGUMENT_HPP

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

namespace tarvek_module {

template <class Shown>
struct Passed {
    pybind11::handle object;  // borrowed: the call's argument tuple holds it
};

}  // namespace tarvek_module

namespace pybind11 {
namespace detail {

template <class Shown>
struct type_caster<tarvek_module::Passed<Shown>> {
    PYBIND11_TYPE_CASTER(tarvek_module::Passed<Shown>, make_caster<Shown>::name);
    bool load(handle src, bool) {
        value.object = src;
        return true;
    }
};

}  // namespace detail
}  // namespace pybind11

#endif  // TARVEK_MODULE_PASSED_ARGUMENT_HPP
