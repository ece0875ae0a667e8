#include "binding/convert.hpp"

namespace tamsel::binding::detail {

bool to_unsigned(PyObject* obj, unsigned long long max, const char* type_name, unsigned long long& out) {
    Ref number = Ref::steal(PyNumber_Index(obj));
    if (!number) return false;
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (overflow == 0 && value < 0)) {
        PyErr_Format(PyExc_OverflowError, "can't convert negative value to %s", type_name);
        return false;
    }
    if (overflow > 0 || static_cast<unsigned long long>(value) > max) {
        PyErr_Format(PyExc_OverflowError, "value too large to convert to %s", type_name);
        return false;
    }
    out = static_cast<unsigned long long>(value);
    return true;
}

}  // namespace tamsel::binding::detail
