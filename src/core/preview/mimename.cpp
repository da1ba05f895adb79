#include "preview/mimename.h"

#include <QByteArray>
#include <QStringDecoder>

#include <algorithm>
#include <map>

namespace brivane {

namespace {

using Text = std::string_view;
constexpr size_t npos = Text::npos;

QByteArrayView bytes_of(Text s)
{
    return QByteArrayView(s.data(), qsizetype(s.size()));
}

bool blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n';
}

bool all_blank(Text s)
{
    return std::all_of(s.begin(), s.end(), blank);
}

// `bytes` in the character set `charset`; nothing when Qt does not know it.
std::optional<QString> in_charset(QByteArrayView bytes, Text charset)
{
    const QByteArray cs = bytes_of(charset).toByteArray().toUpper();
    if (cs == "UTF-8" || cs == "UTF8" || cs == "US-ASCII" || cs == "ASCII")
        return name_text(bytes);  // a stray 8-bit byte still shows as Latin-1
    if (cs == "ISO-8859-1" || cs == "ISO8859-1" || cs == "LATIN1" || cs == "LATIN-1")
        return QString::fromLatin1(bytes);
    QStringDecoder decoder(cs.constData(), QStringDecoder::Flag::Stateless);
    if (!decoder.isValid())
        return std::nullopt;
    return QString(decoder.decode(bytes));
}

// The charset's text, or the bytes as any name when the charset is unknown.
QString charset_text(const QByteArray &bytes, Text charset)
{
    if (!charset.empty()) {
        if (std::optional<QString> s = in_charset(bytes, charset))
            return *s;
    }
    return name_text(bytes);
}

int hex(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = char(c | 0x20);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// RFC 2047 "Q": "_" is a blank, "=XX" a byte.
std::optional<QByteArray> q_decode(Text s)
{
    QByteArray out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '_') {
            out += ' ';
        } else if (s[i] != '=') {
            out += s[i];
        } else if (i + 2 < s.size() && hex(s[i + 1]) >= 0 && hex(s[i + 2]) >= 0) {
            out += char(hex(s[i + 1]) * 16 + hex(s[i + 2]));
            i += 2;
        } else {
            return std::nullopt;
        }
    }
    return out;
}

// The encoded word "=?charset?B-or-Q?text?=" that `s` starts with, and its
// length; nothing when it is none or cannot be decoded.
std::optional<QString> encoded_word(Text s, size_t *length)
{
    // Real words are short (RFC 2047 says 75 characters); looking no further
    // keeps a value full of unclosed "=?" linear instead of quadratic.
    constexpr size_t max_word = 1024;
    s = s.substr(0, max_word);
    const size_t mark = s.find('?', 2);
    if (mark == npos || mark + 2 >= s.size() || s[mark + 2] != '?')
        return std::nullopt;
    // The text holds no "?": the next one must close the word. Looking only
    // that far keeps a value of many "=?" linear.
    const size_t close = s.find('?', mark + 3);
    if (close == npos || close + 1 >= s.size() || s[close + 1] != '=')
        return std::nullopt;
    Text charset = s.substr(2, mark - 2);
    const Text text = s.substr(mark + 3, close - mark - 3);
    if (charset.empty() || std::any_of(charset.begin(), charset.end(), blank)
        || std::any_of(text.begin(), text.end(), blank))
        return std::nullopt;
    charset = charset.substr(0, charset.find('*'));  // "*language" changes nothing
    std::optional<QByteArray> bytes;
    const char encoding = char(s[mark + 1] & ~0x20);
    if (encoding == 'B') {
        auto r = QByteArray::fromBase64Encoding(bytes_of(text).toByteArray(),
                                                QByteArray::AbortOnBase64DecodingErrors);
        if (r)
            bytes = std::move(r.decoded);
    } else if (encoding == 'Q') {
        bytes = q_decode(text);
    }
    if (!bytes)
        return std::nullopt;
    *length = close + 2;
    return in_charset(*bytes, charset);
}

// The value with its encoded words decoded; blanks between two of them go
// (a long name is split into several). A word that cannot be decoded stays.
QString decode_words(Text s)
{
    QString out;
    size_t plain = 0;  // start of the text not yet taken over
    bool after_word = false;
    for (size_t i = s.find("=?"); i != npos; i = s.find("=?", i)) {
        size_t length = 0;
        const std::optional<QString> word = encoded_word(s.substr(i), &length);
        if (!word) {
            i += 2;
            continue;
        }
        const Text between = s.substr(plain, i - plain);
        if (!after_word || !all_blank(between))
            out += name_text(bytes_of(between));
        out += *word;
        plain = i = i + length;
        after_word = true;
    }
    return out + name_text(bytes_of(s.substr(plain)));
}

