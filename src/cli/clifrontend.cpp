#include "clifrontend.h"

namespace brivane {

// Subjects and senders come from strangers: a control character among them
// (an escape sequence, a bell, a carriage return) must not reach the
// terminal or the log of whoever reads this output, nor a line separator or
// a bidi override that makes a line read as something else. Each shows as "?".
static QString printable(const QString &text)
{
    QString out = text;
    for (QChar &c : out) {
        const char16_t u = c.unicode();
        const bool control = (u < 0x20 && u != u'\t') || (u >= 0x7f && u <= 0x9f);
        const bool separator = u == 0x2028 || u == 0x2029;
        const bool bidi = (u >= 0x202a && u <= 0x202e) || (u >= 0x2066 && u <= 0x2069);
        if (control || separator || bidi)
            c = QLatin1Char('?');
    }
    return out;
}

static void put_line(FILE *f, const QString &text)
{
    const QByteArray bytes = printable(text).toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), f);
    std::fputc('\n', f);
    std::fflush(f);
}

void CliFrontend::message(const QString &text)
{
    had_message_ = true;
    put_line(stderr, text);
}

void CliFrontend::show_status(const QString &line)
{
    put_line(stdout, line);
}

} // namespace brivane
