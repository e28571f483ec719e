// A short list of constant items with its capacity fixed at compile time,
// for the tables that describe functions and classes. Written with braces
// like a list, stored inline, no allocation.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>

namespace vx {

template <class T, std::size_t Capacity>
class FixedList {
public:
    constexpr FixedList() noexcept = default;
    constexpr FixedList(std::initializer_list<T> items) noexcept {
        for (const T& item : items) {
            items_[size_++] = item;
        }
    }

    constexpr std::size_t size() const noexcept { return size_; }
    constexpr bool empty() const noexcept { return size_ == 0; }
    constexpr const T& operator[](std::size_t i) const noexcept { return items_[i]; }
    constexpr const T* begin() const noexcept { return items_.data(); }
    constexpr const T* end() const noexcept { return items_.data() + size_; }

private:
    std::array<T, Capacity> items_{};
    std::size_t size_ = 0;
};

}  // namespace vx
