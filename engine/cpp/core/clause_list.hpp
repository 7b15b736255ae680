// Clauses kept as one flat literal array with offsets: clause i is lits[offsets[i], offsets[i+1]).
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "pb_encoder.hpp"

namespace se {

// A growable array of plain values for clause data, which runs to hundreds of megabytes: growth
// leaves new slots uninitialised (a bulk insertion writes each exactly once), goes through
// realloc (which moves a large block by remapping its pages, not by copying them) and asks for
// transparent huge pages on large blocks (a fault per 2 MiB instead of per 4 KiB).
template <typename T>
class PodArray {
    static_assert(std::is_trivially_copyable_v<T>, "PodArray holds plain values only");

  public:
    using value_type = T;

    PodArray() = default;
    PodArray(std::initializer_list<T> init) { append(init.begin(), init.size()); }
    PodArray(const PodArray &other) { append(other.data_, other.size_); }
    PodArray(PodArray &&other) noexcept
        : data_(other.data_), size_(other.size_), capacity_(other.capacity_) {
        other.data_ = nullptr;
        other.size_ = other.capacity_ = 0;
    }
    PodArray &operator=(const PodArray &other) {
        if (this != &other) {
            size_ = 0;
            append(other.data_, other.size_);
        }
        return *this;
    }
    PodArray &operator=(PodArray &&other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = other.data_;
            size_ = other.size_;
            capacity_ = other.capacity_;
            other.data_ = nullptr;
            other.size_ = other.capacity_ = 0;
        }
        return *this;
    }
    ~PodArray() { std::free(data_); }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::size_t capacity() const { return capacity_; }
    T *data() { return data_; }
    const T *data() const { return data_; }
    const T *begin() const { return data_; }
    const T *end() const { return data_ + size_; }
    T &operator[](std::size_t i) { return data_[i]; }
    const T &operator[](std::size_t i) const { return data_[i]; }
    const T &back() const { return data_[size_ - 1]; }

    void push_back(T v) {
        if (size_ == capacity_) grow_for(size_ + 1);
        data_[size_++] = v;
    }
    // n more slots at the end, uninitialised: the caller fills them.
    T *extend(std::size_t n) {
        if (n > capacity_ - size_) grow_for(size_ + n);
        T *p = data_ + size_;
        size_ += n;
        return p;
    }
    void append(const T *p, std::size_t n) {
        if (n == 0) return;
        // p may point into this array, which growing moves: note where it lies first.
        const bool inside = p >= data_ && p < data_ + size_;
        const std::size_t at = inside ? static_cast<std::size_t>(p - data_) : 0;
        T *dst = extend(n);
        std::memcpy(dst, inside ? data_ + at : p, n * sizeof(T));
    }
    // Shrinks (never grows) to n values.
    void truncate(std::size_t n) {
        if (n < size_) size_ = n;
    }
    void clear() { size_ = 0; }
    // Room for n values in all, exactly: a caller that knows the final size wastes nothing.
    void reserve(std::size_t n) {
        if (n > capacity_) reallocate(n);
    }

  private:
    static constexpr std::size_t kHugeFrom = std::size_t{8} << 20;  // bytes
    static constexpr std::size_t kPage = 4096;
    static constexpr std::size_t kHugePage = std::size_t{2} << 20;

    // Geometric growth keeps repeated appends linear in the values appended.
    void grow_for(std::size_t needed) {
        if (needed > max_size()) throw std::bad_alloc();
        std::size_t cap = capacity_ < max_size() / 2 ? capacity_ * 2 : max_size();
        reallocate(std::max({needed, cap, std::size_t{16}}));
    }
    static constexpr std::size_t max_size() { return (std::size_t{1} << 62) / sizeof(T); }
    void reallocate(std::size_t cap) {
        // A first large block starts on a huge-page boundary, so that all of it can be huge
        // pages (a block filled once, as a bulk insertion's, is never moved); later growth
        // keeps realloc's remapping.
        const std::size_t bytes = cap * sizeof(T);
        void *p = nullptr;
        if (data_ == nullptr && bytes >= kHugeFrom) {
            // posix_memalign rather than aligned_alloc: older macOS has only the former.
            if (posix_memalign(&p, kHugePage, bytes) != 0) p = nullptr;
        } else {
            p = std::realloc(data_, bytes);
        }
        if (p == nullptr) throw std::bad_alloc();
        data_ = static_cast<T *>(p);
        capacity_ = cap;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        if (bytes >= kHugeFrom) {
            const auto start = (reinterpret_cast<std::uintptr_t>(p) + kPage - 1) & ~(kPage - 1);
            const auto stop = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(kPage - 1);
            // Advice only: where it is refused the memory is as good, only slower to fault in.
            if (stop > start) madvise(reinterpret_cast<void *>(start), stop - start, MADV_HUGEPAGE);
        }
#endif
    }

