#pragma once
// What a line of uuencoded or base64 data looks like. Shared by the work-file
// repair (which must never drop or cut a data line) and the decoders.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace brivane::encoded {

// uuencode: a length character, then four characters per three bytes, all
// between " " and "`" ("`" and " " both stand for zero).
inline bool uu_char_ok(char c)
{
    return static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) <= 0x60;
}

inline int uu_value(char c)
{
    return (static_cast<unsigned char>(c) - 0x20) & 0x3f;
}

// Fewest characters after the length character that carry n bytes.
inline size_t uu_min_chars(int n)
{
    return size_t(4 * n + 2) / 3;
}

// Most characters after the length character: whole groups of four, plus
// one check character some encoders add.
inline size_t uu_max_chars(int n)
{
    return size_t((n + 2) / 3) * 4 + 1;
}

// The line holds at least as many characters as its length byte asks for.
inline bool uu_line_long_enough(std::string_view line)
{
    if (line.empty() || !uu_char_ok(line[0]))
        return false;
    return line.size() - 1 >= uu_min_chars(uu_value(line[0]));
}

// Every character lies in the uuencode alphabet. Sixteen at a time where
// SSE2 is there (every x86-64): the last sixteen are loaded ending at the
// line's end, overlapping the one before, so nothing past it is read. Else,
// and for short lines, eight at a time: a byte below " " or above "`" sets
// the high bit of its lane. Two passes (repair, decoding) over every line of
// every article make this one of the run's busiest loops.
inline bool all_uu_chars(std::string_view line)
{
    const char *p = line.data();
    size_t n = line.size();
#ifdef __SSE2__
    if (n >= 16) {
        // Shifted down by " ", every byte of the alphabet is at most 0x40.
        const __m128i space = _mm_set1_epi8(0x20), top = _mm_set1_epi8(0x40);
        auto ok16 = [&](const char *at) {
            const __m128i x = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(at)), space);
            return _mm_cmpeq_epi8(_mm_min_epu8(x, top), x);
        };
        __m128i all = ok16(p + n - 16);
        for (size_t i = 0; i + 16 < n; i += 16)
            all = _mm_and_si128(all, ok16(p + i));
        return _mm_movemask_epi8(all) == 0xffff;
    }
#endif
    constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    uint64_t bad = 0;
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t x;
        std::memcpy(&x, p, 8);
        bad |= ((x - ones * 0x20) & ~x) | ((x + ones * (127 - 0x60)) | x);
    }
    if (bad & highs)
        return false;
    unsigned tail = 0;
    for (; n > 0; ++p, --n)
        tail |= unsigned(static_cast<unsigned char>(*p) - 0x20u) > 0x40u;
    return tail == 0;
}

// A well-formed uuencoded data line: alphabet and length both right.
inline bool is_uu_data_line(std::string_view line)
{
    if (line.empty())
        return false;
    const int n = uu_value(line[0]);
    const size_t chars = line.size() - 1;
    return chars >= uu_min_chars(n) && chars <= uu_max_chars(n) && all_uu_chars(line);
}

// A uuencoded line of full length as nearly every encoder writes them: "M"
// (45 bytes), sixty characters of the alphabet, CR LF.
inline constexpr size_t full_uu_line = 63;

// Where the run of such lines that starts at `p` ends (`p` itself when none
// starts there). They are the bulk of every uuencoded article; found so,
// they need no search for their line ends (a LF is outside the alphabet)
// and no look at each one alone.
inline const char *full_uu_lines_end(const char *p, const char *end)
{
    while (size_t(end - p) >= full_uu_line && p[0] == 'M' && p[61] == '\r' && p[62] == '\n'
           && all_uu_chars(std::string_view(p + 1, 60)))
        p += full_uu_line;
    return p;
}

// A uuencode begin line: "begin" in any case, blanks, an octal mode of three
// or four digits, then blanks and the name (which may be missing: the picture
// is still wanted). Text that merely starts with the word ("Beginners luck",
// "BEGIN:") is not one. `name`, when given, gets the rest of the line after
// those blanks.
inline bool is_uu_begin_line(std::string_view line, std::string_view *name = nullptr)
{
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    if (line.size() < 5)
        return false;
    for (size_t i = 0; i < 5; ++i) {
        // Setting bit 5 lower-cases a letter; no other byte becomes one of these.
        if ((line[i] | 0x20) != "begin"[i])
            return false;
    }
    size_t i = 5;
    const size_t n = line.size();
    const size_t blanks = i;
    while (i < n && blank(line[i]))
        ++i;
    if (i == blanks)
        return false;
    const size_t mode = i;
    while (i < n && line[i] >= '0' && line[i] <= '7')
        ++i;
    if (i - mode < 3 || i - mode > 4)
        return false;
    const size_t after_mode = i;
    while (i < n && blank(line[i]))
        ++i;
    if (i == after_mode && i < n)
        return false;  // "begin 644x": not a mode
    if (name)
        *name = line.substr(i);
    return true;
}

// base64: -1 for a character outside the alphabet ("=" included).
constexpr int base64_value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

struct Base64Table {
    signed char v[256];
    constexpr Base64Table() : v()
    {
        for (int i = 0; i < 256; ++i)
            v[i] = static_cast<signed char>(base64_value(char(i)));
    }
};
inline constexpr Base64Table base64_table{};

// A line of a base64 body: alphabet characters, "=" only as padding at the
// end, whole groups of four.
inline bool is_base64_data_line(std::string_view line)
{
    const size_t n = line.size();
    if (n == 0 || n % 4 != 0)
        return false;
    int bad = 0;
    for (size_t i = 0; i + 2 < n; ++i)
        bad |= base64_table.v[static_cast<unsigned char>(line[i])];
    if (bad < 0)
        return false;
    const int a = base64_table.v[static_cast<unsigned char>(line[n - 2])];
    const int b = base64_table.v[static_cast<unsigned char>(line[n - 1])];
    if (a >= 0)
        return b >= 0 || line[n - 1] == '=';
    return line[n - 2] == '=' && line[n - 1] == '=';
}

// The same without whole groups: alphabet characters alone, "=" only at the
// end. Base64 data whatever width its encoder wrapped the lines at.
inline bool is_base64_text(std::string_view line)
{
    size_t n = line.size();
    for (int pad = 0; pad < 2 && n > 0 && line[n - 1] == '='; ++pad)
        --n;
    if (n == 0)
        return false;
    for (size_t i = 0; i < n; ++i) {
        if (base64_table.v[static_cast<unsigned char>(line[i])] < 0)
            return false;
    }
    return true;
}

// `line` without its trailing blanks and tabs.
inline std::string_view trim_right(std::string_view line)
{
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
        line.remove_suffix(1);
    return line;
}

// The next line of [p, end): split at LF, a CR before it dropped. Advances p.
inline std::string_view next_line(const char *&p, const char *end)
{
    const void *hit = std::memchr(p, '\n', size_t(end - p));
    const char *lf = hit ? static_cast<const char *>(hit) : end;
    std::string_view line(p, size_t(lf - p));
    p = lf < end ? lf + 1 : end;
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line;
}

} // namespace brivane::encoded
