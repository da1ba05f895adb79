#include "session/grouplist.h"

#include "db/database.h"
#include "session/session.h"
#include "shell/frontend.h"
#include "shell/settings.h"
#include "shell/textutil.h"

#include <QSet>

namespace brivane {

namespace {

// The end of the command, however it went.
void finish(Session &session, Frontend &ui)
{
    ui.set_busy(false);
    session.disconnect_from_server();
    clear_display(ui);
    ui.set_enabled(Button::btnDisc, true);
}

// The group name: the line up to its first blank or tab (no name holds
// either; a server that separates the fields with tabs must not put its
// numbers into the name).
QString group_name(const QString &line)
{
    for (qsizetype i = 0; i < line.size(); ++i) {
        if (line[i] == QLatin1Char(' ') || line[i] == QLatin1Char('\t'))
            return line.left(i);
    }
    return line;
}

} // namespace

Outcome get_all_newsgroups(Session &session, Database &db, const Settings &settings, Frontend &ui)
{
    session.stop_requested = false;
    const QString server = settings.news_server;
    if (is_blank(server)) {
        ui.message(QStringLiteral("No news server  selected!"));
        return Outcome::Message;
    }

    session.connect_to_server();
    ui.set_enabled(Button::btnDisc, false);
    if (session.news_state() != StateConnected) {
        if (!session.stop_requested)  // stopped by the user: nothing to tell
            ui.message(QStringLiteral("Not connected!"));
        ui.set_enabled(Button::btnDisc, true);
        // As for a run: a server that cannot be reached now may be later.
        return session.server_unset ? Outcome::Message : Outcome::Stopped;
    }

    ui.set_enabled(Button::btnProc, false);
    session.list_groups();
    ui.set_busy(true);
    ui.add_status(QStringLiteral("Getting all news groups!"));
    const qint16 end = session.wait(StateGetGroups);

    if (end != StateConnected || !session.last_ok) {
        // A list that did not arrive whole must not replace the stored one.
        // Stop has closed the connection by the time the wait returns.
        QString why = session.last_reply;
        if (session.stop_requested || end == StateDisconnecting)
            why = QStringLiteral("stopped");
        else if (why.isEmpty())
            why = QStringLiteral("connection lost");
        const QString text = QStringLiteral("Group list not received (") + why
                             + QStringLiteral("); the stored list is kept.");
        ui.add_status(text);
        // Refused over a connection that still stands (no permission, a login
        // wanted): the command cannot do its job, which is a message, as for a
        // refused group in catch-up, not a lost connection.
        const bool refused = end == StateConnected && !session.stop_requested;
        finish(session, ui);
        if (refused) {
            ui.message(text);
            return Outcome::Message;
        }
        return Outcome::Stopped;
    }

    // The names are taken out of the reply before any status line: a line
    // lets the window handle a Stop, which frees the reply.
    const qint64 count = session.group_count();
    QStringList too_long;
    QStringList names;
    names.reserve(count);
    QSet<QString> seen;
    for (qint64 i = 0; i < count; ++i) {
        const QString name = group_name(session.group_line(i));
        if (name.size() > width::newsgroups_name && character_count(name) > width::newsgroups_name) {
            too_long << name;
            continue;
        }
        // An empty line is no group; a name the server lists twice is stored once.
        if (name.isEmpty() || seen.contains(name))
            continue;
        seen.insert(name);
        names << name;
    }
    const qint64 rejected = too_long.size();
    ui.add_status(QStringLiteral("Updating database!"));
    for (const QString &name : std::as_const(too_long))
        ui.add_status(QStringLiteral("Too Long: ") + name);

    if (!db.replace_newsgroups(server, names)) {
        const QString error = QStringLiteral("Cannot store the group list: ") + db.last_error();
        ui.add_status(error);
        finish(session, ui);
        ui.message(error);
        return Outcome::Message;
    }

    ui.add_status(QStringLiteral("Rejected ") + QString::number(rejected) + QStringLiteral(" groups"));
    const qint64 received = count - rejected;
    ui.add_status(QStringLiteral("Received ") + (received == 0 ? QString() : QString::number(received))
                  + QStringLiteral(" groups"));
    finish(session, ui);
    return Outcome::Done;
}

} // namespace brivane