    T *data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// The clauses lie in blocks, each a flat literal array with offsets; a list is a sequence of
// pieces, each a view of a block's first clauses. merge shares large blocks instead of copying
// them (a build merges every record's storage into its own, then drops the record's), and a
// block is written only by a list that holds it alone, so sharing never shows.
class ClauseList : public pbct::ClauseSink {
    struct Block {
        PodArray<int32_t> lits_;
        PodArray<int64_t> offsets_{0};  // from 0, within the block
    };
    struct Piece {
        std::shared_ptr<Block> block_;
        std::size_t clauses_;    // the view: the block's first `clauses_` clauses
        std::size_t first_;      // list index of its first clause
        std::size_t lit_first_;  // list index of its first literal
        std::size_t lit_end() const {
            return lit_first_ + static_cast<std::size_t>(block_->offsets_[clauses_]);
        }
    };
    // Smaller pieces are copied: sharing them would only fragment the list.
    static constexpr std::size_t kShareFrom = std::size_t{1} << 16;  // literals

  public:
    void add_clause(const int32_t *lits, std::size_t size) override {
        const Room room = extend(1, size);
        if (size != 0) std::memcpy(room.lits_, lits, size * sizeof(int32_t));
        room.offsets_[0] = room.base_ + static_cast<int64_t>(size);
    }

    // Room for `clauses` more clauses holding `lits` literals in all, uninitialised: the caller
    // writes lits[0, lits) and offsets[0, clauses), each offset counted from `base`, and gives
    // the room back with truncate(old size) when it fails.
    struct Room {
        int32_t *lits_;
        int64_t *offsets_;
        int64_t base_;
    };
    Room extend(std::size_t clauses, std::size_t lits) {
        Block &b = writable_tail();
        const std::size_t old_lits = b.lits_.size();
        int32_t *l = b.lits_.extend(lits);
        int64_t *o;
        try {
            o = b.offsets_.extend(clauses);
        } catch (...) {
            b.lits_.truncate(old_lits);
            throw;
        }
        pieces_.back().clauses_ += clauses;
        size_ += clauses;
        return Room{l, o, static_cast<int64_t>(old_lits)};
    }

    // Appends other's clauses; other may be this list.
    void append(const ClauseList &other) {
        // A copy of the pieces holds their blocks, so none of them is written while read.
        const std::vector<Piece> pieces = other.pieces_;
        const std::size_t old = size_;
        try {
            for (const Piece &p : pieces) {
                if (p.clauses_ == 0) continue;
                const Block &src = *p.block_;
                const auto lits = static_cast<std::size_t>(src.offsets_[p.clauses_]);
                if (lits >= kShareFrom) {
                    pieces_.push_back(Piece{p.block_, p.clauses_, size_, literal_count()});
                    size_ += p.clauses_;
                    continue;
                }
                const Room room = extend(p.clauses_, lits);
                if (lits != 0) std::memcpy(room.lits_, src.lits_.data(), lits * sizeof(int32_t));
                for (std::size_t i = 0; i < p.clauses_; ++i)
                    room.offsets_[i] = room.base_ + src.offsets_[i + 1];
            }
        } catch (...) {  // out of memory: all or nothing
            truncate(old);
            throw;
        }
    }
    // Drops every clause after the first n, and any literal after theirs (undoes a failed
    // encoding or insertion, whose room may hold literals without a clause).
    void truncate(std::size_t n) {
        if (n > size_) return;
        while (!pieces_.empty() && pieces_.back().first_ >= n) pieces_.pop_back();
        size_ = n;
        if (pieces_.empty()) return;
        Piece &last = pieces_.back();
        last.clauses_ = n - last.first_;
        if (last.block_.use_count() == 1) {
            Block &b = *last.block_;
            b.offsets_.truncate(last.clauses_ + 1);
            b.lits_.truncate(static_cast<std::size_t>(b.offsets_[last.clauses_]));
        }
    }
    void clear() { truncate(0); }

