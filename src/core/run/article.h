#pragma once
// The article step of the run: an accepted header's article is fetched,
// repaired and decoded in memory, written under a free name into the download
// folder, counted, logged, previewed and recorded against later duplicates.
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
    // The most an article may bring: four times the overview's size, at
    // least 8 MiB, at most the client's ceiling.
    static qint64 article_limit(qint64 overview_size);

    enum class Result {
        Done,     // the header is finished (saved, rejected or expired): store its pointer
        Stopped,  // the connection went away while fetching: end the run silently
        Failed,   // a local failure (disk, database) or a refused fetch: end the run, pointer not stored
    };

    ArticleStep(const Settings &settings, Database &db, Session &session, Frontend &ui,
                const Paths &paths, RunShared &shared, RunCounters &counters,
                const QStringList &masks);

    // `group` is the name as subscribed; `high` the group's last article (for
    // hi_msg); `next` the articles expected to be wanted after this one, in
    // order, asked for at once so that the server sends them meanwhile.
    Result run(const Header &h, const QString &group, qint64 high, const QList<qint64> &next = {});

    // Clears what a killed run left half-written in the download folder and
    // in the folders of `groups` (also with ng_dirs off: it may have been on).
    void sweep_left_overs(const QStringList &groups);

    // Why the last run() returned Failed.
    const QString &error() const { return error_; }
    static constexpr qint64 max_dupes = 32000;

private:
    // False (with its status line) when `text` holds no decodable picture.
    bool decode(const QByteArray &text, const QString &name, QByteArray *picture, bool *used_base64);
    QString target_folder(bool *ok);
    void sweep(const QString &folder);
    void remove_left_overs(const QString &folder);
    bool file_away(const QByteArray &picture, const QString &folder, const QString &name,
                   qint64 number, QString *final_path, QString *identical_to);
    void log_download(const QString &saved_name, const Header &h);
    bool logged(const QString &saved_name);  // dllog.txt has a line for it
    // False (and error()) when the row could not be stored.
    bool record_dupe(const QString &saved_name);
    void preview(const QString &target, const QString &saved_name);

    const Settings &settings_;
    Database &db_;
    Session &session_;
    Frontend &ui_;
    Paths paths_;
    RunShared &shared_;
    RunCounters &counters_;
    const QStringList &masks_;
    WorkfileRepair repair_;
    QString error_;
    QString group_;          // the group of the article in hand
    QByteArray dllog_path_;  // dllog.txt, encoded once per run
    // The names dllog.txt holds lines for, read at the first picture found
    // saved before (see logged()).
    QSet<QByteArray> log_names_;
    bool log_read_ = false;
    bool log_unreadable_ = false;
    // The file names of a folder, listed once a run, and the same names with
    // a numbered variant's "_n" taken off: a name none of whose variants is
    // there needs no search for an identical picture.
    struct Listing {
        QSet<QString> names;
        QSet<QString> families;
        qsizetype longest = 0;  // bytes a name may have there (0: not known)
        void insert(const QString &name);
    };
    QHash<QString, Listing> listed_;
    QSet<QString> swept_;  // folders cleared of left-overs this run
    qint64 dupe_rows_ = -1;  // rows of dupes as last counted (-1: ask)
};

} // namespace brivane
