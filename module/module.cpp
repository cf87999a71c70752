// The Python module: binds the engine's two rule functions, nothing else.
// pybind11's standard conversions and exception translation are the contract;
// no names, defaults or docstrings are added on purpose.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "equal_shares.hpp"

PYBIND11_MODULE(tarvekbindings, m) {
    m.def("equal_shares_utils", &equal_shares_utils);
    m.def("equal_shares_add1", &equal_shares_add1);
}
