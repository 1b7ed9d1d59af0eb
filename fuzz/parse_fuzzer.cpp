// libFuzzer target: the core's whole parse of an in-memory file, then a walk
// over every value of the result, with the invariants the Python builder
// relies on checked as it goes.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "internal_failure.h"
#include "text.h"
#include "vorn_data_file.h"

namespace {

// A broken invariant is a finding: abort so that libFuzzer keeps the input.
[[noreturn]] void broken(const char* what)
{
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

template <class T>
struct is_vector : std::false_type {};
template <class T, class A>
struct is_vector<std::vector<T, A>> : std::true_type {};

template <class T>
struct is_optional : std::false_type {};
template <class T>
struct is_optional<std::optional<T>> : std::true_type {};

template <class T>
struct is_variant : std::false_type {};
template <class... Ts>
struct is_variant<std::variant<Ts...>> : std::true_type {};

// Reads every value the records present, the way the Python builder does.
// Every text must be valid UTF-8 (the builder makes a str of it), and every
// matrix must have rows of one length.
class Walker {
public:
    template <class T>
    void field(std::string_view key, const T& value)
    {
        if (key.empty()) broken("empty output key");
        visit(value);
    }

    std::uint64_t digest() const { return digest_; }

private:
    void mix(std::uint64_t v) { digest_ = (digest_ ^ v) * 0x100000001B3ull; }

    template <class T>
    void visit(const T& v)
    {
        if constexpr (std::is_same_v<T, double>) {
            mix(std::bit_cast<std::uint64_t>(v));
        } else if constexpr (std::is_same_v<T, bool>) {
            mix(v ? 1 : 2);
        } else if constexpr (std::is_integral_v<T>) {
            mix(static_cast<std::uint64_t>(v));
        } else if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, std::string_view>) {
            if (!vorn::is_valid_utf8(v)) broken("text in the result is not valid UTF-8");
            mix(v.size());
        } else if constexpr (std::is_same_v<T, std::vector<std::vector<double>>>) {
            for (const auto& row : v) {
                if (row.size() != v.front().size()) broken("matrix rows differ in length");
                visit(row);
            }
        } else if constexpr (is_vector<T>::value) {
            mix(v.size());
            for (const auto& item : v) visit(static_cast<const typename T::value_type&>(item));
        } else if constexpr (is_optional<T>::value) {
            if (v) visit(*v);
        } else if constexpr (is_variant<T>::value) {
            std::visit([&](const auto& alt) { this->visit(alt); }, v);
        } else {
            v.serialize(*this);
        }
    }

    std::uint64_t digest_ = 0xCBF29CE484222325ull;
};

volatile std::uint64_t g_sink;

// A read error always names the driver's block as its outermost frame: the
// driver's seeks accept any offset, so no error leaves without frames.
void check_read_error(const vorn::ReadError& e)
{
    if (e.root_cause().empty()) broken("read error without a root cause");
    if (e.frames().empty()) broken("read error without context frames");
    const std::string& outer = e.frames().back().message;
    constexpr std::string_view tail = "' in VornDataFile";
    if (outer.size() < tail.size() || outer.compare(outer.size() - tail.size(), tail.size(), tail) != 0)
        broken("outermost frame is not a VornDataFile field");
    if (vorn::render(vorn::ParseError(e)).empty()) broken("empty rendering");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::uint8_t> bytes(data, data + size);
    try {
        auto result = vorn::parse_from_filepath(vorn::DataContainer::from_bytes(std::move(bytes)));
        if (result) {
            Walker walker;
            result->serialize(walker);
            g_sink = walker.digest();
        } else if (const auto* read = std::get_if<vorn::ReadError>(&result.error())) {
            check_read_error(*read);
        } else {
            broken("in-memory input gave an open failure");
        }
    } catch (const vorn::InternalFailure& e) {
        // The documented way out for codes without a name, text that is not
        // UTF-8 and the like. Any other exception escapes and is a finding.
        if (e.message().empty()) broken("internal failure without a message");
    }
    return 0;
}
