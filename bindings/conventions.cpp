#include "conventions.h"

namespace tavix_bindings {

std::array<float, 3> FirstThree(const FloatList& list, const char* argument) {
    if (list.values.size() < 3) {
        throw py::value_error(std::string(argument) + ": expected at least 3 values, got " +
                              std::to_string(list.values.size()));
    }
    return {list.values[0], list.values[1], list.values[2]};
}

namespace {
// Puts a new reference into a fresh list, raising the interpreter's error when it could not be made.
void SetItem(py::list& list, size_t i, PyObject* item) {
    if (item == nullptr) throw py::error_already_set();
    PyList_SET_ITEM(list.ptr(), static_cast<ssize_t>(i), item);
}
}  // namespace

py::list FloatsList(const float* values, size_t n) {
    py::list result(n);
    for (size_t i = 0; i < n; ++i) SetItem(result, i, PyFloat_FromDouble(static_cast<double>(values[i])));
    return result;
}

py::list IntsList(const uint8_t* values, size_t n) {
    py::list result(n);
    for (size_t i = 0; i < n; ++i) SetItem(result, i, PyLong_FromLong(values[i]));
    return result;
}

void WarnDeprecated(const char* message) {
    if (PyErr_WarnEx(PyExc_DeprecationWarning, message, 1) != 0) throw py::error_already_set();
}

}  // namespace tavix_bindings
