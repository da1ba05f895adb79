#include "preview/workfile.h"

#include "preview/encoded.h"
#include "preview/mimename.h"
#include "shell/frontend.h"

#include <QFile>

#include <bit>
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

quint32 word_at(const char *p)
{
    quint32 w;
    std::memcpy(&w, p, 4);
    return w;
}

constexpr quint32 word(const char (&s)[5])
{
    // Little and big endian alike: compared against word_at() of the same bytes.
    return std::endian::native == std::endian::little
               ? quint32(quint8(s[0])) | quint32(quint8(s[1])) << 8 | quint32(quint8(s[2])) << 16
                     | quint32(quint8(s[3])) << 24
               : quint32(quint8(s[3])) | quint32(quint8(s[2])) << 8 | quint32(quint8(s[1])) << 16
                     | quint32(quint8(s[0])) << 24;
}

// Clearing bit 5 upper-cases ASCII letters; a byte matches an upper-case
// letter after it only when it is that letter in either case.
constexpr quint32 upper_mask = 0xdfdfdfdfu;

struct LineFacts {
    bool jpeg = false;       // contains "/9j/"
    bool separator = false;  // upper-cased, contains "SIZE", "CUT HERE" or "UUXT"
};

// A base64 data line, trailing blanks allowed: the decoder takes it so.
bool is_base64_data(Line line)
{
    return encoded::is_base64_data_line(encoded::trim_right(line));
}

// One pass over the line for both searches.
LineFacts scan(Line line)
{
    LineFacts f;
    if (line.size() < 4)
        return f;
    static constexpr quint32 jpeg = word("/9j/"), size = word("SIZE"), uuxt = word("UUXT"),
                             cut = word("CUT\0"), here = word("HERE");
    const char *p = line.data();
    const size_t last = line.size() - 4;
    for (size_t i = 0; i <= last; ++i) {
        const quint32 w = word_at(p + i);
        const quint32 u = w & upper_mask;
        if (w == jpeg)
            f.jpeg = true;
        else if (u == size || u == uuxt
                 || (u == cut && p[i + 3] == ' ' && i + 4 <= last && (word_at(p + i + 4) & upper_mask) == here))
            f.separator = true;
        else
            continue;
        if (f.jpeg && f.separator)
            break;
    }
    return f;
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

void report_unrecognised(Frontend &ui)
{
    ui.add_status(QStringLiteral("    Invalid file format!"));
}

} // namespace

bool WorkfileRepair::fix_workfile(const QString &work_path, Frontend &ui)
{
    begin_found = false;
    jpeg64_found = false;
    io_error.clear();

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
    bool recognised = false;
    const bool complete = repair_text(raw, &out, &recognised);

    const QString work2 = work2_;
    if (!write_all(work2, out, &io_error))
        return false;
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
        report_unrecognised(ui);
    }
    return complete;
}

bool WorkfileRepair::repair(const QByteArray &raw, QByteArray *text, Frontend &ui)
{
    bool recognised = false;
    const bool complete = repair_text(raw, text, &recognised);
    if (!recognised) {
        // Taken before the status line: a Stop handled while the front end
        // draws it frees the client's copy of the article that `raw` is.
        *text = raw;
        report_unrecognised(ui);
    }
    return complete;
}

