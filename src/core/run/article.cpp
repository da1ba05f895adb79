#include "run/article.h"

#include "db/database.h"
#include "preview/decoder.h"
#include "run/files.h"
#include "run/filters.h"
#include "run/run.h"
#include "session/session.h"
#include "shell/frontend.h"
#include "shell/settings.h"
#include "shell/textutil.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
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

// `name` with "_n" put before its last "." (at its end when there is none).
QString numbered(const QString &name, qint64 n)
{
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString suffix = QLatin1Char('_') + QString::number(n);
    if (dot <= 0)
        return name + suffix;
    return name.left(dot) + suffix + name.mid(dot);
}

QByteArray encode_path(const QString &path)
{
    return QFile::encodeName(path);
}

// Links `from` to `to` without replacing: renameat2 where the file system
// knows it, else link + unlink. 0 on success, else the errno.
int rename_no_replace(const QString &from, const QString &to)
{
    const QByteArray f = encode_path(from), t = encode_path(to);
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, f.constData(), AT_FDCWD, t.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return errno;
#endif
    if (::link(f.constData(), t.constData()) == 0) {
        ::unlink(f.constData());
        return 0;
    }
    if (errno != EPERM && errno != ENOTSUP && errno != EOPNOTSUPP)
        return errno;
    // A file system without hard links: the last resort is a checked rename.
    if (QFileInfo::exists(to))
        return EEXIST;
    return ::rename(f.constData(), t.constData()) == 0 ? 0 : errno;
}

} // namespace

bool same_contents(const QString &a, const QString &b)
{
    QFile fa(a), fb(b);
    if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly))
        return false;
    if (fa.size() != fb.size())
        return false;
    constexpr qint64 block = 1 << 16;
    while (true) {
        const QByteArray x = fa.read(block);
        const QByteArray y = fb.read(block);
        if (x != y)
            return false;
        if (x.isEmpty())
            return fa.atEnd() && fb.atEnd();
    }
}

bool move_no_replace(const QString &from, const QString &to, bool *exists, QString *error)
{
    *exists = false;
    int err = rename_no_replace(from, to);
    if (err == 0)
        return true;
    if (err == EEXIST) {
        *exists = true;
        *error = QStringLiteral("%1 exists").arg(to);
        return false;
    }
    if (err != EXDEV) {
        *error = QStringLiteral("Cannot move %1 to %2: %3")
                     .arg(from, to, QString::fromLocal8Bit(std::strerror(err)));
        return false;
    }
    // Another file system: copy under a hidden name beside the target, then
    // rename that into place, so the picture is whole under its name or absent.
    QFile src(from);
    if (!src.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("Cannot read %1: %2").arg(from, src.errorString());
        return false;
    }
    QTemporaryFile tmp(QFileInfo(to).absolutePath() + QStringLiteral("/.brivane-XXXXXX.part"));
    if (!tmp.open()) {
        *error = QStringLiteral("Cannot write into %1: %2").arg(QFileInfo(to).absolutePath(), tmp.errorString());
        return false;
    }
    while (!src.atEnd()) {
        const QByteArray data = src.read(1 << 16);
        if (data.isEmpty() && src.error() != QFile::NoError) {
            *error = QStringLiteral("Cannot read %1: %2").arg(from, src.errorString());
            return false;
        }
        if (tmp.write(data) != data.size()) {
            *error = QStringLiteral("Cannot write %1: %2").arg(to, tmp.errorString());
            return false;
        }
    }
    if (!tmp.flush()) {
        *error = QStringLiteral("Cannot write %1: %2").arg(to, tmp.errorString());
        return false;
    }
    err = rename_no_replace(tmp.fileName(), to);
    if (err != 0) {
        *exists = err == EEXIST;
        *error = QStringLiteral("Cannot move %1 to %2: %3")
                     .arg(tmp.fileName(), to, QString::fromLocal8Bit(std::strerror(err)));
        return false;
    }
    src.close();
    QFile::remove(from);
    return true;
}

