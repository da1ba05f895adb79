#pragma once
#include <QString>

namespace brivane {

// Leading and trailing blanks removed (blanks only, not tabs).
QString trim_text(const QString &text);
// trim_text, then one trailing NUL removed.
QString clean_profile_text(const QString &text);
// True when trim_text(text) is empty.
bool is_blank(const QString &text);
// Characters, as SQLite's length() and the column widths count them: one
// outside the Basic Multilingual Plane is one, not two UTF-16 units.
qsizetype character_count(const QString &text);
// Subjects and senders come from strangers: a control character among them
// (an escape sequence, a bell, a carriage return) must not reach a terminal,
// a log or the status list, nor a line separator or a bidi override that
// makes a line read as something else. Each shows as "?".
QString printable(const QString &text);
// True when the file can be opened for reading.
bool file_exists(const QString &path);

// A number with thousands separators, as the pictures "##,##0" (zero shows
// "0") and "###,###,###,###" (zero shows nothing) print it.
QString format_thousands(qint64 value, bool zero_shows_digit = true);

} // namespace brivane
