#include "run/article.h"

#include "db/database.h"
#include "preview/decoder.h"
#include "preview/thumbnail.h"
#include "run/files.h"
#include "run/filters.h"
#include "run/run.h"
#include "session/nntpclient.h"
#include "session/session.h"
#include "shell/frontend.h"
#include "shell/settings.h"
#include "shell/textutil.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringBuilder>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace brivane {

namespace {

const QString indent = QStringLiteral("    ");

// Names the program gives a picture whose article names none.
QString fallback_name(const Header &h, bool base64)
{
    const QString subject_name = h.file_name.trimmed();
    if (!subject_name.isEmpty() && subject_name != QLatin1String("unknown"))
        return subject_name;
    return base64 ? QStringLiteral("unknown.jpg") : QStringLiteral("unknown");
}

using Kind = PictureKind;

// What a file name says its picture is.
Kind named_kind(const QString &name)
{
    const QString ext = name.mid(name.lastIndexOf(QLatin1Char('.')) + 1).toLower();
    if (ext == QLatin1String("jpg") || ext == QLatin1String("jpeg") || ext == QLatin1String("jpe")
        || ext == QLatin1String("jfif"))
        return Kind::Jpeg;
    if (ext == QLatin1String("gif"))
        return Kind::Gif;
    if (ext == QLatin1String("png"))
        return Kind::Png;
    return Kind::Other;
}

// `name` with "_n" put before its last "." (at its end when there is none).
// Built in one allocation: the identical-picture search asks for 100 per picture.
QString numbered(const QString &name, qint64 n)
{
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QStringView whole(name);
    const QStringView stem = dot <= 0 ? whole : whole.left(dot);
    const QStringView ext = dot <= 0 ? QStringView() : whole.mid(dot);
    return stem % QLatin1Char('_') % QString::number(n) % ext;
}

// `name` with the "_n" of numbered() taken off (n from 1 to 100), or nothing
// when it is no numbered variant.
QString unnumbered(const QString &name)
{
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const qsizetype stem_end = dot <= 0 ? name.size() : dot;
    qsizetype at = stem_end;
    while (at > 0 && name.at(at - 1).isDigit() && name.at(at - 1).unicode() < 128)
        --at;
    const qsizetype digits = stem_end - at;
    if (digits == 0 || digits > 3 || at == 0 || name.at(at - 1) != QLatin1Char('_')
        || name.at(at) == QLatin1Char('0'))
        return QString();
    const int n = QStringView(name).mid(at, digits).toInt();
    if (n < 1 || n > 100)
        return QString();
    return QStringView(name).left(at - 1) % QStringView(name).mid(stem_end);
}

// True when the file at `path` holds exactly `data`.
bool holds_bytes(const QString &path, const QByteArray &data)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly) || f.size() != data.size())
        return false;
    qint64 at = 0;
    while (at < data.size()) {
        const QByteArray x = f.read(qMin<qint64>(1 << 16, data.size() - at));
        if (x.isEmpty() || std::memcmp(x.constData(), data.constData() + at, size_t(x.size())) != 0)
            return false;
        at += x.size();
    }
    return true;
}

} // namespace

qint64 ArticleStep::article_limit(qint64 overview_size)
{
    constexpr qint64 floor = 8LL << 20;
    if (overview_size <= 0 || overview_size > NewsClient::max_article / 4)  // no overflow
        return NewsClient::max_article;
    return std::clamp(overview_size * 4, floor, NewsClient::max_article);
}

ArticleStep::ArticleStep(const Settings &settings, Database &db, Session &session, Frontend &ui,
                         const Paths &paths, RunShared &shared, RunCounters &counters,
                         const QStringList &masks)
    : settings_(settings), db_(db), session_(session), ui_(ui), paths_(paths), shared_(shared),
      counters_(counters), masks_(masks), repair_(paths.file(QStringLiteral("work2")))
{
}

