#include "shell/inifile.h"

#include <QByteArrayView>
#include <QFile>
#include <QList>
#include <QSaveFile>

#include <climits>

namespace brivane {

namespace {

const char utf8_bom[] = "\xEF\xBB\xBF";

// One line of the file: its text and the line end it had ("\r\n", "\n", or
// nothing for a last line without one), so a rewrite gives every line back
// as it was.
struct Line {
    QString text;
    QString eol;
};

struct Text {
    QList<Line> lines;
    bool unreadable = false;  // the file is there but could not be read
    bool bom = false;   // a UTF-8 byte-order mark, written back when there was one
    bool crlf = false;  // the line end of added lines
};

// The file's lines, each UTF-8 when its bytes are valid UTF-8 (what an
// editor on Linux writes), else Latin-1, which older files are in and which
// maps every byte to a character, so nothing is lost either way. Line by
// line: one Latin-1 comment added by hand must not turn a UTF-8 folder name
// into another one.
Text read_text(const QString &path)
{
    Text t;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        t.unreadable = f.exists();
        return t;
    }
    QByteArray data = f.readAll();
    if (f.error() != QFileDevice::NoError) {
        t.unreadable = true;
        return t;
    }
    if (data.startsWith(utf8_bom)) {
        t.bom = true;
        data.remove(0, 3);
    }
    t.crlf = data.contains("\r\n");
    qsizetype from = 0;
    while (from < data.size()) {
        const qsizetype nl = data.indexOf('\n', from);
        QByteArrayView bytes;
        Line line;
        if (nl < 0) {
            bytes = QByteArrayView(data).sliced(from);
            from = data.size();
        } else {
            bytes = QByteArrayView(data).sliced(from, nl - from);
            line.eol = QStringLiteral("\n");
            if (bytes.endsWith('\r')) {
                bytes.chop(1);
                line.eol = QStringLiteral("\r\n");
            }
            from = nl + 1;
        }
        line.text = bytes.isValidUtf8() ? QString::fromUtf8(bytes) : QString::fromLatin1(bytes);
        t.lines.append(line);
    }
    return t;
}

// The first `count` characters of `s`; a character outside the Basic
// Multilingual Plane counts once and is never split.
QString left_chars(const QString &s, int count)
{
    qsizetype i = 0;
    for (int n = 0; n < count && i < s.size(); ++n)
        i += (s[i].isHighSurrogate() && i + 1 < s.size() && s[i + 1].isLowSurrogate()) ? 2 : 1;
    return s.left(i);
}

// "[name]" -> name, else a null string.
QString section_of(const QString &line)
{
    const QString t = line.trimmed();
    if (t.startsWith(QLatin1Char('[')) && t.contains(QLatin1Char(']')))
        return t.mid(1, t.indexOf(QLatin1Char(']')) - 1).trimmed();
    return QString();
}

bool key_of(const QString &line, QString *key, QString *value)
{
    const QString t = line.trimmed();
    if (t.startsWith(QLatin1Char(';')) || t.startsWith(QLatin1Char('#')))
        return false;
    const qsizetype eq = line.indexOf(QLatin1Char('='));
    if (eq < 0)
        return false;
    *key = line.left(eq).trimmed();
    if (value)
        *value = line.mid(eq + 1).trimmed();
    return true;
}

} // namespace

bool IniFile::find(const QString &section, const QString &key, QString *value) const
{
    const Text t = read_text(path_);
    bool in_section = false;
    for (const Line &line : t.lines) {
        const QString s = section_of(line.text);
        if (!s.isNull()) {
            in_section = s.compare(section, Qt::CaseInsensitive) == 0;
            continue;
        }
        QString k, v;
        if (in_section && key_of(line.text, &k, &v) && k.compare(key, Qt::CaseInsensitive) == 0) {
            *value = v;
            return true;
        }
    }
    return false;
}

QString IniFile::read_string(const QString &section, const QString &key, const QString &def,
                             int size) const
{
    QString v;
    if (!find(section, key, &v))
        v = def;
    return left_chars(v, qMax(0, size - 1));
}