ArticleStep::ArticleStep(const Settings &settings, Database &db, Session &session, Frontend &ui,
                         const Paths &paths, RunShared &shared, RunCounters &counters,
                         const QStringList &masks)
    : settings_(settings), db_(db), session_(session), ui_(ui), paths_(paths), shared_(shared),
      counters_(counters), masks_(masks), repair_(paths.file(QStringLiteral("work2")))
{
    // A decode cut short by a kill leaves its hidden temporary file in the home.
    sweep(paths_.home());
}

ArticleStep::~ArticleStep()
{
    finish();
}

void ArticleStep::delete_work_files()
{
    if (!decoded_path_.isEmpty()) {
        if (QFileInfo::exists(decoded_path_) && !QFile::remove(decoded_path_))
            ui_.add_status(indent + QStringLiteral("Cannot delete %1").arg(decoded_path_));
        decoded_path_.clear();
    }
}

void ArticleStep::finish()
{
    delete_work_files();
    for (const QString &p : {work_path_, paths_.file(QStringLiteral("work2"))}) {
        if (!p.isEmpty() && QFileInfo::exists(p) && !QFile::remove(p))
            ui_.add_status(indent + QStringLiteral("Cannot delete %1").arg(p));
    }
    work_path_.clear();
}

QString ArticleStep::free_work_path() const
{
    for (int tries = 0; tries < 1000; ++tries) {
        const QString path = paths_.file(work_file_name());
        if (path != work_path_ && path != decoded_path_ && !QFileInfo::exists(path))
            return path;
    }
    return QString();
}

bool ArticleStep::write_work_file(const QByteArray &text)
{
    // One work file name for the whole run: rewriting it costs less than
    // creating a new file for every article.
    if (work_path_.isEmpty())
        work_path_ = free_work_path();
    if (work_path_.isEmpty()) {
        error_ = indent + QStringLiteral("No free work file name in %1").arg(paths_.home());
        return false;
    }
    QFile f(work_path_);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        error_ = indent + QStringLiteral("Cannot write the work file %1: %2").arg(work_path_, f.errorString());
        return false;
    }
    if (f.write(text) != text.size() || f.write("\r\n", 2) != 2 || !f.flush()) {
        error_ = indent + QStringLiteral("Cannot write the work file %1: %2").arg(work_path_, f.errorString());
        return false;
    }
    return true;
}

ArticleStep::Result ArticleStep::fatal(const QString &text)
{
    error_ = text;
    return Result::Failed;
}