ArticleStep::Result ArticleStep::run(const Header &h, const QString &group, qint64 high,
                                     const QList<qint64> &next)
{
    error_.clear();
    group_ = group;

    ui_.set_text(Box::Text3, h.file_name);
    ui_.set_text(Box::Text4, tilde_to_quote(h.subject));
    ui_.set_text(Box::sender_box, trim_text(tilde_to_quote(h.sender)));
    ui_.set_text(Box::num_lines, format_thousands(h.lines));
    ui_.set_text(Box::file_size, format_thousands(h.size));
    ui_.draw_progress(1, 0);
    ui_.set_progress_max(1, h.lines > 0 ? h.lines : 1);
    ui_.set_text(Box::Combo1, group);
    ui_.set_text(Box::lo_msg, h.number_text);
    ui_.set_text(Box::hi_msg, QString::number(high));

    ui_.add_status(indent + QStringLiteral("Requesting article ") + h.number_text);
    session_.msg_expired = false;
    const qint64 limit = article_limit(h.size);
    session_.get_article(h.number, limit);
    for (qint64 n : next) {
        if (session_.news_state() != StateGetArticle)
            break;
        session_.prefetch_article(n);
    }
    const qint16 state = session_.wait(StateGetArticle);
    if (session_.article_too_large) {
        // Far beyond what the overview promised: no picture of ours. Passed
        // over, or every later run would stall on it; the connection is gone,
        // so the run ends after this header.
        session_.article_too_large = false;
        if (std::exchange(session_.article_long_line, false))
            ui_.add_status(indent + QStringLiteral("Article %1 has a line too long to read: skipped").arg(h.number_text));
        else
            ui_.add_status(indent + QStringLiteral("Article %1 is larger than %2 bytes: skipped")
                                        .arg(h.number_text, format_thousands(limit)));
        ++counters_.non_bin_count;
        counters_.show(ui_);
        return Result::Done;
    }
    if ((state == StateDisconnected || state == StateDisconnecting) && !session_.msg_expired)
        return Result::Stopped;
    if (session_.msg_expired) {
        // The server no longer has it (the session said so): the pointer moves on.
        session_.msg_expired = false;
        return Result::Done;
    }
    if (!session_.last_ok) {
        // Refused for another reason (busy, no group selected...): the
        // article was not fetched, so its pointer must stay.
        error_ = indent + QStringLiteral("Cannot get article %1: %2").arg(h.number_text, session_.last_reply);
        return Result::Failed;
    }

    // The article is repaired and decoded in memory: only the finished
    // picture ever touches the disk, once, under a hidden name beside its
    // final one.
    repair_.found_filename.clear();  // a name must come from this article, not the last one
    QByteArray text;
    const bool verdict = repair_.repair(session_.article_text(), &text, ui_);

    // A rejected article: its line (if any) and the count of non-binaries.
    auto reject = [this](const QString &why) {
        if (!why.isEmpty())
            ui_.add_status(indent + why);
        ++counters_.non_bin_count;
        counters_.show(ui_);
        return Result::Done;
    };
    // An unwanted kind of file is said and counted once, not again as an
    // invalid picture.
    // A ".jpeg" name is filed as ".jpg": a mask for either kind takes it.
    const bool jpeg_wanted = repair_.named_jpeg && ismask(QStringLiteral(".jpeg"), masks_) != 0;
    if (h.file_name == QLatin1String("unknown") && verdict && !jpeg_wanted
        && ismask(repair_.found_filename, masks_) == 0)
        return reject(QStringLiteral("File mask not found!"));
    if (!verdict)
        return reject(QStringLiteral("Invalid picture file detected!"));

    QString name = repair_.found_filename.trimmed();
    if (name.isEmpty())
        name = fallback_name(h, repair_.jpeg64_found && !repair_.begin_found);
    name = safe_file_name(name);

    bool used_base64 = false;
    QByteArray picture;
    const bool decoded = decode(text, name, &picture, &used_base64);
    text = QByteArray();
    ui_.draw_progress(1, 0);
    if (!decoded)
        return reject(QString());  // decode() gave the line
    ui_.add_status(indent + (used_base64 ? QStringLiteral("MIME Decode successful...")
                                         : QStringLiteral("UU Decode successful...")));

    // Only wanted kinds of file reach the download folder, judged by the
    // extension the file really gets.
    if (extension_mask(name, masks_) == 0 && !(jpeg_wanted && name.endsWith(QLatin1String(".jpg"))))
        return reject(QStringLiteral("File mask not found!"));

    bool ok = false;
    const QString folder = target_folder(&ok);
    if (!ok)
        return Result::Failed;

    // A name the folder's file system cannot hold would stop every run here.
    if (const qsizetype longest = listed_[folder].longest; longest > 0 && name.toUtf8().size() > longest)
        name = safe_file_name(fit_length(name, longest));

    QString final_path, identical;
    if (!file_away(picture, folder, name, h.number, &final_path, &identical))
        return Result::Failed;
    picture = QByteArray();
    if (!identical.isEmpty()) {
        // Fetched again after an interruption (or posted twice): never a second copy.
        const QString identical_name = path_file_name(identical);
        // Saved by a run that ended before the picture was surely on the
        // disk, perhaps: made so before the pointer moves past it.
        for (const QString &path : {identical, folder}) {
            if (const int err = sync_path(path); err != 0) {
                error_ = indent + QStringLiteral("Cannot write %1: %2").arg(identical, errno_text(err));
                return Result::Failed;
            }
        }
        ui_.add_status(indent + QStringLiteral("Identical file already saved: ") + identical_name);
        ++counters_.dupes_this_count;
        counters_.show(ui_);
        // A run killed between the save and its log line: the line is made now.
        if (!logged(identical_name))
            log_download(identical_name, h);
        if (settings_.checkdupes) {
            const std::optional<bool> known = db_.dupe_exists(dupe_key(identical_name));
            if (!known) {
                error_ = indent + QStringLiteral("Dupe not logged: ") + db_.last_error();
                return Result::Failed;
            }
            if (!*known && !record_dupe(identical_name))
                return Result::Failed;
        }
        return Result::Done;
    }
    const QString saved_name = path_file_name(final_path);

    ++counters_.files_this_count;
    counters_.show(ui_);
    preview(final_path, saved_name);
    log_download(saved_name, h);
    // Without its row a later repost would be saved again: the pointer stays
    // before this header, and the next run, finding the picture, makes it.
    if (!record_dupe(saved_name))
        return Result::Failed;
    session_.msg_expired = false;
    return Result::Done;
}