bool WorkfileRepair::repair_text(const QByteArray &raw, QByteArray *cleaned, bool *recognised)
{
    begin_found = false;
    jpeg64_found = false;
    named_jpeg = false;  // a ".jpg" of this article is no ".jpeg" of an earlier one
    jpeg_starts_body = false;
    bool after_blank = false;  // the line before was blank
    bool complete = true;
    bool past_begin = false;
    bool end_found = false;
    bool backquote_seen = false;

    // Each line grows by at most its CR LF: twice the input is always enough
    // (pages never written are never touched).
    QByteArray out(raw.size() * 2 + 2, Qt::Uninitialized);
    char *w = out.data();

    const char *p = raw.constData();
    const char *const end = p + raw.size();
    bool copying = false;  // false during the header scan
    std::string field;     // the header field holding a name, its lines joined by '\n'
    constexpr size_t max_field = 8192;
    const auto take_name = [this](std::string &gathered) {
        if (gathered.empty())
            return;
        if (std::optional<QString> name = mime_file_name(gathered))
            found_filename = std::move(*name);
        gathered.clear();
    };

    while (p < end) {
        if (copying && begin_found && !end_found) {
            // Inside the block, lines of full length are data, and stay as
            // they are (what the checks below would find for each).
            if (const char *run = encoded::full_uu_lines_end(p, end); run != p) {
                std::memcpy(w, p, size_t(run - p));
                w += run - p;
                p = run;
                past_begin = true;
                complete = true;
                continue;
            }
        }
        const char *lf = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
        const char *stop = lf ? lf : end;
        Line line(p, size_t(stop - p));
        p = lf ? lf + 1 : end;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);

        if (!copying) {
            const bool stopping = encoded::is_uu_begin_line(line) || scan(line).jpeg;
            // A name parameter, also one further down its field's folded
            // lines (RFC 2231 pieces, a long quoted name): the field is
            // decoded once it ends. Only lines holding "name", and those
            // after them, are gathered.
            const bool folded = !line.empty() && (line.front() == ' ' || line.front() == '\t');
            if (!folded)
                take_name(field);
            if ((folded && !field.empty()) || find_name_word(line) != Line::npos) {
                if (field.empty() || field.size() + line.size() < max_field) {
                    if (!field.empty())
                        field += '\n';
                    field.append(line.substr(0, max_field));  // no name is longer
                }
            }
            if (!stopping) {
                after_blank = encoded::trim_right(line).empty();
                continue;
            }
            take_name(field);  // the stopping line ends the field
            copying = true;
            jpeg_starts_body = after_blank && line.substr(0, 4) == "/9j/";
        }

        if (begin_found)
            past_begin = true;
        Line name;
        const bool begin_line = encoded::is_uu_begin_line(line, &name);
        if (begin_line) {
            // The decoder takes the first block: so does the name. A begin
            // line naming nothing leaves the name the headers gave.
            if (!begin_found && !encoded::trim_right(name).empty())
                found_filename = name_text(QByteArrayView(name.data(), qsizetype(name.size())));
            begin_found = true;
        }
        // Encoded data may start with the letters of an end line (one base64
        // line in some 30,000, a 37-byte last uuencoded line): it is data,
        // and must not end the block or fail the verdict.
        auto is_data = [&](Line l) {
            if (begin_found && past_begin && !end_found && encoded::is_uu_data_line(l))
                return true;
            return jpeg64_found && is_base64_data(l);
        };
        if (starts_upper(line, "END") && !is_data(line)
            && !(line.size() >= 2 && line.substr(line.size() - 2) == "  "
                 && is_data(line.substr(0, line.size() - 2)))) {
            end_found = true;
            if (!backquote_seen)
                complete = false;
        }
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
            if (!line.empty() && upper(line[0]) != 'M' && !begin_line && line != "`")
                complete = false;
            if (line.size() < 63)
                complete = true;
            // The zero-length line: "`", or a blank that mail and news may
            // have taken off, as older encoders write it.
            if (line == "`" || line.find_first_not_of(' ') == Line::npos) {
                backquote_seen = true;
                complete = true;
            }
        }

        // The "/9j/" test, and the separator filter: separator lines go;
        // encoded data never does, even when its characters happen to spell
        // one of the words. A uuencoded line cannot hold "/9j/" ("j" is
        // outside its alphabet), so the bulk of the data needs no search.
        const bool uu_line = uu_data && encoded::is_uu_data_line(line);
        const bool b64_line = !uu_line && is_base64_data(line);
        bool keep = true;
        // The begin line stays too: "begin 644 fullsize.jpg" is no separator.
        if (!begin_line && !uu_line && !(b64_line && jpeg64_found)) {
            const LineFacts facts = scan(line);
            if (facts.jpeg)
                jpeg64_found = true;
            keep = !facts.separator || (jpeg64_found && encoded::is_base64_text(encoded::trim_right(line)));
        }
        if (keep) {
            std::memcpy(w, line.data(), line.size());
            w += line.size();
            *w++ = '\r';
            *w++ = '\n';
        }
    }
    take_name(field);  // a header scan that reached the end
    out.truncate(w - out.data());
    *cleaned = std::move(out);

    *recognised = (begin_found && end_found) || jpeg64_found;
    if (!*recognised)
        complete = false;
    if (found_filename.toUpper().endsWith(QLatin1String(".JPEG"))) {
        // Folders in the name are never used: a dot in one ("../x.jpeg",
        // "v1.2/x.jpeg") must not take the name's place.
        const qsizetype folder = qMax(found_filename.lastIndexOf(QLatin1Char('/')),
                                      found_filename.lastIndexOf(QLatin1Char('\\')));
        if (folder >= 0)
            found_filename.remove(0, folder + 1);
        const qsizetype dot = found_filename.indexOf(QLatin1Char('.'));
        found_filename = found_filename.left(dot) + QStringLiteral(".jpg");
        named_jpeg = true;
    }
    return complete;
}

} // namespace brivane
