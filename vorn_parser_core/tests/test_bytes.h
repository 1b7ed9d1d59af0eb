// Helpers that build literal byte fixtures for the reader tests.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "byte_order.h"
#include "headers.h"
#include "read_error.h"

namespace vorn::test {

using Bytes = std::vector<std::uint8_t>;

// The frames' messages, innermost first.
inline std::vector<std::string> frame_messages(const ReadError& e)
{
    std::vector<std::string> out;
    for (const auto& f : e.frames()) out.push_back(f.message);
    return out;
}

inline void put_u8(Bytes& b, std::size_t at, std::uint8_t v)
{
    if (b.size() < at + 1) b.resize(at + 1);
    b[at] = v;
}

template <class U>
inline void put(Bytes& b, std::size_t at, U v, ByteOrder order)
{
    if (b.size() < at + sizeof v) b.resize(at + sizeof v);
    if (order != kHostOrder) v = bswap(v);
    std::memcpy(b.data() + at, &v, sizeof v);
}

inline void put_u16(Bytes& b, std::size_t at, std::uint16_t v, ByteOrder o = ByteOrder::Big) { put(b, at, v, o); }
inline void put_u32(Bytes& b, std::size_t at, std::uint32_t v, ByteOrder o = ByteOrder::Big) { put(b, at, v, o); }
inline void put_i32(Bytes& b, std::size_t at, std::int32_t v, ByteOrder o = ByteOrder::Big)
{
    put(b, at, static_cast<std::uint32_t>(v), o);
}
inline void put_f64(Bytes& b, std::size_t at, double v, ByteOrder o = ByteOrder::Big)
{
    put(b, at, std::bit_cast<std::uint64_t>(v), o);
}
inline void put_f32(Bytes& b, std::size_t at, float v, ByteOrder o = ByteOrder::Big)
{
    put(b, at, std::bit_cast<std::uint32_t>(v), o);
}
inline void put_text(Bytes& b, std::size_t at, std::string_view text)
{
    if (b.size() < at + text.size()) b.resize(at + text.size());
    std::memcpy(b.data() + at, text.data(), text.size());
}

// A header block that reads cleanly: 64-bit big-endian One_D, every code 0.
// Offsets of the fields tests most often change.
namespace hdr {
inline constexpr std::size_t endian = 8;
inline constexpr std::size_t data_type_byte = 14;
inline constexpr std::size_t axis_type = 24;
inline constexpr std::size_t title = 48;
inline constexpr std::size_t data_points = 176;
inline constexpr std::size_t creation_time = 400;
inline constexpr std::size_t param_start = 1212;
inline constexpr std::size_t data_start = 1284;
}  // namespace hdr

inline Bytes valid_header()
{
    Bytes b(kHeaderSize, 0);
    put_text(b, 0, "VORNDATA");
    put_u8(b, hdr::data_type_byte, 0x01);  // 64Bit Float, One_D
    return b;
}

}  // namespace vorn::test