ArticleStep::Result ArticleStep::run(const Header &h, const QString &group, qint64 high)
{
    error_.clear();
    group_ = group;
    delete_work_files();

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
    session_.get_article(h.number);
    const qint16 state = session_.wait(StateGetArticle);
    if ((state == StateDisconnected || state == StateDisconnecting) && !session_.msg_expired)
        return Result::Stopped;
    if (session_.msg_expired) {
        // The server no longer has it (the session said so): the pointer moves on.
        session_.msg_expired = false;
        return Result::Done;
    }

    if (!write_work_file(session_.article_text()))
        return Result::Failed;

    repair_.found_filename.clear();  // a name must come from this article, not the last one
    bool verdict = repair_.fix_workfile(work_path_, ui_);
    if (!repair_.io_error.isEmpty())
        return fatal(indent + QStringLiteral("Cannot repair the work file: ") + repair_.io_error);

    if (h.file_name == QLatin1String("unknown") && verdict
        && ismask(repair_.found_filename, masks_) == 0) {
        ui_.add_status(indent + QStringLiteral("File mask not found!"));
        ++counters_.non_bin_count;
        counters_.show(ui_);
        verdict = false;
    }
    if (!verdict) {
        ui_.add_status(indent + QStringLiteral("Invalid picture file detected!"));
        ++counters_.non_bin_count;
        counters_.show(ui_);
        return Result::Done;
    }

    QString name = repair_.found_filename.trimmed();
    if (name.isEmpty())
        name = fallback_name(h, repair_.jpeg64_found && !repair_.begin_found);
    name = safe_file_name(name);

    bool used_base64 = false;
    const Decoded decoded = decode(&used_base64);
    ui_.draw_progress(1, 0);
    if (decoded == Decoded::Fatal)
        return Result::Failed;
    if (decoded == Decoded::Bad) {
        ++counters_.non_bin_count;
        counters_.show(ui_);
        return Result::Done;
    }
    ui_.add_status(indent + (used_base64 ? QStringLiteral("MIME Decode successful...")
                                         : QStringLiteral("UU Decode successful...")));

    // Only wanted kinds of file reach the download folder.
    if (ismask(name, masks_) == 0) {
        ui_.add_status(indent + QStringLiteral("File mask not found!"));
        ++counters_.non_bin_count;
        counters_.show(ui_);
        return Result::Done;
    }

    bool ok = false;
    const QString folder = target_folder(&ok);
    if (!ok)
        return Result::Failed;

    QString final_path, identical;
    if (!file_away(decoded_path_, folder, name, h.number, &final_path, &identical))
        return Result::Failed;
    if (!identical.isEmpty()) {
        // Fetched again after an interruption (or posted twice): never a second copy.
        ui_.add_status(indent + QStringLiteral("Identical file already saved: ")
                       + path_file_name(identical));
        ++counters_.dupes_this_count;
        counters_.show(ui_);
        if (settings_.checkdupes) {
            const std::optional<bool> known = db_.dupe_exists(path_file_name(identical));
            if (known && !*known)
                record_dupe(path_file_name(identical));
        }
        return Result::Done;
    }
    decoded_path_.clear();
    const QString saved_name = path_file_name(final_path);

    ++counters_.files_this_count;
    counters_.show(ui_);
    preview(final_path, saved_name);
    log_download(saved_name, h);
    record_dupe(saved_name);
    session_.msg_expired = false;
    return Result::Done;
}

ArticleStep::Decoded ArticleStep::decode(bool *used_base64)
{
    *used_base64 = false;
    if (!repair_.begin_found && !repair_.jpeg64_found) {
        ui_.add_status(indent + QStringLiteral("Decode failed: no encoded data found"));
        return Decoded::Bad;
    }
    decoded_path_ = free_work_path();
    if (decoded_path_.isEmpty()) {
        error_ = indent + QStringLiteral("No free work file name in %1").arg(paths_.home());
        return Decoded::Fatal;
    }
    auto local_failure = [](const DecodeResult &r) {
        return r.status == DecodeStatus::ReadError || r.status == DecodeStatus::WriteError
               || r.status == DecodeStatus::TargetExists;
    };
    DecodeResult r;
    // A uuencoded block is tried first; base64 only when that failed.
    if (repair_.begin_found) {
        r = decode_uuencode(work_path_, decoded_path_);
        if (r.ok())
            return Decoded::Ok;
        if (local_failure(r)) {
            error_ = indent + QStringLiteral("Decode failed: ") + r.message;
            return Decoded::Fatal;
        }
    }
    if (repair_.jpeg64_found) {
        const DecodeResult uu = r;
        QFile::remove(decoded_path_);
        r = decode_base64(work_path_, decoded_path_);
        if (r.ok()) {
            *used_base64 = true;
            return Decoded::Ok;
        }
        if (local_failure(r)) {
            error_ = indent + QStringLiteral("Decode failed: ") + r.message;
            return Decoded::Fatal;
        }
        if (repair_.begin_found)
            ui_.add_status(indent + QStringLiteral("Decode failed: ") + uu.message);
    }
    ui_.add_status(indent + QStringLiteral("Decode failed: ") + r.message);
    return Decoded::Bad;
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
        ui_.add_status(indent + QStringLiteral("Created dir: ") + native_path(folder));
    }
    sweep(folder);
    return folder;
}

