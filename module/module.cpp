// The Python module: binds the engine's two rule functions, nothing else.
// pybind11's standard conversions and exception translation are the contract;
// no names, defaults or docstrings are added on purpose. Dicts are read as
// plain dicts on every interpreter (plain_dict.hpp).
#include "plain_dict.hpp"

PYBIND11_MODULE(tarvekbindings, m) {
    // PyPy leaves __doc__ out of a module created without a docstring, so the
    // attribute would be the module type's own; None on every interpreter.
    m.doc() = pybind11::none();
    m.def("equal_shares_utils", &equal_shares_utils);
    m.def("equal_shares_add1", &equal_shares_add1);
}
