#include "conventions.h"

namespace tavix_bindings {

std::array<float, 3> FirstThree(const FloatList& list, const char* argument) {
    if (list.values.size() < 3) {
        throw py::value_error(std::string(argument) + ": expected at least 3 values, got " +
                              std::to_string(list.values.size()));
    }
    return {list.values[0], list.values[1], list.values[2]};
}

void WarnDeprecated(const char* message) {
    if (PyErr_WarnEx(PyExc_DeprecationWarning, message, 1) != 0) throw py::error_already_set();
}

}  // namespace tavix_bindings
