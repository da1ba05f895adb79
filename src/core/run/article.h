#pragma once
// The article step of the run: an accepted header's article is fetched into a
// work file, repaired, decoded in the program home, moved under a free name
// into the download folder, counted, logged, previewed and recorded against
// later duplicates.
#include "preview/workfile.h"
#include "run/counters.h"
#include "run/headerstep.h"
#include "shell/home.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

namespace brivane {

class Database;
class Frontend;
class Session;
class Settings;
struct RunShared;

class ArticleStep {
public:
    enum class Result {
        Done,     // the header is finished (saved, rejected or expired): store its pointer
        Stopped,  // the connection went away while fetching: end the run silently
        Failed,   // a local failure (disk, database): end the run, pointer not stored
    };

    ArticleStep(const Settings &settings, Database &db, Session &session, Frontend &ui,
                const Paths &paths, RunShared &shared, RunCounters &counters,
                const QStringList &masks);
    ~ArticleStep();

    // `group` is the name as subscribed; `high` the group's last article (for hi_msg).
    Result run(const Header &h, const QString &group, qint64 high);

    // Why the last run() returned Failed.
    const QString &error() const { return error_; }
    // Removes the decoded copy of the last article if it was not filed.
    void delete_work_files();
    // Removes every work file of the run (also done when destroyed).
    void finish();

    static constexpr qint64 max_dupes = 32000;

private:
    enum class Decoded { Ok, Bad, Fatal };

    bool write_work_file(const QByteArray &text);
    QString free_work_path() const;
    Decoded decode(bool *used_base64);
    QString target_folder(bool *ok);
    void sweep(const QString &folder);
    bool file_away(const QString &decoded, const QString &folder, const QString &name,
                   qint64 number, QString *final_path, QString *identical_to);
    void log_download(const QString &saved_name, const Header &h);
    void record_dupe(const QString &saved_name);
    void preview(const QString &target, const QString &saved_name);
    Result fatal(const QString &text);

    const Settings &settings_;
    Database &db_;
    Session &session_;
    Frontend &ui_;
    Paths paths_;
    RunShared &shared_;
    RunCounters &counters_;
    const QStringList &masks_;
    WorkfileRepair repair_;
    QString work_path_;     // the raw article
    QString decoded_path_;  // the decoded picture before it is moved into place
    QString error_;
    QString group_;          // the group of the article in hand
    QHash<QString, QSet<QString>> listed_;  // file names per folder, listed once a run
    qint64 dupe_rows_ = -1;  // rows of dupes as last counted (-1: ask)
};

// Moves `from` to `to` without ever replacing an existing `to`: an atomic
// rename on one file system, else a copy under a temporary name beside `to`
// renamed into place. False (with `error`) when `to` exists or the move fails;
// `exists` tells the first case.
bool move_no_replace(const QString &from, const QString &to, bool *exists, QString *error);
// True when the two files hold the same bytes.
bool same_contents(const QString &a, const QString &b);

} // namespace brivane
