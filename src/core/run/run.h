#pragma once
// The download run: every subscribed group of the active server, the header
// loop with the message pointer stored after every header, the article step,
// the totals.
#include "run/counters.h"
#include "shell/home.h"
#include "shell/outcome.h"

#include <QElapsedTimer>
#include <QString>
#include <QStringList>

namespace brivane {

class ArticleStep;
class Database;
class Frontend;
class HeaderStep;
class Session;
class Settings;

// State the run shares with the main window; it outlives a run.
struct RunShared {
    QStringList ignore_list;   // senders ignored until the program ends
    QString current_sender;    // sender of the header being examined
    QString preview_path;      // picture shown in the thumbnail box
    bool group_jump = false;   // set by a click on the group box
    QString picked_group;      // the group then picked, kept: the run rewrites the box
    bool auto_run = false;     // "/auto": adds "Autostarting!"
};

class Run {
public:
    Run(Settings &settings, Database &db, Session &session, Frontend &ui, Paths paths,
        RunShared &shared);

    // The Process button.
    Outcome btnProc_Click();

    const RunCounters &counters() const { return counters_; }

    // Overview lines are fetched in ranges of at most this many articles, so
    // memory stays bounded on huge groups. Changeable for tests.
    static constexpr qint64 default_chunk = 5000;
    // Articles are asked for ahead only up to this size together.
    static constexpr qint64 max_ahead_bytes = 8 * 1024 * 1024;
    void set_chunk_size(qint64 n) { chunk_ = n > 0 ? n : default_chunk; }

private:
    enum class GroupEnd { Done, Promoted, Stopped, Failed, NoServer };

    GroupEnd process_group(int g, HeaderStep &headers, ArticleStep &articles, int *promoted_index);
    // The position of a pending promotion request, or -1 (the request is then dropped).
    int promotion_target();
    // The headers after line i of this range that would be fetched, when
    // few are asked for ahead: those to ask for now.
    QList<qint64> next_wanted(const HeaderStep &headers, qint64 i, qint64 last, qint64 number);
    void end_connection();
    // Stores `number` as group g's pointer, on disk before the next header;
    // false (and error_) when the database refused it.
    bool store_pointer(int g, qint64 number);
    // A fatal error: a message box while no pointer was stored yet (nothing
    // of the run happened), afterwards a status line; the run ends.
    Outcome fail(const QString &text);

    Settings &settings_;
    Database &db_;
    Session &session_;
    Frontend &ui_;
    Paths paths_;
    RunShared &shared_;
    RunCounters counters_;

    qint64 chunk_ = default_chunk;
    // How far next_wanted() has looked in this overview range. Each line is
    // looked at once; of those that passed the fixed tests, the ones not
    // yet examined are kept.
    struct LookAhead {
        qint64 next = 0;        // the next line to look at
        qint64 number = 0;      // the highest number the loop will have passed by then
        QList<qint64> passed;   // places of lines that passed the fixed tests
    };
    LookAhead ahead_;
    QStringList group_names_;
    QList<qint64> group_pointers_;  // next article to examine, per group
    QStringList masks_;
    QString error_;                 // text of the failure that ended a group
    QString shown_group_;           // the group the run last showed in Combo1
    bool pointer_written_ = false;  // a message pointer was stored in this run
    QElapsedTimer events_;          // since the event loop last ran
};

// The "Catch Up" command: every subscribed group's pointer set to its high mark.
Outcome catchup_Click(Session &session, Database &db, const Settings &settings, Frontend &ui);

} // namespace brivane
