#include "run/run.h"

#include "db/database.h"
#include "session/session.h"
#include "shell/frontend.h"
#include "shell/settings.h"
#include "shell/textutil.h"

namespace brivane {

namespace {

// Leaves the command with the connection closed and Process usable again.
void finish(Session &session, Frontend &ui)
{
    if (session.news_state() != StateDisconnected)
        session.disconnect_from_server();
    ui.set_enabled(Button::btnProc, true);
    ui.set_enabled(Button::btnDisc, false);
    clear_display(ui);
}

} // namespace

Outcome catchup_Click(Session &session, Database &db, const Settings &settings, Frontend &ui)
{
    session.stop_requested = false;
    const QString &server = settings.news_server;
    if (is_blank(server)) {
        ui.message(QStringLiteral("No news server  selected!"));
        return Outcome::Message;
    }
    // Cut short, the name would find another server's rows (and host).
    if (const QString cut = settings.login_too_long(); !cut.isEmpty()) {
        ui.message(cut);
        return Outcome::Message;
    }
    // The groups first: with none there is nothing to connect for.
    const std::optional<QList<GroupRow>> groups = db.groups_of(server);
    if (!groups) {
        ui.message(db.last_error());
        return Outcome::Message;
    }
    if (groups->isEmpty()) {
        ui.message(QStringLiteral("No subscribed groups for this server!"));
        return Outcome::Message;
    }

    session.connect_to_server();
    if (session.news_state() != StateConnected) {
        if (!session.stop_requested)  // stopped by the user: nothing to tell
            ui.message(QStringLiteral("Not connected!"));
        finish(session, ui);
        // As for a run: a server that cannot be reached now may be later.
        return session.server_unset ? Outcome::Message : Outcome::Stopped;
    }
    ui.set_enabled(Button::btnProc, false);

    bool stored = false;  // a pointer was set: a later error is no longer "nothing happened"
    for (const GroupRow &row : *groups) {
        session.select_group(row.name);
        const qint16 state = session.wait(StateSelectGroup);
        if (state == StateDisconnected || state == StateDisconnecting) {
            finish(session, ui);
            return Outcome::Stopped;
        }
        if (!session.last_ok) {
            const QString why = session.select_failure(row.name);
            ui.add_status(why);
            if (!session.group_missing()) {
                // Refused (a login wanted, no permission): the command did not do its job.
                finish(session, ui);
                if (stored)
                    return Outcome::Stopped;
                ui.message(why);
                return Outcome::Message;
            }
            // A group the server no longer carries keeps its pointer.
            continue;
        }
        const qint64 high = session.last_article();
        if (!db.set_last_msg(server, row.name, high)) {
            const QString error = QStringLiteral("Cannot store the message pointer of %1: %2")
                                      .arg(row.name, db.last_error());
            ui.add_status(error);
            finish(session, ui);
            if (stored)
                return Outcome::Stopped;
            ui.message(error);
            return Outcome::Message;
        }
        stored = true;
        ui.add_status(QStringLiteral("Caught up: ") + row.name + QStringLiteral(" High Message = ")
                      + QString::number(high));
    }
    ui.add_status(QStringLiteral("Caught up all groups..."));
    finish(session, ui);
    return Outcome::Done;
}

} // namespace brivane
