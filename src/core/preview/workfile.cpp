#include "preview/workfile.h"

#include "preview/encoded.h"
#include "shell/frontend.h"

#include <QFile>
#include <QStringDecoder>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace brivane {

namespace {

using Line = std::string_view;

char upper(char c)
{
    return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
}

// The first n characters, upper-cased, equal `word` (n = its length).
bool starts_upper(Line line, std::string_view word)
{
    if (line.size() < word.size())
        return false;
    for (size_t i = 0; i < word.size(); ++i) {
        if (upper(line[i]) != word[i])
            return false;
    }
    return true;
}

bool contains(Line line, std::string_view what)
{
    return line.find(what) != Line::npos;
}

bool equal_upper_at(Line line, size_t at, std::string_view word)
{
    if (line.size() - at < word.size())
        return false;
    for (size_t i = 0; i < word.size(); ++i) {
        if (upper(line[at + i]) != word[i])
            return false;
    }
    return true;
}

// The upper-cased line contains "SIZE", "CUT HERE" or "UUXT".
bool is_separator_line(Line line)
{
    for (size_t i = 0; i < line.size(); ++i) {
        switch (upper(line[i])) {
        case 'S':
            if (equal_upper_at(line, i, "SIZE"))
                return true;
            break;
        case 'C':
            if (equal_upper_at(line, i, "CUT HERE"))
                return true;
            break;
        case 'U':
            if (equal_upper_at(line, i, "UUXT"))
                return true;
            break;
        default:
            break;
        }
    }
    return false;
}

// Names come as bytes; UTF-8 when they are valid UTF-8, else Latin-1.
QString name_text(Line bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QByteArrayView view(bytes.data(), qsizetype(bytes.size()));
    QString s = utf8.decode(view);
    if (!utf8.hasError())
        return s;
    return QString::fromLatin1(view);
}

bool write_all(const QString &path, const QByteArray &data, QString *error)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = QStringLiteral("Cannot write %1: %2").arg(path, f.errorString());
        return false;
    }
    if (f.write(data) != data.size() || !f.flush()) {
        *error = QStringLiteral("Cannot write %1: %2").arg(path, f.errorString());
        f.close();
        return false;
    }
    f.close();
    if (f.error() != QFileDevice::NoError) {
        *error = QStringLiteral("Cannot write %1: %2").arg(path, f.errorString());
        return false;
    }
    return true;
}

} // namespace

bool WorkfileRepair::fix_workfile(const QString &work_path, Frontend &ui)
{
    begin_found = false;
    jpeg64_found = false;
    io_error.clear();
    bool complete = true;
    bool past_begin = false;
    bool end_found = false;
    bool backquote_seen = false;

    QFile in(work_path);
    if (!in.open(QIODevice::ReadOnly)) {
        io_error = QStringLiteral("Cannot read %1: %2").arg(work_path, in.errorString());
        return false;
    }
    const QByteArray raw = in.readAll();
    if (in.error() != QFileDevice::NoError) {
        io_error = QStringLiteral("Cannot read %1: %2").arg(work_path, in.errorString());
        return false;
    }
    in.close();

    QByteArray out;
    out.reserve(raw.size() + raw.size() / 32 + 16);

    const char *p = raw.constData();
    const char *const end = p + raw.size();
    bool copying = false;  // false during the header scan

    while (p < end) {
        const char *lf = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
        const char *stop = lf ? lf : end;
        Line line(p, size_t(stop - p));
        p = lf ? lf + 1 : end;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);

        if (!copying) {
            const bool stopping = starts_upper(line, "BEGIN") || contains(line, "/9j/");
            if (contains(line, "name=")) {
                // From six characters after "name" (the word, "=" and an
                // opening quote) to the end; one closing quote removed.
                const size_t at = line.find("name");
                Line value = at + 6 <= line.size() ? line.substr(at + 6) : Line();
                if (!value.empty() && value.back() == '"')
                    value.remove_suffix(1);
                found_filename = name_text(value);
            }
            if (!stopping)
                continue;
            copying = true;
        }

        if (begin_found)
            past_begin = true;
        if (starts_upper(line, "BEGIN")) {
            begin_found = true;
            found_filename = name_text(line.size() > 10 ? line.substr(10) : Line());
        }
        if (starts_upper(line, "END")) {
            end_found = true;
            if (!backquote_seen)
                complete = false;
        }
        if (contains(line, "/9j/"))
            jpeg64_found = true;

        const bool uu_data = begin_found && past_begin && !end_found;
        if (begin_found && line.size() >= 2 && line[line.size() - 2] == ' '
            && line.back() == ' ') {
            // Two blanks some posters add. Inside the block a blank can be
            // encoded data (a zero), so they only go when the line still
            // holds what its length byte asks for without them.
            const Line shorter = line.substr(0, line.size() - 2);
            if (!uu_data || shorter.empty() || encoded::uu_line_long_enough(shorter))
                line = shorter;
        }

        if (uu_data) {
            if (line.size() > 63)
                complete = false;
            if (!line.empty() && upper(line[0]) != 'M' && !starts_upper(line, "BEGIN")
                && line != "`")
                complete = false;
            if (line.size() < 63)
                complete = true;
            if (line == "`") {
                backquote_seen = true;
                complete = true;
            }
        }

        // Separator lines go; encoded data never does, even when its
        // characters happen to spell one of the words.
        bool keep = true;
        if (is_separator_line(line)) {
            const bool data = (uu_data && encoded::is_uu_data_line(line))
                              || (jpeg64_found && encoded::is_base64_data_line(line));
            keep = data;
        }
        if (keep) {
            out.append(line.data(), qsizetype(line.size()));
            out.append("\r\n", 2);
        }
    }

    const QString work2 = work2_;
    if (!write_all(work2, out, &io_error))
        return false;

    const bool recognised = (begin_found && end_found) || jpeg64_found;
    if (recognised) {
        // One atomic step: the cleaned copy takes the work file's name.
        const QByteArray from = QFile::encodeName(work2);
        const QByteArray to = QFile::encodeName(work_path);
        if (std::rename(from.constData(), to.constData()) != 0) {
            const int err = errno;
            if (err == EXDEV && write_all(work_path, out, &io_error)) {
                QFile::remove(work2);
            } else {
                if (io_error.isEmpty())
                    io_error = QStringLiteral("Cannot rename %1 to %2: %3")
                                   .arg(work2, work_path, QString::fromLocal8Bit(std::strerror(err)));
                return false;
            }
        }
    } else {
        ui.add_status(QStringLiteral("    Invalid file format!"));
        complete = false;
    }

    if (found_filename.toUpper().endsWith(QLatin1String(".JPEG"))) {
        const qsizetype dot = found_filename.indexOf(QLatin1Char('.'));
        found_filename = found_filename.left(dot) + QStringLiteral(".jpg");
    }
    return complete;
}

} // namespace brivane
