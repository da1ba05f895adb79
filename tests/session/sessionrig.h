#pragma once
// What every session test needs: a program home, settings pointing at a
// server, a recording front end and a session with short limits.
#include "session/session.h"
#include "shell/settings.h"
#include "support/testsupport.h"

#include <QString>
#include <QStringList>

namespace brivane::test {

struct SessionRig {
    explicit SessionRig(const QString &server = QString(), const QString &user = QString(),
                        const QString &password = QString())
        : settings(home.file(QStringLiteral("Brivane.ini"))),
          session(settings, ui, Paths(home.path()))
    {
        settings.news_server = server;
        settings.userid = user;
        settings.password = password;
        session.timeouts.connect = 4000;
        session.timeouts.quit = 1000;
        session.timeouts.select = 3000;
        session.timeouts.xover = 3000;
        session.timeouts.article = 3000;
        session.timeouts.list = 5000;
    }

    bool connect()
    {
        session.connect_to_server();
        return session.news_state() == StateConnected;
    }
    // One operation run to its end: the news state it moved to.
    qint16 select(const QString &group)
    {
        session.select_group(group);
        return session.wait(StateSelectGroup);
    }
    qint16 xover(qint64 first, qint64 last)
    {
        session.xover(first, last);
        return session.wait(StateXOver);
    }
    qint16 article(qint64 number)
    {
        session.get_article(number);
        return session.wait(StateGetArticle);
    }
    // Empty when the session is back at rest after a connection ended:
    // disconnected, Process on, Disconnect off, no client kept; else what is not.
    QString at_rest() const
    {
        QStringList wrong;
        if (session.news_state() != StateDisconnected)
            wrong << QStringLiteral("news_state %1").arg(session.news_state());
        if (!ui.enabled.value(int(Button::btnProc)))
            wrong << QStringLiteral("Process off");
        if (ui.enabled.value(int(Button::btnDisc)))
            wrong << QStringLiteral("Disconnect on");
        if (session.client())
            wrong << QStringLiteral("client kept");
        return wrong.join(QStringLiteral(", "));
    }
    bool has_status(const QString &line) const { return ui.status.contains(line); }
    bool status_ends(const QString &tail) const
    {
        for (const QString &s : ui.status) {
            if (s.endsWith(tail))
                return true;
        }
        return false;
    }

    TempHome home;
    Settings settings;
    RecordingFrontend ui;
    Session session;
};

} // namespace brivane::test