bool ArticleStep::decode(const QByteArray &text, const QString &name, QByteArray *picture,
                         bool *used_base64)
{
    *used_base64 = false;
    if (!repair_.begin_found && !repair_.jpeg64_found) {
        ui_.add_status(indent + QStringLiteral("Decode failed: no encoded data found"));
        return false;
    }
    DecodeResult r;
    // A uuencoded block is tried first; base64 only when that failed.
    if (repair_.begin_found) {
        r = uudecode_bytes(text, picture);
        if (r.ok())
            return true;
    }
    if (repair_.jpeg64_found) {
        const DecodeResult uu = r;
        picture->clear();
        r = base64_decode_bytes(text, picture);
        // base64 is looked for by a JPEG's look ("/9j/"), which another
        // file's base64 can hold by chance: decoded from there, it is that
        // file's tail, and no picture of the kind its name says. A body that
        // is a JPEG from its first line is one, whatever its name says.
        const Kind kind = r.ok() ? picture_kind(*picture) : Kind::Other;
        if (r.ok() && kind != named_kind(name) && !(kind == Kind::Jpeg && repair_.jpeg_starts_body))
            r = {DecodeStatus::NoData, QStringLiteral("The base64 data is no picture of the kind its name says")};
        if (r.ok()) {
            *used_base64 = true;
            return true;
        }
        if (repair_.begin_found)
            ui_.add_status(indent + QStringLiteral("Decode failed: ") + uu.message);
    }
    picture->clear();
    ui_.add_status(indent + QStringLiteral("Decode failed: ") + r.message);
    return false;
}

