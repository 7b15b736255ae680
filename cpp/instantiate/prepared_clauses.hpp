// The clauses of one record in the form its storage takes: literal lists back to back, their
// template weight positions and the auxiliaries to enter in the name-to-number map. Python-free.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#if defined(__linux__)
#include <sys/mman.h>
#endif
#include <utility>
#include <vector>

#include "instantiate/block_layout.hpp"

namespace zk::instantiate {

// Stable by absolute value: a literal and its negation keep the order they were met. Template
// clauses are short, and their literals often arrive in order already.
inline void sort_by_magnitude(int64_t *a, size_t n) {
    constexpr size_t kInsertionLimit = 24;
    if (n > kInsertionLimit) {
        std::stable_sort(a, a + n, [](int64_t x, int64_t y) { return std::abs(x) < std::abs(y); });
        return;
    }
    for (size_t i = 1; i < n; ++i) {
        int64_t x = a[i];
        int64_t ax = std::abs(x);
        size_t j = i;
        while (j > 0 && std::abs(a[j - 1]) > ax) {
            a[j] = a[j - 1];
            --j;
        }
        a[j] = x;
    }
}

// One auxiliary occurrence to record in the name-to-number map.
struct AuxEntry {
    AuxKind kind_;
    int64_t instance_;
    int64_t k_;
    int64_t number_;
};

// Leaves new elements of a vector uninitialised: the literal arrays are written once, in full,
// right after they are sized.
template <typename T>
struct UninitAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitAllocator<U>;
    };
    UninitAllocator() = default;
    template <typename U>
    UninitAllocator(const UninitAllocator<U> &) noexcept {}

    // Arrays of a large record take huge pages where the system offers them on request: the
    // fresh memory is then mapped at a fraction of the page faults.
    T *allocate(size_t n) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        constexpr size_t kHuge = size_t{2} << 20;
        const size_t bytes = n * sizeof(T);
        if (bytes >= 4 * kHuge) {
            void *p = std::aligned_alloc(kHuge, (bytes + kHuge - 1) / kHuge * kHuge);
            if (!p) throw std::bad_alloc();
            madvise(p, bytes, MADV_HUGEPAGE);
            return static_cast<T *>(p);
        }
#endif
        return std::allocator<T>::allocate(n);
    }
    void deallocate(T *p, size_t n) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        if (n * sizeof(T) >= 4 * (size_t{2} << 20)) {
            std::free(p);
            return;
        }
#endif
        std::allocator<T>::deallocate(p, n);
    }
    template <typename U>
    void construct(U *p) noexcept {
        ::new (static_cast<void *>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U *p, Args &&...args) {
        ::new (static_cast<void *>(p)) U(std::forward<Args>(args)...);
    }
};

using LiteralArray = std::vector<int64_t, UninitAllocator<int64_t>>;

// The clauses of one record ready for its storage: literal lists back to back (64-bit, the form
// a bulk insertion takes as it stands), and for a soft record the template position whose weight
// each clause carries. Every clause of a record is of one kind.
struct PreparedClauses {
    LiteralArray begin_{0};
    LiteralArray lits_;
    std::vector<int32_t> weight_pos_;  // empty for a hard record
    std::vector<AuxEntry> aux_;

    size_t size() const { return begin_.size() - 1; }
    bool soft() const { return !weight_pos_.empty(); }

    // Closes the clause whose literals were appended since the last call; -1: a hard clause.
    void close_clause(int32_t weight_position) {
        sort_by_magnitude(lits_.data() + begin_.back(),
                          lits_.size() - static_cast<size_t>(begin_.back()));
        begin_.push_back(static_cast<int64_t>(lits_.size()));
        if (weight_position >= 0) weight_pos_.push_back(weight_position);
    }
};

}  // namespace zk::instantiate
