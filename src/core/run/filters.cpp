#include "run/filters.h"

namespace brivane {

namespace {

// The number a text starts with, blanks skipped; 0 when it starts with none.
// Only digits count (no sign, no fraction); a value of 32768 or more gives 0,
// as the 16-bit part fields cannot hold it.
int leading_number(QStringView t)
{
    qsizetype i = 0;
    const qsizetype n = t.size();
    while (i < n && (t[i] == QLatin1Char(' ') || t[i] == QLatin1Char('\t')))
        ++i;
    qint64 value = 0;
    bool any = false;
    for (; i < n; ++i) {
        const QChar c = t[i];
        if (c == QLatin1Char(' ') || c == QLatin1Char('\t'))
            continue;  // blanks between digits are skipped, too
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            break;
        any = true;
        value = value * 10 + (c.unicode() - '0');
        if (value >= 32768)
            return 0;
    }
    return any ? int(value) : 0;
}

bool has_paren(QStringView t)
{
    return t.contains(QLatin1Char('(')) || t.contains(QLatin1Char(')'));
}

// Lower-cased one character at a time, so positions stay those of the original.
QString lower_same_length(const QString &s)
{
    QString out = s;
    QChar *d = out.data();
    for (qsizetype i = 0; i < out.size(); ++i)
        d[i] = d[i].toLower();
    return out;
}

bool is_name_stop(QChar c)
{
    switch (c.unicode()) {
    case ' ': case '"': case '~': case ',': case ')': case '.':
    case '\\': case '(': case '/': case '>': case '<':
        return true;
    default:
        return false;
    }
}

} // namespace

QString get_field(const QString &text, QChar delimiter, int n)
{
    qsizetype start = 0;
    for (int i = 1; i < n; ++i) {
        const qsizetype d = text.indexOf(delimiter, start);
        if (d < 0)
            return QString();
        start = d + 1;
    }
    const qsizetype end = text.indexOf(delimiter, start);
    return end < 0 ? text.mid(start) : text.mid(start, end - start);
}

int xref_count(const QString &x)
{
    // One colon is the field's own name. A server whose overview lists
    // "Xref:" without ":full" sends the value alone: every colon is a group.
    const bool named = QStringView(x).trimmed().startsWith(QLatin1String("xref:"), Qt::CaseInsensitive);
    const qsizetype n = x.count(QLatin1Char(':')) - (named ? 1 : 0);
    return n < 1 ? 1 : int(qMin<qsizetype>(n, 1 << 30));
}

int ismask(const QString &t, const QStringList &masks)
{
    for (qsizetype i = 0; i < masks.size(); ++i) {
        // An empty mask would match every dot; it is no mask at all.
        if (masks.at(i).isEmpty())
            continue;
        // Each dot followed by the mask: no ".mask" string built per header.
        const QStringView text(t);
        const QStringView mask(masks.at(i));
        for (qsizetype dot = text.indexOf(QLatin1Char('.')); dot >= 0;
             dot = text.indexOf(QLatin1Char('.'), dot + 1)) {
            if (text.sliced(dot + 1).startsWith(mask, Qt::CaseInsensitive))
                return int(i + 1);
        }
    }
    return 0;
}

int extension_mask(const QString &name, const QStringList &masks)
{
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot < 0)
        return 0;
    const QStringView extension = QStringView(name).sliced(dot + 1);
    for (qsizetype i = 0; i < masks.size(); ++i) {
        if (!masks.at(i).isEmpty() && extension.startsWith(masks.at(i), Qt::CaseInsensitive))
            return int(i + 1);
    }
    return 0;
}

int get_high_part(const QString &s)
{
    if (s.contains(QLatin1String("(1/1)")))
        return 1;
    const qsizetype slash = s.indexOf(QLatin1Char('/'));
    const QStringView rest = slash < 0 ? QStringView(s) : QStringView(s).mid(slash + 1);
    return has_paren(rest) ? leading_number(rest) : 0;
}

int get_low_part(const QString &s)
{
    if (s.contains(QLatin1String("(1/1)")))
        return 1;
    const qsizetype open = s.indexOf(QLatin1Char('('));
    QStringView t = open < 0 ? QStringView(s) : QStringView(s).mid(open + 1);
    if (t.contains(QLatin1Char('/'))) {
        const qsizetype second = t.indexOf(QLatin1Char('('));
        if (second >= 0)
            t = t.mid(second + 1);
        const qsizetype slash = t.indexOf(QLatin1Char('/'));
        if (slash < 0)
            return 0;  // a "(" with no "/" after it: no part number
        t = t.left(slash);
    }
    return has_paren(t) ? leading_number(t) : 0;
}

QString getfilename(const QString &subject, int k, const QStringList &masks)
{
    QString name = QStringLiteral(" ");
    if (k >= 1 && k <= masks.size()) {
        const QString m = masks.at(k - 1);
        const QString dot_mask = QLatin1Char('.') + m;
        // 1-based position p of ".mask" in the lower-cased subject; the mask
        // lower-cased as well, or one stored in capitals would never match.
        const qsizetype p = lower_same_length(subject).indexOf(lower_same_length(dot_mask)) + 1;
        if (p > 0) {
            const QString before = subject.left(p - 1);
            if (p <= 9 && !before.contains(QLatin1Char(' '))) {
                name = before + dot_mask;
                if (name.startsWith(QLatin1Char('~')))
                    name.remove(0, 1);
            } else {
                qsizetype j = 0;  // 1-based position of the stop character, 0 = none
                for (qsizetype i = p - 1; i >= 1; --i) {
                    if (is_name_stop(subject.at(i - 1))) {
                        j = i;
                        break;
                    }
                }
                if (j > 0)
                    name = subject.mid(j, p - 1 - j) + dot_mask;
                else
                    name = before + dot_mask;
            }
        }
    }
    const qsizetype star = name.indexOf(QLatin1Char('*'));
    if (star >= 0)
        name.remove(star, 1);
    if (name.size() > 50)
        name = name.right(50);
    if (name.startsWith(QLatin1Char('-')))
        name.remove(0, 1);
    return name;
}

QString dupe_key(const QString &name)
{
    if (name.size() <= 50)
        return name;
    QString key = name.right(50);
    if (key.startsWith(QLatin1Char('-')))
        key.remove(0, 1);
    return key;
}

QString get_domain(const QString &dstr)
{
    const qsizetype at = dstr.indexOf(QLatin1Char('@'));
    return at < 0 ? QString() : dstr.mid(at);
}

QString nobrackets(const QString &text)
{
    QString out = text;
    QChar *d = out.data();
    for (qsizetype i = 0; i < out.size(); ++i) {
        if (d[i] == QLatin1Char('['))
            d[i] = QLatin1Char('(');
        else if (d[i] == QLatin1Char(']'))
            d[i] = QLatin1Char(')');
        else if (d[i] == QLatin1Char('|'))
            d[i] = QLatin1Char(' ');
    }
    return out;
}

QString quote_to_tilde(const QString &text)
{
    QString out = text;
    out.replace(QLatin1Char('\''), QLatin1Char('~'));
    return out;
}

QString tilde_to_quote(const QString &text)
{
    QString out = text;
    out.replace(QLatin1Char('~'), QLatin1Char('\''));
    return out;
}

bool is_ignored(const QString &current_sender, const QStringList &ignore_list)
{
    for (const QString &entry : ignore_list) {
        if (entry == current_sender)
            return true;
    }
    return false;
}

} // namespace brivane
