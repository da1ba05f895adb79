#pragma once
// The file name a MIME header field gives, decoded: RFC 2047 encoded words
// (how mail and news clients send non-ASCII names) and RFC 2231 charsets and
// numbered continuations.
#include <QByteArrayView>
#include <QString>

#include <optional>
#include <string_view>

namespace brivane {

// Names come as bytes; UTF-8 when they are valid UTF-8, else Latin-1.
QString name_text(QByteArrayView bytes);

// The value of the field's name= or filename= parameter (the last one, an
// RFC 2231 form rather than a plain one); nothing when it has none. `field`
// is the field so far, its folded lines joined by '\n'.
std::optional<QString> mime_file_name(std::string_view field);

// Where "name" (in any case: parameter names are case-insensitive) next
// occurs in `text` from `from` on; npos when it does not.
std::size_t find_name_word(std::string_view text, std::size_t from = 0);

} // namespace brivane
