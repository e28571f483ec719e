#include "suggestions.hpp"

#include <algorithm>
#include <cstddef>
#include <string_view>

namespace vx {

namespace {

// The interpreter's weights and limits.
constexpr std::size_t move_cost = 2;
constexpr std::size_t case_cost = 1;
constexpr std::size_t longest = 40;  // longer names are never near
constexpr Py_ssize_t most_candidates = 750;

constexpr char lower(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// What replacing one byte of UTF-8 with another costs.
constexpr std::size_t substitution_cost(char a, char b) noexcept {
    if (a == b) {
        return 0;
    }
    return (a & 31) == (b & 31) && lower(a) == lower(b) ? case_cost : move_cost;
}

// The edit distance between `a` and `b`, or `limit` + 1 as soon as it is
// known to be beyond `limit`: one row of the table, updated in place.
std::size_t distance(std::string_view a, std::string_view b, std::size_t limit) noexcept {
    while (!a.empty() && !b.empty() && a.front() == b.front()) {
        a.remove_prefix(1);
        b.remove_prefix(1);
    }
    while (!a.empty() && !b.empty() && a.back() == b.back()) {
        a.remove_suffix(1);
        b.remove_suffix(1);
    }
    if (a.empty() || b.empty()) {
        return (a.size() + b.size()) * move_cost;
    }
    if (a.size() > longest || b.size() > longest) {
        return limit + 1;
    }
    if (b.size() < a.size()) {
        std::swap(a, b);
    }
    if ((b.size() - a.size()) * move_cost > limit) {
        return limit + 1;
    }
    std::size_t row[longest];
    for (std::size_t i = 0; i < a.size(); ++i) {
        row[i] = (i + 1) * move_cost;
    }
    std::size_t result = 0;
    for (std::size_t j = 0; j < b.size(); ++j) {
        std::size_t diagonal = j * move_cost;
        result = diagonal;
        std::size_t row_minimum = limit + 1;
        for (std::size_t i = 0; i < a.size(); ++i) {
            const std::size_t substitute = diagonal + substitution_cost(b[j], a[i]);
            diagonal = row[i];
            result = std::min(std::min(result, diagonal) + move_cost, substitute);
            row[i] = result;
            row_minimum = std::min(row_minimum, result);
        }
        if (row_minimum > limit) {
            return limit + 1;
        }
    }
    return result;
}

std::string_view utf8(PyObject* text) noexcept {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    return data != nullptr ? std::string_view(data, static_cast<std::size_t>(size))
                           : std::string_view();
}

}  // namespace

Owned suggest_name(PyObject* names, Py_ssize_t count, PyObject* keyword) noexcept {
    if (count >= most_candidates || !PyUnicode_Check(keyword)) {
        return {};
    }
    const std::string_view wanted = utf8(keyword);
    if (wanted.data() == nullptr) {
        return {};
    }
    PyObject* best = nullptr;
    auto best_distance = static_cast<std::size_t>(-1);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = PyTuple_GET_ITEM(names, i);
        if (PyUnicode_Compare(name, keyword) == 0) {
            continue;
        }
        const std::string_view candidate = utf8(name);
        if (candidate.data() == nullptr) {
            return {};
        }
        // No more than a third of the characters involved may change, and
        // only a nearer name than the best so far counts.
        const std::size_t limit = std::min((wanted.size() + candidate.size() + 3) * move_cost / 6,
                                           best_distance - 1);
        const std::size_t found = distance(wanted, candidate, limit);
        if (found <= limit && (best == nullptr || found < best_distance)) {
            best = name;
            best_distance = found;
        }
    }
    return add_ref(best);
}

}  // namespace vx
