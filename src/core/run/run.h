#pragma once
// The download run: every subscribed group of the active server, the header
// loop with the message pointer stored after every header, the article step,
// the totals.
#include "run/counters.h"
#include "shell/home.h"
#include "shell/outcome.h"

#include <QString>
#include <QStringList>

namespace brivane {

class Database;
class Frontend;
class Session;
class Settings;

// State the run shares with the main window; it outlives a run.
struct RunShared {
    QStringList ignore_list;   // senders ignored until the program ends
    QString current_sender;    // sender of the header being examined
    QString preview_path;      // picture shown in the thumbnail box
    bool group_jump = false;   // set by a click on the group box
    bool auto_run = false;     // "/auto": adds "Autostarting!"
};

class Run {
public:
    Run(Settings &settings, Database &db, Session &session, Frontend &ui, Paths paths,
        RunShared &shared);

    // The Process button.
    Outcome btnProc_Click();

    const RunCounters &counters() const { return counters_; }

private:
    Settings &settings_;
    Database &db_;
    Session &session_;
    Frontend &ui_;
    Paths paths_;
    RunShared &shared_;
    RunCounters counters_;
};

// The "Catch Up" command: every subscribed group's pointer set to its high mark.
Outcome catchup_Click(Session &session, Database &db, const Settings &settings, Frontend &ui);

} // namespace brivane