    std::size_t size() const { return size_; }
    std::size_t literal_count() const { return pieces_.empty() ? 0 : pieces_.back().lit_end(); }
    const int32_t *begin(std::size_t i) const {
        const Piece &p = piece_of(i);
        return p.block_->lits_.data() + p.block_->offsets_[i - p.first_];
    }
    std::size_t length(std::size_t i) const {
        const Piece &p = piece_of(i);
        const int64_t *o = p.block_->offsets_.data() + (i - p.first_);
        return static_cast<std::size_t>(o[1] - o[0]);
    }
    // f(literals, length) for each clause in order: the way to walk a large list.
    template <typename F>
    void for_each(F &&f) const {
        for (const Piece &p : pieces_) {
            const int32_t *lits = p.block_->lits_.data();
            const int64_t *o = p.block_->offsets_.data();
            for (std::size_t i = 0; i < p.clauses_; ++i)
                f(lits + o[i], static_cast<std::size_t>(o[i + 1] - o[i]));
        }
    }
    // The contents as one literal array and one offset array (from 0), copied.
    PodArray<int32_t> lits() const {
        PodArray<int32_t> out;
        int32_t *dst = out.extend(literal_count());
        for (const Piece &p : pieces_) {
            const auto n = static_cast<std::size_t>(p.block_->offsets_[p.clauses_]);
            if (n != 0)
                std::memcpy(dst + p.lit_first_, p.block_->lits_.data(), n * sizeof(int32_t));
        }
        return out;
    }
    PodArray<int64_t> offsets() const {
        PodArray<int64_t> out;
        int64_t *dst = out.extend(size_ + 1);
        dst[0] = 0;
        for (const Piece &p : pieces_) {
            const int64_t *o = p.block_->offsets_.data();
            const auto base = static_cast<int64_t>(p.lit_first_);
            for (std::size_t i = 1; i <= p.clauses_; ++i) dst[p.first_ + i] = base + o[i];
        }
        return out;
    }
    int32_t max_variable() const;

  private:
    // The block that new clauses go to: the last one, when this list holds it alone (cut to
    // this list's view of it), else a new one.
    Block &writable_tail() {
        if (!pieces_.empty() && pieces_.back().block_.use_count() == 1) {
            Piece &last = pieces_.back();
            Block &b = *last.block_;
            if (b.offsets_.size() != last.clauses_ + 1 ||
                b.lits_.size() != static_cast<std::size_t>(b.offsets_[last.clauses_])) {
                b.offsets_.truncate(last.clauses_ + 1);
                b.lits_.truncate(static_cast<std::size_t>(b.offsets_[last.clauses_]));
            }
            return b;
        }
        pieces_.push_back(Piece{std::make_shared<Block>(), 0, size_, literal_count()});
        return *pieces_.back().block_;
    }
    const Piece &piece_of(std::size_t i) const {
        if (pieces_.size() == 1) return pieces_.front();
        auto it = std::upper_bound(pieces_.begin(), pieces_.end(), i,
                                   [](std::size_t v, const Piece &p) { return v < p.first_; });
        // Pieces of no clause share their start with the next one: the last of them holds i.
        return *(it - 1);
    }

    std::vector<Piece> pieces_;
    std::size_t size_ = 0;
};

inline int32_t ClauseList::max_variable() const {
    int32_t m = 0;
    for (const Piece &p : pieces_) {
        const int32_t *lits = p.block_->lits_.data();
        const auto n = static_cast<std::size_t>(p.block_->offsets_[p.clauses_]);
        for (std::size_t i = 0; i < n; ++i) {
            const int32_t v = lits[i] < 0 ? -lits[i] : lits[i];
            if (v > m) m = v;
        }
    }
    return m;
}

}  // namespace se