QString ArticleStep::target_folder(bool *ok)
{
    *ok = true;
    QString base = QDir::cleanPath(settings_.dlpath);
    if (!settings_.ng_dirs) {
        sweep(base);
        return base;
    }
    const QString folder = base + QLatin1Char('/') + safe_dir_name(trim_text(group_));
    if (!dir_exists(folder)) {
        if (!make_dirs(folder) || !QFileInfo(folder).isDir()) {
            *ok = false;
            error_ = indent + QStringLiteral("Cannot create dir: ") + native_path(folder);
            return QString();
        }
        // Its name on the disk as well before a picture in it counts as saved.
        if (const int err = sync_path(base); err != 0) {
            *ok = false;
            error_ = indent + QStringLiteral("Cannot create dir: %1: %2").arg(native_path(folder), errno_text(err));
            return QString();
        }
        ui_.add_status(indent + QStringLiteral("Created dir: ") + native_path(folder));
    }
    sweep(folder);
    return folder;
}

void ArticleStep::sweep_left_overs(const QStringList &groups)
{
    const QString base = QDir::cleanPath(settings_.dlpath);
    remove_left_overs(base);
    for (const QString &group : groups)
        remove_left_overs(base + QLatin1Char('/') + safe_dir_name(trim_text(group)));
}

void ArticleStep::remove_left_overs(const QString &folder)
{
    if (swept_.contains(folder))
        return;
    swept_.insert(folder);
    // Hidden temporary files of pictures a killed run did not finish (one
    // another copy of the program is writing right now is passed by).
    QDir dir(folder);
    const QStringList stale = dir.entryList({QStringLiteral(".brivane-*.part")},
                                            QDir::Files | QDir::Hidden);
    for (const QString &f : stale)
        remove_unused_temporary(dir.filePath(f));
}

void ArticleStep::sweep(const QString &folder)
{
    if (listed_.contains(folder))
        return;
    remove_left_overs(folder);
    QDir dir(folder);
    // The names in the folder, listed once, so the search for an identical
    // picture does not ask the file system for a hundred names per article.
    Listing &listing = listed_[folder];
    for (const QString &name : dir.entryList(QDir::Files | QDir::Hidden | QDir::System))
        listing.insert(name);
    listing.longest = longest_name_in(folder);
}

void ArticleStep::Listing::insert(const QString &name)
{
    names.insert(name);
    const QString family = unnumbered(name);
    if (!family.isEmpty())
        families.insert(family);
}

bool ArticleStep::file_away(const QByteArray &picture, const QString &folder, const QString &name,
                            qint64 number, QString *final_path, QString *identical_to)
{
    const QString base = folder + QLatin1Char('/') + name;
    // A byte-identical picture under this name or one of its numbered
    // variants means this one was saved before.
    Listing &listing = listed_[folder];
    const auto found_in = [&](const QString &family) {
        const int variants = listing.families.contains(family) ? 100 : 0;
        for (int n = 0; n <= variants; ++n) {
            const QString candidate_name = n == 0 ? family : numbered(family, n);
            if (!listing.names.contains(candidate_name))
                continue;
            const QString candidate = folder + QLatin1Char('/') + candidate_name;
            if (QFileInfo(candidate).isFile() && holds_bytes(candidate, picture)) {
                *identical_to = candidate;
                return true;
            }
        }
        return false;
    };
    if (found_in(name))
        return true;
    // With all hundred variants taken it went under the article's number.
    if (listing.names.contains(numbered(name, 100)) && found_in(numbered(name, number)))
        return true;
    for (int attempt = 0; attempt < 5; ++attempt) {
        QString target = unique_name(base);
        if (target.isEmpty())  // all 100 variants taken: the article number tells it apart
            target = unique_name(folder + QLatin1Char('/') + numbered(name, number));
        if (target.isEmpty())
            break;
        const DecodeResult r = write_new_file(target, picture);
        if (r.ok()) {
            *final_path = target;
            listing.insert(path_file_name(target));
            return true;
        }
        if (r.status != DecodeStatus::TargetExists) {
            error_ = indent + r.message;
            return false;
        }
        listing.insert(path_file_name(target));  // someone else took it meanwhile
    }
    error_ = indent + QStringLiteral("No free file name for %1 in %2").arg(name, native_path(folder));
    return false;
}

