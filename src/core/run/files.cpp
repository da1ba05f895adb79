#include "run/files.h"

#include "shell/textutil.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

namespace brivane {

namespace {

// Longest name we hand the file system, in UTF-8 bytes: NAME_MAX is 255 and
// "_100" and the decoder's temporary names need room beside it.
constexpr qsizetype max_name_bytes = 200;

bool is_separator(QChar c)
{
    return c == QLatin1Char('/') || c == QLatin1Char('\\');
}

// Control characters (C0, DEL, C1), the line and paragraph separators,
// invisible format characters (direction overrides would show "x.sh" as
// something else, zero widths) and lone surrogates vanish; characters other
// systems refuse in names become "_".
QString clean_characters(const QString &in)
{
    QString out;
    out.reserve(in.size());
    for (qsizetype i = 0; i < in.size(); ++i) {
        const QChar c = in.at(i);
        const char16_t u = c.unicode();
        if (u < 0x20 || (u >= 0x7f && u <= 0x9f) || u == 0x2028 || u == 0x2029
            || c.category() == QChar::Other_Format)
            continue;
        if (c.isHighSurrogate() && i + 1 < in.size() && in.at(i + 1).isLowSurrogate()) {
            const char32_t pair = QChar::surrogateToUcs4(c, in.at(i + 1));
            if (QChar::category(pair) != QChar::Other_Format) {
                out += c;
                out += in.at(i + 1);
            }
            ++i;
            continue;
        }
        if (c.isSurrogate() || u == 0xfffe || u == 0xffff)
            continue;
        switch (u) {
        case '<': case '>': case ':': case '"': case '|': case '?': case '*':
            out += QLatin1Char('_');
            break;
        default:
            out += c;
        }
    }
    return out;
}

QString strip_blanks(const QString &s)
{
    qsizetype b = 0, e = s.size();
    while (b < e && s.at(b).isSpace())
        ++b;
    while (e > b && s.at(e - 1).isSpace())
        --e;
    return s.mid(b, e - b);
}

// Leading dots would hide the file (or name "." and ".."): they go, and a
// file name that was only an extension is given a stem.
QString no_leading_dots(const QString &s, const QString &fallback, bool is_file)
{
    qsizetype i = 0;
    bool dots = false;
    while (i < s.size() && (s.at(i) == QLatin1Char('.') || s.at(i).isSpace())) {
        dots = dots || s.at(i) == QLatin1Char('.');
        ++i;
    }
    if (!dots)
        return s;
    QString rest = strip_blanks(s.mid(i));
    if (rest.isEmpty())
        return fallback;
    if (is_file && !rest.contains(QLatin1Char('.')))
        return fallback + QLatin1Char('.') + rest;
    return rest;
}

} // namespace

// Cuts a name to max_bytes of UTF-8, keeping a short extension.
QString fit_length(const QString &s, qsizetype max_bytes)
{
    if (s.toUtf8().size() <= max_bytes)
        return s;
    QString ext;
    const qsizetype dot = s.lastIndexOf(QLatin1Char('.'));
    if (dot > 0 && s.size() - dot <= 16)
        ext = s.mid(dot);
    QString stem = s.left(s.size() - ext.size());
    // Every UTF-16 unit is at least one byte: what lies past max_bytes
    // units goes at once, so the loop below chops a few hundred at most.
    if (stem.size() > max_bytes) {
        stem.truncate(max_bytes);
        if (stem.back().isHighSurrogate())
            stem.chop(1);
    }
    while (!stem.isEmpty() && (stem + ext).toUtf8().size() > max_bytes) {
        stem.chop(1);
        if (!stem.isEmpty() && stem.back().isHighSurrogate())
            stem.chop(1);
    }
    return strip_blanks(stem) + ext;
}

qsizetype longest_name_in(const QString &folder)
{
    // Some file systems take fewer than 255 bytes (eCryptfs 143): "_100"
    // must still fit beside the name.
    const long most = ::pathconf(QFile::encodeName(folder).constData(), _PC_NAME_MAX);
    if (most <= 0 || most - 4 >= max_name_bytes)
        return max_name_bytes;
    return qMax<qsizetype>(16, most - 4);
}

namespace {

QString finish(QString s, const QString &fallback, bool is_file)
{
    s = strip_blanks(s);
    s = no_leading_dots(s, fallback, is_file);
    s = fit_length(s, max_name_bytes);
    s = strip_blanks(s);
    return s.isEmpty() ? fallback : s;
}

// True when anything (file, folder, even a dangling link) has this name.
bool name_taken(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

} // namespace

QString safe_file_name(const QString &name)
{
    static const QString fallback = QStringLiteral("unnamed");
    // The last folder part wins: "../../x.jpg", "/etc/x.jpg", "..\\x.jpg",
    // "C:\\x.jpg" all become "x.jpg". Trailing separators are ignored.
    QString s = name;
    while (!s.isEmpty() && (is_separator(s.back()) || s.back().isSpace()))
        s.chop(1);
    qsizetype cut = -1;
    for (qsizetype i = s.size() - 1; i >= 0; --i) {
        if (is_separator(s.at(i))) {
            cut = i;
            break;
        }
    }
    s = s.mid(cut + 1);
    // A drive prefix such as "C:" without a separator after it.
    if (s.size() >= 2 && s.at(1) == QLatin1Char(':') && s.at(0).isLetter()
        && s.at(0).unicode() < 0x80)
        s = s.mid(2);
    return finish(clean_characters(s), fallback, true);
}

QString safe_dir_name(const QString &group)
{
    static const QString fallback = QStringLiteral("unnamed");
    // A group name keeps its dots; separators inside it become "_".
    QString s = group;
    for (QChar &c : s) {
        if (is_separator(c))
            c = QLatin1Char('_');
    }
    return finish(clean_characters(s), fallback, false);
}

QString unique_name(const QString &path)
{
    if (path.isEmpty())
        return QString();
    if (!name_taken(path))
        return path;
    qsizetype name_start = 0;
    for (qsizetype i = path.size() - 1; i >= 0; --i) {
        if (is_separator(path.at(i))) {
            name_start = i + 1;
            break;
        }
    }
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    // A dot in a folder name, or one that starts the name, is no extension.
    const bool has_ext = dot > name_start;
    const QString head = has_ext ? path.left(dot) : path;
    const QString tail = has_ext ? path.mid(dot) : QString();
    for (int n = 1; n <= 100; ++n) {
        const QString candidate = head + QLatin1Char('_') + QString::number(n) + tail;
        if (!name_taken(candidate))
            return candidate;
    }
    return QString();
}

bool dir_exists(const QString &path)
{
    // An empty path is no folder (it would otherwise name the root).
    if (is_blank(path))
        return false;
    return QFileInfo(path).isDir();
}

bool make_dirs(const QString &path)
{
    if (is_blank(path))
        return false;
    return QDir().mkpath(path) && QFileInfo(path).isDir();
}

QString path_file_name(const QString &path)
{
    for (qsizetype i = path.size() - 1; i >= 0; --i) {
        if (is_separator(path.at(i)))
            return path.mid(i + 1);
    }
    return path;
}

} // namespace brivane
