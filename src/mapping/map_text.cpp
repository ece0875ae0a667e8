// DictionaryMap: the text view of a layout.
#include "mapping/item_access.hpp"
#include "mapping/map_internal.hpp"

#include <string>

namespace tamsel::mapping {

using binding::Ref;

namespace {

constexpr Py_ssize_t kColumnWidth = 20;

std::string bytes_dot_bits(unsigned bits) { return std::to_string(bits / 8) + ".." + std::to_string(bits % 8); }

// One line: the first column padded to `item_space`, the others to 20 characters; longer
// texts are kept whole.
PyObject* format_row(PyObject* first, Py_ssize_t item_space, const std::string& second, const std::string& third) {
    Ref padded = Ref::steal(PyObject_CallMethod(first, "ljust", "n", item_space));
    if (!padded) return nullptr;
    auto column = [](std::string text) {
        if (static_cast<Py_ssize_t>(text.size()) < kColumnWidth) text.resize(kColumnWidth, ' ');
        return text;
    };
    return PyUnicode_FromFormat("%U | %s | %s", padded.get(), column(second).c_str(), column(third).c_str());
}

PyObject* map_get_text_representation(MapObject* map, PyObject* item_space_arg) {
    Py_ssize_t item_space = PyLong_AsSsize_t(item_space_arg);
    if (item_space == -1 && PyErr_Occurred()) return nullptr;
    Ref lines = Ref::steal(PyList_New(0));
    Ref header = Ref::steal(PyUnicode_FromString("Item"));
    if (!lines || !header) return nullptr;
    Ref line = Ref::steal(format_row(header.get(), item_space, "Position bytes..bits", "Size bytes..bits"));
    if (!line || PyList_Append(lines.get(), line.get()) < 0) return nullptr;
    for (Py_ssize_t i = 0; i < length(map); ++i) {
        Ref entry = Ref::borrow(PyList_GET_ITEM(map->entries, i));
        auto* mapped = as_mapped_item(entry.get());
        Ref name = Ref::steal(is_padding(mapped) ? PyUnicode_FromString("Padding") : item_name(mapped->item));
        if (!name) return nullptr;
        line = Ref::steal(
            format_row(name.get(), item_space, bytes_dot_bits(mapped->position_bits), bytes_dot_bits(mapped->bits)));
        if (!line || PyList_Append(lines.get(), line.get()) < 0) return nullptr;
    }
    Ref separator = Ref::steal(PyUnicode_FromString("\n"));
    if (!separator) return nullptr;
    return PyUnicode_Join(separator.get(), lines.get());
}

}  // namespace

PyMethodDef* const map_text_methods = binding::methods<
    binding::method<"get_text_representation", "Get a text representation of the map", map_get_text_representation,
                    binding::param<"item_space", binding::exact_int, "40">>>::table;

}  // namespace tamsel::mapping