int IniFile::read_int(const QString &section, const QString &key, int def) const
{
    QString v;
    if (!find(section, key, &v))
        return def;
    qsizetype i = 0;
    bool neg = false;
    if (i < v.size() && (v[i] == QLatin1Char('-') || v[i] == QLatin1Char('+')))
        neg = v[i++] == QLatin1Char('-');
    qint64 n = 0;
    for (; i < v.size() && v[i].isDigit() && v[i].unicode() < 128; ++i) {
        n = n * 10 + (v[i].unicode() - '0');
        if (n > (qint64(1) << 40))
            break;  // far past any int; clamped below
    }
    n = neg ? -n : n;
    return int(qBound(qint64(INT_MIN), n, qint64(INT_MAX)));
}

bool IniFile::write_string(const QString &section, const QString &key, const QString &value,
                           QString *error) const
{
    // A line break would end the entry early and start a line of its own.
    for (const QString *s : {&section, &key, &value}) {
        if (s->contains(QLatin1Char('\n')) || s->contains(QLatin1Char('\r'))) {
            if (error)
                *error = QStringLiteral("Cannot write %1: a line break in [%2] %3")
                             .arg(path_, section, key);
            return false;
        }
    }
    const bool existed = QFile::exists(path_);
    Text t = read_text(path_);
    if (t.unreadable) {
        // Written from nothing, it would lose every other line of the file.
        if (error)
            *error = QStringLiteral("Cannot write %1: the file cannot be read").arg(path_);
        return false;
    }
    QList<Line> &lines = t.lines;
    const QString eol = t.crlf ? QStringLiteral("\r\n") : QStringLiteral("\n");
    const QString entry = key + QLatin1Char('=') + value;

    bool in_section = false, done = false;
    qsizetype section_end = -1;  // index after the last non-blank line of the section
    for (qsizetype i = 0; i < lines.size() && !done; ++i) {
        const QString s = section_of(lines[i].text);
        if (!s.isNull()) {
            if (in_section)
                break;
            in_section = s.compare(section, Qt::CaseInsensitive) == 0;
            if (in_section)
                section_end = i + 1;
            continue;
        }
        if (!in_section)
            continue;
        QString k;
        if (key_of(lines[i].text, &k, nullptr) && k.compare(key, Qt::CaseInsensitive) == 0) {
            lines[i].text = entry;  // its line end stays
            done = true;
        } else if (!lines[i].text.trimmed().isEmpty()) {
            section_end = i + 1;
        }
    }
    if (!done) {
        qsizetype at = section_end >= 0 ? section_end : lines.size();
        // A last line without a line end gets one before anything follows it.
        if (at > 0 && lines[at - 1].eol.isEmpty())
            lines[at - 1].eol = eol;
        if (section_end < 0)
            lines.insert(at++, Line{QLatin1Char('[') + section + QLatin1Char(']'), eol});
        lines.insert(at, Line{entry, eol});
    }

    QString all;
    for (const Line &line : lines)
        all += line.text + line.eol;
    QByteArray bytes = all.toUtf8();
    if (t.bom)
        bytes.prepend(utf8_bom);

    QSaveFile out(path_);
    if (!out.open(QIODevice::WriteOnly)) {
        if (error)
            *error = QStringLiteral("Cannot write %1: %2").arg(path_, out.errorString());
        return false;
    }
    // The bytes wait in the device's buffer: a full disk shows only when
    // they are flushed, and commit() would not notice and put an empty or
    // cut copy in the old file's place.
    if (out.write(bytes) != bytes.size() || !out.flush()) {
        if (error)
            *error = QStringLiteral("Cannot write %1: %2").arg(path_, out.errorString());
        out.cancelWriting();
        return false;
    }
    // It holds passwords: owner-only, also when a file made by hand (with
    // the editor's 0644) is written the first time.
    const QFileDevice::Permissions owner = QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                           | QFileDevice::ExeOwner | QFileDevice::ReadUser
                                           | QFileDevice::WriteUser | QFileDevice::ExeUser;
    out.setPermissions(existed ? QFile::permissions(path_) & owner
                               : QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (!out.commit()) {
        if (error)
            *error = QStringLiteral("Cannot write %1: %2").arg(path_, out.errorString());
        return false;
    }
    return true;
}

} // namespace brivane