void ArticleStep::sweep(const QString &folder)
{
    if (listed_.contains(folder))
        return;
    // Pieces of a copy across file systems that a killed run left behind.
    QDir dir(folder);
    const QStringList stale = dir.entryList({QStringLiteral(".brivane-*.part")},
                                            QDir::Files | QDir::Hidden);
    for (const QString &f : stale)
        QFile::remove(dir.filePath(f));
    // The names in the folder, listed once, so the search for an identical
    // picture does not ask the file system for a hundred names per article.
    const QStringList names = dir.entryList(QDir::Files | QDir::Hidden | QDir::System);
    listed_.insert(folder, QSet<QString>(names.cbegin(), names.cend()));
}

bool ArticleStep::file_away(const QString &decoded, const QString &folder, const QString &name,
                            qint64 number, QString *final_path, QString *identical_to)
{
    const QString base = folder + QLatin1Char('/') + name;
    // A byte-identical picture under this name or one of its numbered
    // variants means this one was saved before.
    const qint64 size = QFileInfo(decoded).size();
    QSet<QString> &names = listed_[folder];
    for (int n = 0; n <= 100; ++n) {
        const QString candidate_name = n == 0 ? name : numbered(name, n);
        if (!names.contains(candidate_name))
            continue;
        const QString candidate = folder + QLatin1Char('/') + candidate_name;
        const QFileInfo fi(candidate);
        if (fi.exists() && fi.isFile() && fi.size() == size && same_contents(decoded, candidate)) {
            *identical_to = candidate;
            QFile::remove(decoded);
            return true;
        }
    }
    for (int attempt = 0; attempt < 5; ++attempt) {
        QString target = unique_name(base);
        if (target.isEmpty())  // all 100 variants taken: the article number tells it apart
            target = unique_name(folder + QLatin1Char('/') + numbered(name, number));
        if (target.isEmpty()) {
            error_ = indent + QStringLiteral("No free file name for %1 in %2").arg(name, native_path(folder));
            return false;
        }
        bool exists = false;
        QString error;
        if (move_no_replace(decoded, target, &exists, &error)) {
            *final_path = target;
            names.insert(path_file_name(target));
            return true;
        }
        if (!exists) {
            error_ = indent + error;
            return false;
        }
        names.insert(path_file_name(target));  // someone else took it meanwhile
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

void ArticleStep::log_download(const QString &saved_name, const Header &h)
{
    QFile f(paths_.dllog_file());
    const QByteArray line = (saved_name + QLatin1Char(',') + h.subject + QLatin1Char(',') + h.sender)
                                .toUtf8()
                            + "\r\n";
    if (!f.open(QIODevice::WriteOnly | QIODevice::Append) || f.write(line) != line.size()
        || !f.flush())
        ui_.add_status(indent + QStringLiteral("Cannot write %1: %2").arg(f.fileName(), f.errorString()));
}

void ArticleStep::record_dupe(const QString &saved_name)
{
    if (!settings_.checkdupes)
        return;
    // The count is asked once and then kept; near the limit it is asked
    // again, since the user may have deleted rows meanwhile.
    if (dupe_rows_ < 0 || dupe_rows_ >= max_dupes) {
        const std::optional<qint64> rows = db_.dupes_count();
        if (!rows) {
            ui_.add_status(indent + QStringLiteral("Dupe not logged: ") + db_.last_error());
            return;
        }
        dupe_rows_ = *rows;
    }
    if (dupe_rows_ >= max_dupes) {
        ui_.add_status(indent + QStringLiteral("Dupe not logged!  Dupe file full!  Delete some entries!"));
        return;
    }
    if (!db_.add_dupe(saved_name)) {
        ui_.add_status(indent + QStringLiteral("Dupe not logged: ") + db_.last_error());
        dupe_rows_ = -1;
        return;
    }
    ++dupe_rows_;
    ui_.add_status(indent + QStringLiteral("Logged file: ") + saved_name);
}

} // namespace brivane
