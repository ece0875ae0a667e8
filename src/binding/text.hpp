#pragma once
// Compile-time text: string literals as template arguments, and texts joined at compile time.
#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace tamsel::binding {

// A string literal usable as a template argument: `template <Text Name>` takes `"start"`.
template <std::size_t N>
struct Text {
    char chars[N]{};

    constexpr Text(const char (&text)[N]) {
        for (std::size_t i = 0; i < N; ++i) chars[i] = text[i];
    }
    // From a constant string of length N - 1 (see text_of).
    constexpr Text(const char* text, std::size_t) {
        for (std::size_t i = 0; i < N; ++i) chars[i] = text[i];
    }
    constexpr const char* c_str() const { return chars; }
    constexpr std::string_view view() const { return {chars, N - 1}; }
    constexpr bool empty() const { return N == 1; }
};

// A `Text` of a string constant reached through a pointer (an element of a constexpr table):
// `text_of<table[3]>`.
template <const char* const& String>
constexpr auto text_of = Text<std::char_traits<char>::length(String) + 1>(String, 0);

// The text a builder writes, as a null-terminated array with static storage: `Build` is a
// constexpr callable taking a sink `put(std::string_view)` and calling it for each piece.
template <auto Build>
constexpr auto joined_text() {
    constexpr std::size_t size = [] {
        std::size_t n = 0;
        Build([&](std::string_view piece) { n += piece.size(); });
        return n;
    }();
    std::array<char, size + 1> out{};
    std::size_t at = 0;
    Build([&](std::string_view piece) {
        for (char c : piece) out[at++] = c;
    });
    return out;
}

// The decimal integer a default text spells ("40", "-1").
constexpr long long integer_of(std::string_view text) {
    bool negative = !text.empty() && text.front() == '-';
    long long value = 0;
    for (std::size_t i = negative ? 1 : 0; i < text.size(); ++i) value = value * 10 + (text[i] - '0');
    return negative ? -value : value;
}

}  // namespace tamsel::binding
