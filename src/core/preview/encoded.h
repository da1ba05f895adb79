#pragma once
// What a line of uuencoded or base64 data looks like. Shared by the work-file
// repair (which must never drop or cut a data line) and the decoders.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

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

// A well-formed uuencoded data line: alphabet and length both right.
inline bool is_uu_data_line(std::string_view line)
{
    if (line.empty())
        return false;
    for (char c : line) {
        if (!uu_char_ok(c))
            return false;
    }
    const int n = uu_value(line[0]);
    const size_t chars = line.size() - 1;
    return chars >= uu_min_chars(n) && chars <= uu_max_chars(n);
}

// base64: -1 for a character outside the alphabet ("=" included).
inline int base64_value(char c)
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

// A line of a base64 body: alphabet characters, "=" only as padding at the
// end, whole groups of four.
inline bool is_base64_data_line(std::string_view line)
{
    if (line.empty() || line.size() % 4 != 0)
        return false;
    size_t i = 0;
    while (i < line.size() && base64_value(line[i]) >= 0)
        ++i;
    const size_t pad = line.size() - i;
    if (pad > 2)
        return false;
    for (; i < line.size(); ++i) {
        if (line[i] != '=')
            return false;
    }
    return true;
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
