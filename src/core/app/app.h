#pragma once
// The application object: owns the settings, the database and the run's
// shared state, and carries out the start-up sequence that the GUI and the
// CLI share. The commands that need a connection live in Commands.
#include "db/database.h"
#include "run/run.h"
#include "shell/commandline.h"
#include "shell/outcome.h"
#include "shell/home.h"
#include "shell/settings.h"

#include <QLockFile>
#include <memory>

namespace brivane {

class Frontend;
class Session;

class App {
public:
    App(Paths paths, Frontend &ui);
    ~App();

    // Early start-up, up to and including database creation: the two early
    // settings, the single-instance lock ("Brivane is already running!"),
    // a missing database restored from brivane.new or brivane.BAK, a
    // leftover brivane.new, create_database. False: the program must end
    // (the message was given).
    bool start();
    // Deletes the log of the previous start ("/log" appends to it afresh).
    void delete_log();
    // The main window's load: the other settings, database maintenance and
    // rotation, work files of an interrupted run, the database opened.
    bool load();

    const Paths &paths() const { return paths_; }
    Settings &settings() { return settings_; }
    Database &db() { return db_; }
    RunShared &shared() { return shared_; }
    Switches &switches() { return switches_; }
    Frontend &ui() { return ui_; }

private:
    Paths paths_;
    Frontend &ui_;
    Settings settings_;
    Database db_;
    RunShared shared_;
    Switches switches_;
    std::unique_ptr<QLockFile> lock_;
    QString restored_;  // the status line of a database restored by start()
};

// The commands of the menus and the CLI, on a session of their own.
class Commands {
public:
    explicit Commands(App &app);
    ~Commands();

    Outcome process();      // the download run
    Outcome catchup();
    Outcome get_groups();
    void stop();            // the Stop button / SIGINT

    Session &session() { return *session_; }

private:
    App &app_;
    std::unique_ptr<Session> session_;
};

// Removes work files ("work" + exactly four characters, no extension) left by
// an interrupted run. Returns how many were removed.
int delete_work_files(const Paths &paths, Frontend &ui);

} // namespace brivane
