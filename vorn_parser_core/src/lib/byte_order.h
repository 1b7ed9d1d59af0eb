// Byte order and the explicit loads every reader goes through.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace vorn {

enum class ByteOrder { Big, Little };

inline constexpr ByteOrder kHostOrder = std::endian::native == std::endian::little ? ByteOrder::Little : ByteOrder::Big;

constexpr std::uint8_t bswap(std::uint8_t v) noexcept { return v; }
constexpr std::uint16_t bswap(std::uint16_t v) noexcept { return __builtin_bswap16(v); }
constexpr std::uint32_t bswap(std::uint32_t v) noexcept { return __builtin_bswap32(v); }
constexpr std::uint64_t bswap(std::uint64_t v) noexcept { return __builtin_bswap64(v); }

// Loads an unsigned integer of the given order from unaligned bytes.
template <class U>
    requires std::is_unsigned_v<U>
inline U load(const std::uint8_t* p, ByteOrder order) noexcept
{
    U v;
    std::memcpy(&v, p, sizeof v);
    return order == kHostOrder ? v : bswap(v);
}

// One stored sample as a double. A 32-bit sample widens exactly, NaNs included:
// the plain conversion would set the quiet bit of a signalling NaN, so a NaN is
// widened by its bits (sign, payload moved to the top of the wider fraction).
template <class U, class F>
inline double widen(U u) noexcept
{
    static_assert(sizeof(U) == sizeof(F));
    const F value = std::bit_cast<F>(u);
    if constexpr (sizeof(F) == sizeof(double)) {
        return value;
    } else {
        const std::uint64_t bits = (static_cast<std::uint64_t>(u & 0x80000000U) << 32) | (0x7FFULL << 52) |
                                   (static_cast<std::uint64_t>(u & 0x007FFFFFU) << 29);
        return std::isnan(value) ? std::bit_cast<double>(bits) : static_cast<double>(value);
    }
}

// Decodes n samples of width sizeof(U) into doubles. The order test sits
// outside the loops so that each loop is a plain load/swap/convert the
// compiler vectorises. 32-bit samples widen exactly.
template <class U, class F>
inline void decode_samples_as(const std::uint8_t* src, std::size_t n, ByteOrder order, double* dst) noexcept
{
    static_assert(sizeof(U) == sizeof(F));
    if (order == kHostOrder) {
        for (std::size_t i = 0; i < n; ++i) {
            U u;
            std::memcpy(&u, src + i * sizeof(U), sizeof u);
            dst[i] = widen<U, F>(u);
        }
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            U u;
            std::memcpy(&u, src + i * sizeof(U), sizeof u);
            dst[i] = widen<U, F>(bswap(u));
        }
    }
}

// The same into every `step`-th double of dst, for interleaved sections.
template <class U, class F>
inline void decode_samples_strided(const std::uint8_t* src, std::size_t n, ByteOrder order, double* dst,
                                   std::size_t step) noexcept
{
    static_assert(sizeof(U) == sizeof(F));
    const bool swap = order != kHostOrder;
    for (std::size_t i = 0; i < n; ++i) {
        U u;
        std::memcpy(&u, src + i * sizeof(U), sizeof u);
        dst[i * step] = widen<U, F>(swap ? bswap(u) : u);
    }
}

// A stride fixed at compile time, with the order test outside the loops, so
// each loop vectorises (loads, swaps and converts, then interleaving stores).
template <class U, class F, std::size_t Step>
inline void decode_samples_strided(const std::uint8_t* src, std::size_t n, ByteOrder order, double* dst) noexcept
{
    static_assert(sizeof(U) == sizeof(F));
    if (order == kHostOrder) {
        for (std::size_t i = 0; i < n; ++i) {
            U u;
            std::memcpy(&u, src + i * sizeof(U), sizeof u);
            dst[i * Step] = widen<U, F>(u);
        }
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            U u;
            std::memcpy(&u, src + i * sizeof(U), sizeof u);
            dst[i * Step] = widen<U, F>(bswap(u));
        }
    }
}

enum class SampleWidth : unsigned { Four = 4, Eight = 8 };

inline void decode_samples(const std::uint8_t* src, std::size_t n, SampleWidth width, ByteOrder order, double* dst,
                           std::size_t step = 1) noexcept
{
    if (step == 2) {
        // Interleaved with a partner section: a stride the compiler knows.
        if (width == SampleWidth::Eight) {
            decode_samples_strided<std::uint64_t, double, 2>(src, n, order, dst);
        } else {
            decode_samples_strided<std::uint32_t, float, 2>(src, n, order, dst);
        }
    } else if (step != 1) {
        if (width == SampleWidth::Eight) {
            decode_samples_strided<std::uint64_t, double>(src, n, order, dst, step);
        } else {
            decode_samples_strided<std::uint32_t, float>(src, n, order, dst, step);
        }
    } else if (width == SampleWidth::Eight) {
        decode_samples_as<std::uint64_t, double>(src, n, order, dst);
    } else {
        decode_samples_as<std::uint32_t, float>(src, n, order, dst);
    }
}

}  // namespace vorn
