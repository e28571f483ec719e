#include "line_table.hpp"

#include "refusal.hpp"

namespace vx::cpython {

namespace {
// Entries of the table: a byte of kind and length (code units, at most
// eight), then for the kind "line, no columns" the line's change as a
// signed varint (zero: one byte). The body the package copies is a few
// units; a longer one is refused rather than cut short.
constexpr unsigned char entry = 0x80, no_location = 15 << 3, line_only = 13 << 3;
constexpr Py_ssize_t longest = 8, most_entries = 4;
}  // namespace

PyObject* first_unit_without_line(Py_ssize_t units) noexcept {
    unsigned char table[1 + (2 * most_entries)];
    Py_ssize_t size = 0;
    table[size++] = entry | no_location;  // one unit
    for (Py_ssize_t left = units - 1; left > 0; left -= longest) {
        if (size + 2 > Py_ssize_t{sizeof table}) {
            refuse("its empty code object is longer than the line table written for it");
            return nullptr;
        }
        const Py_ssize_t length = left < longest ? left : longest;
        table[size++] = static_cast<unsigned char>(entry | line_only | (length - 1));
        table[size++] = 0;
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(table), size);
}

bool line_table_fits(PyObject* code, int first_line) noexcept {
    auto* read = reinterpret_cast<PyCodeObject*>(code);
    return (PyCode_Addr2Line(read, 0) == -1 &&
            PyCode_Addr2Line(read, static_cast<int>(code_unit)) == first_line) ||
           refuse("its code objects' line tables are not laid out as this build writes them");
}

}  // namespace vx::cpython
