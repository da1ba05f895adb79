#include "shell/inifile.h"

#include <QFile>
#include <QSaveFile>
#include <QStringList>

#include <climits>

namespace brivane {

namespace {

QStringList read_lines(const QString &path, bool *crlf)
{
    QFile f(path);
    if (crlf)
        *crlf = false;
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray data = f.readAll();
    if (crlf)
        *crlf = data.contains("\r\n");
    // Latin-1 keeps every byte of the file as it was through a rewrite.
    QStringList lines = QString::fromLatin1(data).split(QLatin1Char('\n'));
    for (QString &l : lines)
        if (l.endsWith(QLatin1Char('\r')))
            l.chop(1);
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
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
    const QStringList lines = read_lines(path_, nullptr);
    bool in_section = false;
    for (const QString &line : lines) {
        const QString s = section_of(line);
        if (!s.isNull()) {
            in_section = s.compare(section, Qt::CaseInsensitive) == 0;
            continue;
        }
        QString k, v;
        if (in_section && key_of(line, &k, &v) && k.compare(key, Qt::CaseInsensitive) == 0) {
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
    return v.left(qMax(0, size - 1));
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
    bool crlf = false;
    const bool existed = QFile::exists(path_);
    QStringList lines = read_lines(path_, &crlf);
    const QString entry = key + QLatin1Char('=') + value;

    bool in_section = false, done = false;
    qsizetype section_end = -1;  // index after the last non-blank line of the section
    for (qsizetype i = 0; i < lines.size() && !done; ++i) {
        const QString s = section_of(lines[i]);
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
        if (key_of(lines[i], &k, nullptr) && k.compare(key, Qt::CaseInsensitive) == 0) {
            lines[i] = entry;
            done = true;
        } else if (!lines[i].trimmed().isEmpty()) {
            section_end = i + 1;
        }
    }
    if (!done) {
        if (section_end >= 0) {
            lines.insert(section_end, entry);
        } else {
            lines << QLatin1Char('[') + section + QLatin1Char(']') << entry;
        }
    }

    QSaveFile out(path_);
    if (!out.open(QIODevice::WriteOnly)) {
        if (error)
            *error = QStringLiteral("Cannot write %1: %2").arg(path_, out.errorString());
        return false;
    }
    const QString eol = crlf ? QStringLiteral("\r\n") : QStringLiteral("\n");
    out.write((lines.join(eol) + eol).toLatin1());
    if (!existed)
        out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (!out.commit()) {
        if (error)
            *error = QStringLiteral("Cannot write %1: %2").arg(path_, out.errorString());
        return false;
    }
    return true;
}

} // namespace brivane
