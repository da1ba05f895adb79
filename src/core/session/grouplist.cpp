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
        ui.message(QStringLiteral("Not connected!"));
        ui.set_enabled(Button::btnDisc, true);
        return Outcome::Message;
    }

    ui.set_enabled(Button::btnProc, false);
    session.list_groups();
    ui.set_busy(true);
    ui.add_status(QStringLiteral("Getting all news groups!"));
    const qint16 end = session.wait(StateGetGroups);

    if (end != StateConnected || !session.last_ok) {
        // A list that did not arrive whole must not replace the stored one.
        QString why = session.last_reply;
        if (why.isEmpty())
            why = end == StateDisconnecting ? QStringLiteral("stopped") : QStringLiteral("connection lost");
        ui.add_status(QStringLiteral("Group list not received (") + why
                      + QStringLiteral("); the stored list is kept."));
        finish(session, ui);
        return Outcome::Stopped;
    }

    ui.add_status(QStringLiteral("Updating database!"));
    const qint64 count = session.group_count();
    qint64 rejected = 0;
    QStringList names;
    names.reserve(count);
    QSet<QString> seen;
    for (qint64 i = 0; i < count; ++i) {
        const QString line = session.group_line(i);
        const qsizetype blank = line.indexOf(QLatin1Char(' '));
        const QString name = blank < 0 ? line : line.left(blank);
        if (name.size() > width::newsgroups_name) {
            ui.add_status(QStringLiteral("Too Long: ") + name);
            ++rejected;
            continue;
        }
        // An empty line is no group; a name the server lists twice is stored once.
        if (name.isEmpty() || seen.contains(name))
            continue;
        seen.insert(name);
        names << name;
    }

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