QByteArray percent_decoded(Text s)
{
    return QByteArray::fromPercentEncoding(bytes_of(s).toByteArray());
}

// An RFC 2231 value "charset'language'text": the bytes, and the charset
// (left alone when the value has none).
QByteArray extended_bytes(Text value, Text *charset)
{
    const size_t first = value.find('\'');
    const size_t second = first == npos ? npos : value.find('\'', first + 1);
    if (second != npos) {
        *charset = value.substr(0, first);
        value.remove_prefix(second + 1);
    }
    return percent_decoded(value);
}

// The parameter value `s` starts with, and how much of `s` it takes. A quoted
// one ends at its closing quote (its folds removed), a bare one at the next
// ";" or line end, without blanks after it; an RFC 2231 one also at a blank.
std::string value_at(Text s, bool extended, size_t *used)
{
    if (!s.empty() && s.front() == '"') {
        // A backslash quotes a quote or a backslash after it (RFC 2045's
        // quoted-pair): name="my \"best\" pic.jpg" is one name. Before any
        // other character it is the backslash of a Windows path, kept.
        std::string out;
        size_t i = 1;
        for (; i < s.size() && s[i] != '"'; ++i) {
            if (s[i] == '\\' && i + 1 < s.size() && (s[i + 1] == '"' || s[i + 1] == '\\'))
                ++i;
            if (s[i] != '\n')
                out += s[i];
        }
        *used = i < s.size() ? i + 1 : s.size();
        return out;
    }
    Text v = s.substr(0, s.find_first_of(extended ? "; \t\n" : ";\n"));
    *used = v.size();
    while (!v.empty() && blank(v.back()))
        v.remove_suffix(1);
    return std::string(v);
}

} // namespace

QString name_text(QByteArrayView bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString s = utf8.decode(bytes);
    if (!utf8.hasError())
        return s;
    return QString::fromLatin1(bytes);
}

std::size_t find_name_word(Text text, std::size_t from)
{
    for (size_t i = from; i + 4 <= text.size(); ++i) {
        if ((text[i] | 0x20) == 'n' && (text[i + 1] | 0x20) == 'a' && (text[i + 2] | 0x20) == 'm'
            && (text[i + 3] | 0x20) == 'e')
            return i;
    }
    return npos;
}

std::optional<QString> mime_file_name(Text field)
{
    std::optional<QString> plain, extended;
    struct Piece {
        bool encoded;
        std::string value;
    };
    std::map<int, Piece> pieces;  // RFC 2231 continuations by number

    // "name=", "name*=", "name*N=" or "name*N*=" (so "filename" too).
    for (size_t at = find_name_word(field); at != npos; at = find_name_word(field, at)) {
        size_t i = at + 4;
        int number = -1;
        bool encoded = false;
        if (i < field.size() && field[i] == '*') {
            // Up to 999 pieces: no name needs more, and a hostile field stays cheap.
            const size_t digits = ++i;
            for (; i < field.size() && i - digits < 3 && field[i] >= '0' && field[i] <= '9'; ++i)
                number = std::max(number, 0) * 10 + (field[i] - '0');
            encoded = number < 0 || (i < field.size() && field[i] == '*');
            if (number >= 0 && encoded)
                ++i;
        }
        if (i >= field.size() || field[i] != '=') {
            at += 4;
            continue;
        }
        size_t used = 0;
        std::string value = value_at(field.substr(i + 1), encoded, &used);
        at = i + 1 + used;  // a quoted value may hold "name=" itself
        if (number >= 0) {
            pieces[number] = {encoded, std::move(value)};
        } else if (encoded) {
            Text charset;
            const QByteArray bytes = extended_bytes(value, &charset);
            extended = charset_text(bytes, charset);
        } else {
            plain = decode_words(value);
        }
    }

    if (pieces.count(0)) {
        QByteArray bytes;
        Text charset;
        int next = 0;  // only the unbroken run from piece 0
        for (auto p = pieces.begin(); p != pieces.end() && p->first == next; ++p, ++next) {
            const Piece &piece = p->second;
            if (!piece.encoded)
                bytes += bytes_of(piece.value);
            else if (p->first == 0)
                bytes += extended_bytes(piece.value, &charset);
            else
                bytes += percent_decoded(piece.value);
        }
        extended = charset_text(bytes, charset);
    }
    return extended ? extended : plain;
}

} // namespace brivane
