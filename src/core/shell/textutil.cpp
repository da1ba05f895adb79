#include "shell/textutil.h"

#include <QFile>

namespace brivane {

QString trim_text(const QString &text)
{
    qsizetype b = 0, e = text.size();
    while (b < e && text.at(b) == QLatin1Char(' '))
        ++b;
    while (e > b && text.at(e - 1) == QLatin1Char(' '))
        --e;
    return text.mid(b, e - b);
}

QString clean_profile_text(const QString &text)
{
    QString t = trim_text(text);
    if (t.endsWith(QChar(0)))
        t.chop(1);
    return t;
}

bool is_blank(const QString &text)
{
    return trim_text(text).isEmpty();
}

QString printable(const QString &text)
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

bool file_exists(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    f.close();
    return true;
}

QString format_thousands(qint64 value, bool zero_shows_digit)
{
    if (value == 0)
        return zero_shows_digit ? QStringLiteral("0") : QString();
    QString digits = QString::number(value < 0 ? -value : value);
    for (qsizetype i = digits.size() - 3; i > 0; i -= 3)
        digits.insert(i, QLatin1Char(','));
    return value < 0 ? QLatin1Char('-') + digits : digits;
}

qsizetype character_count(const QString &text)
{
    qsizetype n = text.size();
    for (qsizetype i = 0; i + 1 < text.size(); ++i) {
        if (text[i].isHighSurrogate() && text[i + 1].isLowSurrogate()) {
            --n;
            ++i;
        }
    }
    return n;
}

} // namespace brivane
