// An integer of any size, for the coefficients and constants of numeric linear expressions whose
// exact value leaves 64 bits: the host's ints never wrap, so neither may the native arithmetic
// that stands in for them. Only what that arithmetic needs: +, -, *, negation, a test for zero,
// the int64 value when it fits, the float value as the host rounds an int (to nearest, ties to
// even), and a hexadecimal text through which the host's int is read and made.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zk::linear {

class ExactInt {
  public:
    ExactInt() = default;
    // Implicit: the arithmetic's templates write T(0) and compare with 0.
    ExactInt(std::int64_t v) {  // NOLINT(google-explicit-constructor)
        negative_ = v < 0;
        // The magnitude of INT64_MIN is 2^63, which int64 cannot negate.
        std::uint64_t m =
            negative_ ? ~static_cast<std::uint64_t>(v) + 1 : static_cast<std::uint64_t>(v);
        while (m != 0) {
            limbs_.push_back(static_cast<std::uint32_t>(m));
            m >>= 32;
        }
    }

    bool is_zero() const { return limbs_.empty(); }
    bool negative() const { return negative_; }

    // The value when it lies within int64.
    bool fits_int64(std::int64_t &out) const {
        if (limbs_.size() > 2) return false;
        std::uint64_t m = magnitude64();
        if (!negative_) {
            if (m > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                return false;
            out = static_cast<std::int64_t>(m);
            return true;
        }
        if (m > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1)
            return false;
        out = static_cast<std::int64_t>(~m + 1);
        return true;
    }

    // The nearest double, ties to even, as the host's float(int) gives it; an infinity where
    // the host raises OverflowError.
    double to_double() const {
        const std::size_t bits = bit_length();
        double magnitude;
        if (bits <= 64) {
            magnitude = static_cast<double>(magnitude64());
        } else {
            // The top 64 bits, the lowest of them also standing for every bit below (sticky):
            // rounding them to 53 bits rounds the whole magnitude.
            const std::size_t shift = bits - 64;
            std::uint64_t top = 0;
            for (std::size_t b = 0; b < 64; ++b)
                if (bit(shift + b)) top |= std::uint64_t{1} << b;
            bool sticky = false;
            for (std::size_t b = 0; b < shift && !sticky; ++b) sticky = bit(b);
            if (sticky) top |= 1;
            magnitude = std::ldexp(static_cast<double>(top),
                                   static_cast<int>(std::min<std::size_t>(shift, 4096)));
        }
        return negative_ ? -magnitude : magnitude;
    }

    friend ExactInt operator-(const ExactInt &a) {
        ExactInt r = a;
        if (!r.is_zero()) r.negative_ = !r.negative_;
        return r;
    }

    friend ExactInt operator+(const ExactInt &a, const ExactInt &b) {
        if (a.negative_ == b.negative_)
            return with_sign(add_magnitudes(a.limbs_, b.limbs_), a.negative_);
        // Opposite signs: the larger magnitude keeps its sign.
        const int c = compare_magnitudes(a.limbs_, b.limbs_);
        if (c == 0) return ExactInt();
        if (c > 0) return with_sign(subtract_magnitudes(a.limbs_, b.limbs_), a.negative_);
        return with_sign(subtract_magnitudes(b.limbs_, a.limbs_), b.negative_);
    }

    friend ExactInt operator-(const ExactInt &a, const ExactInt &b) { return a + (-b); }

    friend ExactInt operator*(const ExactInt &a, const ExactInt &b) {
        if (a.is_zero() || b.is_zero()) return ExactInt();
        std::vector<std::uint32_t> out(a.limbs_.size() + b.limbs_.size(), 0);
        for (std::size_t i = 0; i < a.limbs_.size(); ++i) {
            std::uint64_t carry = 0;
            for (std::size_t j = 0; j < b.limbs_.size(); ++j) {
                const std::uint64_t t =
                    static_cast<std::uint64_t>(a.limbs_[i]) * b.limbs_[j] + out[i + j] + carry;
                out[i + j] = static_cast<std::uint32_t>(t);
                carry = t >> 32;
            }
            std::size_t k = i + b.limbs_.size();
            while (carry != 0) {
                const std::uint64_t t = static_cast<std::uint64_t>(out[k]) + carry;
                out[k++] = static_cast<std::uint32_t>(t);
                carry = t >> 32;
            }
        }
        return with_sign(std::move(out), a.negative_ != b.negative_);
    }

    friend bool operator==(const ExactInt &a, const ExactInt &b) {
        return a.negative_ == b.negative_ && a.limbs_ == b.limbs_;
    }
    friend bool operator!=(const ExactInt &a, const ExactInt &b) { return !(a == b); }

    // "-0x1f", "0x0": the form the host's hex() writes and int(text, 16) reads.
    std::string hex() const {
        static constexpr char kDigits[] = "0123456789abcdef";
        std::string out = negative_ ? "-0x" : "0x";
        if (is_zero()) return out + "0";
        bool leading = true;
        for (std::size_t l = limbs_.size(); l-- > 0;) {
            for (int shift = 28; shift >= 0; shift -= 4) {
                const unsigned d = (limbs_[l] >> shift) & 0xfu;
                if (leading && d == 0) continue;
                leading = false;
                out += kDigits[d];
            }
        }
        return out;
    }

    // The value of a text as hex() writes it; std::nullopt for anything else.
    static std::optional<ExactInt> from_hex(std::string_view text) {
        ExactInt r;
        if (!text.empty() && text.front() == '-') {
            r.negative_ = true;
            text.remove_prefix(1);
        }
        if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X'))
            return std::nullopt;
        text.remove_prefix(2);
        std::vector<std::uint32_t> limbs((text.size() + 7) / 8, 0);
        std::size_t nibble = 0;
        for (std::size_t k = text.size(); k-- > 0; ++nibble) {
            const char c = text[k];
            unsigned d;
            if (c >= '0' && c <= '9')
                d = static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f')
                d = static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                d = static_cast<unsigned>(c - 'A' + 10);
            else
                return std::nullopt;
            limbs[nibble / 8] |= static_cast<std::uint32_t>(d) << (4 * (nibble % 8));
        }
        return with_sign(std::move(limbs), r.negative_);
    }

  private:
    static ExactInt with_sign(std::vector<std::uint32_t> limbs, bool negative) {
        while (!limbs.empty() && limbs.back() == 0) limbs.pop_back();
        ExactInt r;
        r.limbs_ = std::move(limbs);
        r.negative_ = negative && !r.limbs_.empty();
        return r;
    }

    std::uint64_t magnitude64() const {
        std::uint64_t m = 0;
        if (!limbs_.empty()) m = limbs_[0];
        if (limbs_.size() > 1) m |= static_cast<std::uint64_t>(limbs_[1]) << 32;
        return m;
    }

    std::size_t bit_length() const {
        if (limbs_.empty()) return 0;
        std::size_t bits = 32 * (limbs_.size() - 1);
        for (std::uint32_t top = limbs_.back(); top != 0; top >>= 1) ++bits;
        return bits;
    }

    bool bit(std::size_t b) const { return (limbs_[b / 32] >> (b % 32)) & 1u; }

    static int compare_magnitudes(const std::vector<std::uint32_t> &a,
                                  const std::vector<std::uint32_t> &b) {
        if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
        for (std::size_t k = a.size(); k-- > 0;)
            if (a[k] != b[k]) return a[k] < b[k] ? -1 : 1;
        return 0;
    }

    static std::vector<std::uint32_t> add_magnitudes(const std::vector<std::uint32_t> &a,
                                                     const std::vector<std::uint32_t> &b) {
        std::vector<std::uint32_t> out(std::max(a.size(), b.size()) + 1, 0);
        std::uint64_t carry = 0;
        for (std::size_t k = 0; k + 1 < out.size(); ++k) {
            const std::uint64_t t = static_cast<std::uint64_t>(k < a.size() ? a[k] : 0) +
                                    (k < b.size() ? b[k] : 0) + carry;
            out[k] = static_cast<std::uint32_t>(t);
            carry = t >> 32;
        }
        out.back() = static_cast<std::uint32_t>(carry);
        return out;
    }

    // |a| - |b| for |a| >= |b|.
    static std::vector<std::uint32_t> subtract_magnitudes(const std::vector<std::uint32_t> &a,
                                                          const std::vector<std::uint32_t> &b) {
        std::vector<std::uint32_t> out(a.size(), 0);
        std::int64_t borrow = 0;
        for (std::size_t k = 0; k < a.size(); ++k) {
            std::int64_t t = static_cast<std::int64_t>(a[k]) - (k < b.size() ? b[k] : 0) - borrow;
            borrow = t < 0 ? 1 : 0;
            if (t < 0) t += std::int64_t{1} << 32;
            out[k] = static_cast<std::uint32_t>(t);
        }
        return out;
    }

    bool negative_ = false;
    std::vector<std::uint32_t> limbs_;  // the magnitude, least significant first, no top zeros
};

}  // namespace zk::linear