void ArticleStep::preview(const QString &target, const QString &saved_name)
{
    if (!settings_.preview || !ui_.preview_visible())
        return;
    ui_.set_text(Box::ppic, QString());
    ui_.set_text(Box::sender_box, QString());
    ui_.set_text(Box::Text3, QString());
    ui_.set_text(Box::Text4, QString());
    ui_.set_text(Box::num_lines, QString());
    ui_.set_text(Box::file_size, QString());
    ui_.add_status(indent + QStringLiteral("loading ") + saved_name + QStringLiteral(" for preview..."));
    if (ui_.draw_jpeg(target)) {
        ui_.set_text(Box::ppic, saved_name);
        shared_.preview_path = target;
    } else {
        ui_.add_status(indent + QStringLiteral("Error loading ") + saved_name);
        ui_.load_logo();
    }
}

bool ArticleStep::logged(const QString &saved_name)
{
    if (!log_read_) {
        // Read once a run: a run reading a group again from its start finds
        // every picture saved, and must not read the whole log for each.
        // A name may hold commas, so each line's text before each of its
        // commas counts as a name.
        log_read_ = true;
        QFile f(paths_.dllog_file());
        if (!f.open(QIODevice::ReadOnly)) {
            log_unreadable_ = f.exists();  // left alone; a missing log gets the lines
        } else {
            // A name is far shorter than a line may be: only the commas of
            // a line's start count, so a subject of commas costs nothing.
            constexpr qsizetype name_room = 1024;
            bool line_start = true;
            while (!f.atEnd()) {
                const QByteArray piece = f.readLine(name_room);
                if (line_start) {
                    for (qsizetype comma = piece.indexOf(','); comma >= 0; comma = piece.indexOf(',', comma + 1))
                        log_names_.insert(piece.left(comma));
                }
                line_start = piece.endsWith('\n');
            }
        }
    }
    return log_unreadable_ || log_names_.contains(saved_name.toUtf8());
}

void ArticleStep::log_download(const QString &saved_name, const Header &h)
{
    QString text = saved_name + QLatin1Char(',') + h.subject + QLatin1Char(',') + h.sender;
    // One line per picture: a header's bare CR (or any other line break a
    // reader may honour) becomes a blank. Other characters stay as they came.
    for (QChar &c : text) {
        switch (c.unicode()) {
        case '\n': case '\v': case '\f': case '\r': case 0x85: case 0x2028: case 0x2029:
            c = QLatin1Char(' ');
        }
    }
    const QByteArray line = text.toUtf8() + "\r\n";
    // Opened for appending, written and closed again for each picture (a
    // log moved away meanwhile is made anew), with plain calls: QFile's
    // open asks for the size and position besides.
    if (dllog_path_.isEmpty())
        dllog_path_ = QFile::encodeName(paths_.dllog_file());
    int err = 0;
    const int fd = ::open(dllog_path_.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        err = errno;
    } else {
        err = write_all(fd, line.constData(), line.size());
        if (::close(fd) != 0 && err == 0)
            err = errno;
    }
    if (err != 0)
        ui_.add_status(indent + QStringLiteral("Cannot write %1: %2").arg(paths_.dllog_file(), errno_text(err)));
    else if (log_read_)
        log_names_.insert(saved_name.toUtf8());
}

bool ArticleStep::record_dupe(const QString &saved_name)
{
    if (!settings_.checkdupes)
        return true;
    // The count is asked once and then kept; near the limit it is asked
    // again, since the user may have deleted rows meanwhile.
    if (dupe_rows_ < 0 || dupe_rows_ >= max_dupes) {
        const std::optional<qint64> rows = db_.dupes_count();
        if (!rows) {
            error_ = indent + QStringLiteral("Dupe not logged: ") + db_.last_error();
            return false;
        }
        dupe_rows_ = *rows;
    }
    if (dupe_rows_ >= max_dupes) {
        // The list is full by the user's choice of what to keep: said, and the run goes on.
        ui_.add_status(indent + QStringLiteral("Dupe not logged!  Dupe file full!  Delete some entries!"));
        return true;
    }
    if (!db_.add_dupe(dupe_key(saved_name))) {
        error_ = indent + QStringLiteral("Dupe not logged: ") + db_.last_error();
        dupe_rows_ = -1;
        return false;
    }
    ++dupe_rows_;
    ui_.add_status(indent + QStringLiteral("Logged file: ") + saved_name);
    return true;
}

} // namespace brivane
