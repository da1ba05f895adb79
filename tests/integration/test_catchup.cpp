// Catch-up: every subscribed group's pointer set to the group's high mark,
// against INN2 and, for the faults, a scripted server.
#include "test_run_support.h"

#include "support/inn2.h"
#include "support/scriptserver.h"

#include <QTest>

using namespace brivane;
using namespace brivane::test;

class TestCatchup : public QObject {
    Q_OBJECT
private slots:
    void two_groups_other_server_untouched();
    void pointer_set_lower();
    void then_run_sees_only_new();
    void no_groups_ends_in_order();
    void no_server();
    void not_connected();
    void connection_lost_while_selecting();
    void group_not_on_server();
    void group_refused();
    void store_failure_before_and_after_a_stored_pointer();
};

void TestCatchup::two_groups_other_server_untouched()
{
    BRIVANE_REQUIRE_INN2(inn);
    const QString g1 = inn.new_group(), g2 = inn.new_group();
    QVERIFY(!g1.isEmpty() && !g2.isEmpty());
    for (int i = 0; i < 3; ++i)
        QVERIFY(!inn.post({g1}, QStringLiteral("one %1").arg(i), QStringLiteral("p@example.invalid"), "x\n").isEmpty());
    for (int i = 0; i < 5; ++i)
        QVERIFY(!inn.post({g2}, QStringLiteral("two %1").arg(i), QStringLiteral("p@example.invalid"), "y\n").isEmpty());

    RunRig rig;
    write_settings(rig.home, inn.setting(), rig.dl, true, false);
    QVERIFY(fill_database(rig.home, {{g1, inn.setting()}, {g2, inn.setting()}, {g1, QStringLiteral("other.server")}},
                          {QStringLiteral("jpg")}));
    {
        Database db;
        QVERIFY(db.open(rig.home.file(QStringLiteral("brivane.mdb"))));
        QVERIFY(db.set_last_msg(QStringLiteral("other.server"), g1, 77));
    }
    QVERIFY2(rig.start(), qPrintable(rig.why));
    QCOMPARE(rig.catchup(), Outcome::Done);
    const QStringList &s = rig.ui.status;
    const qsizetype a = s.indexOf(QStringLiteral("Caught up: %1 High Message = 3").arg(g1));
    const qsizetype b = s.indexOf(QStringLiteral("Caught up: %1 High Message = 5").arg(g2));
    const qsizetype all = s.indexOf(QStringLiteral("Caught up all groups..."));
    QVERIFY2(a >= 0 && b > a && all > b, qPrintable(rig.dump()));
    QCOMPARE(rig.pointer(g1, inn.setting()), qint64(3));
    QCOMPARE(rig.pointer(g2, inn.setting()), qint64(5));
    QCOMPARE(rig.pointer(g1, QStringLiteral("other.server")), qint64(77));
    // Nothing was fetched.
    QCOMPARE(rig.pictures(), QStringList());
    QCOMPARE(rig.session().news_state(), qint16(StateDisconnected));
    QCOMPARE(rig.ui.enabled.value(int(Button::btnProc)), true);
    QVERIFY(rig.ui.messages.isEmpty());
}

void TestCatchup::pointer_set_lower()
{
    BRIVANE_REQUIRE_INN2(inn);
    const QString g = inn.new_group();
    QVERIFY(!g.isEmpty());
    QVERIFY(!inn.post({g}, QStringLiteral("only"), QStringLiteral("p@example.invalid"), "x\n").isEmpty());
    RunRig rig;
    QVERIFY2(rig.setup(inn.setting(), {g}, true, false, 5000), qPrintable(rig.why));
    QCOMPARE(rig.catchup(), Outcome::Done);
    QVERIFY(rig.ui.has(QStringLiteral("Caught up: %1 High Message = 1").arg(g)));
    QCOMPARE(rig.pointer(g, inn.setting()), qint64(1));
}

void TestCatchup::then_run_sees_only_new()
{
    BRIVANE_REQUIRE_INN2(inn);
    const QString g = inn.new_group();
    QVERIFY(!g.isEmpty());
    NewsArticle old;
    old.groups = {g};
    old.subject = QStringLiteral("old.jpg (1/1)");
    old.body = uuencode_block(make_jpeg(301), QStringLiteral("old.jpg"));
    QCOMPARE(inn.post_all({old}).size(), 1);
    RunRig rig;
    QVERIFY2(rig.setup(inn.setting(), {g}), qPrintable(rig.why));
    QCOMPARE(rig.catchup(), Outcome::Done);
    NewsArticle fresh = old;
    fresh.subject = QStringLiteral("new.jpg (1/1)");
    fresh.body = uuencode_block(make_jpeg(302), QStringLiteral("new.jpg"));
    QCOMPARE(inn.post_all({fresh}).size(), 1);
    QCOMPARE(rig.run(), Outcome::Done);
    QCOMPARE(rig.pictures(), QStringList{QStringLiteral("new.jpg")});
    QCOMPARE(rig.pointer(g, inn.setting()), qint64(2));
}

void TestCatchup::no_groups_ends_in_order()
{
    ScriptServer server;
    QVERIFY(server.start());
    RunRig rig;
    write_settings(rig.home, server.setting(), rig.dl, true, false);
    QVERIFY(fill_database(rig.home, {{QStringLiteral("alt.x"), QStringLiteral("other.server")}}, {}));
    QVERIFY2(rig.start(), qPrintable(rig.why));
    QCOMPARE(rig.catchup(), Outcome::Message);
    QCOMPARE(rig.ui.messages, QStringList{QStringLiteral("No subscribed groups for this server!")});
    QCOMPARE(server.connections, 0);
    QCOMPARE(rig.pointer(QStringLiteral("alt.x"), QStringLiteral("other.server")), qint64(0));
}

void TestCatchup::no_server()
{
    RunRig rig;
    QVERIFY2(rig.setup(QStringLiteral("   "), {}), qPrintable(rig.why));
    QCOMPARE(rig.catchup(), Outcome::Message);
    QCOMPARE(rig.ui.messages, QStringList{QStringLiteral("No news server  selected!")});
}

void TestCatchup::not_connected()
{
    ScriptServer server;
    QVERIFY(server.start());
    server.set_greeting(QByteArray());  // never greets
    RunRig rig;
    QVERIFY2(rig.setup(server.setting(), {QStringLiteral("alt.x")}, true, false, 9), qPrintable(rig.why));
    rig.session().timeouts.connect = 500;
    QCOMPARE(rig.catchup(), Outcome::Message);
    QVERIFY(rig.ui.has(QStringLiteral("Connect timed out!")));
    QCOMPARE(rig.ui.messages.last(), QStringLiteral("Not connected!"));
    QCOMPARE(rig.pointer(QStringLiteral("alt.x"), server.setting()), qint64(9));
    QCOMPARE(rig.ui.enabled.value(int(Button::btnProc)), true);
}

void TestCatchup::connection_lost_while_selecting()
{
    ScriptServer server;
    QVERIFY(server.start());
    server.on("GROUP", [](ScriptConnection &c, const QByteArray &args) {
        if (args == "alt.first")
            c.write_line("211 10 1 10 alt.first");
        else
            c.reset();
    });
    RunRig rig;
    QVERIFY2(rig.setup(server.setting(),
                       {QStringLiteral("alt.first"), QStringLiteral("alt.second"), QStringLiteral("alt.third")},
                       true, false, 2),
             qPrintable(rig.why));
    QCOMPARE(rig.catchup(), Outcome::Stopped);
    QVERIFY(rig.ui.has(QStringLiteral("Caught up: alt.first High Message = 10")));
    QVERIFY(!rig.ui.has(QStringLiteral("Caught up all groups...")));
    QCOMPARE(rig.pointer(QStringLiteral("alt.first"), server.setting()), qint64(10));
    QCOMPARE(rig.pointer(QStringLiteral("alt.second"), server.setting()), qint64(2));
    QCOMPARE(rig.pointer(QStringLiteral("alt.third"), server.setting()), qint64(2));
    QCOMPARE(rig.session().news_state(), qint16(StateDisconnected));
    QCOMPARE(rig.ui.enabled.value(int(Button::btnProc)), true);
    QCOMPARE(rig.ui.enabled.value(int(Button::btnDisc)), false);
}

void TestCatchup::group_not_on_server()
{
    ScriptServer server;
    QVERIFY(server.start());
    server.on("GROUP", [](ScriptConnection &c, const QByteArray &args) {
        if (args == "alt.here")
            c.write_line("211 4 3 6 alt.here");
        else
            c.write_line("411 No such group " + args);
    });
    RunRig rig;
    QVERIFY2(rig.setup(server.setting(), {QStringLiteral("alt.gone"), QStringLiteral("alt.here")}, true, false, 40),
             qPrintable(rig.why));
    QCOMPARE(rig.catchup(), Outcome::Done);
    QVERIFY2(rig.ui.count_starting(QStringLiteral("Cannot select group: alt.gone (411")) == 1, qPrintable(rig.dump()));
    // A group the server does not carry keeps its pointer (never set to 0).
    QCOMPARE(rig.pointer(QStringLiteral("alt.gone"), server.setting()), qint64(40));
    QCOMPARE(rig.pointer(QStringLiteral("alt.here"), server.setting()), qint64(6));
    QVERIFY(rig.ui.has(QStringLiteral("Caught up all groups...")));
}

// A group refused for want of a login is not one the server lacks: catch-up
// ends there instead of reporting all groups caught up.
void TestCatchup::group_refused()
{
    ScriptServer server;
    QVERIFY(server.start());
    QByteArray open = "none";
    server.on("GROUP", [&](ScriptConnection &c, const QByteArray &args) {
        if (args == open)
            c.write_line("211 10 1 10 " + args);
        else
            c.write_line("480 Authentication required");
    });
    for (const bool first_refused : {true, false}) {
        open = first_refused ? "none" : "alt.a";
        RunRig rig;
        QVERIFY2(rig.setup(server.setting(), {QStringLiteral("alt.a"), QStringLiteral("alt.b")}, true,
                           false, 2),
                 qPrintable(rig.why));
        QCOMPARE(rig.catchup(), first_refused ? Outcome::Message : Outcome::Stopped);
        QVERIFY(!rig.ui.has(QStringLiteral("Caught up all groups...")));
        const QString refused = first_refused ? QStringLiteral("alt.a") : QStringLiteral("alt.b");
        QCOMPARE(rig.ui.count_starting(QStringLiteral("Cannot select group: ") + refused + QStringLiteral(" (")), 1);
        QCOMPARE(rig.ui.messages.size(), first_refused ? 1 : 0);
        QCOMPARE(rig.pointer(QStringLiteral("alt.a"), server.setting()), first_refused ? qint64(2) : qint64(10));
        QCOMPARE(rig.pointer(QStringLiteral("alt.b"), server.setting()), qint64(2));
        QCOMPARE(rig.session().news_state(), qint16(StateDisconnected));
        QCOMPARE(rig.ui.enabled.value(int(Button::btnProc)), true);
    }
}

void TestCatchup::store_failure_before_and_after_a_stored_pointer()
{
    // The database refuses the pointer of one group (as a full disk would).
    ScriptServer server;
    QVERIFY(server.start());
    server.on("GROUP", [](ScriptConnection &c, const QByteArray &args) {
        c.write_line("211 10 1 10 " + args);
    });
    for (const bool first_fails : {true, false}) {
        RunRig rig;
        QVERIFY2(rig.setup(server.setting(), {QStringLiteral("alt.a"), QStringLiteral("alt.b")}, true,
                           false, 2),
                 qPrintable(rig.why));
        const QString refused = first_fails ? QStringLiteral("alt.a") : QStringLiteral("alt.b");
        QSqlQuery q(rig.app->db().sql());
        QVERIFY(q.exec(QStringLiteral("create trigger refuse before update on groups when new.name = '%1' "
                                      "begin select raise(abort, 'disk full'); end")
                           .arg(refused)));
        // Nothing stored yet: a message, as for any other reason nothing happened.
        // After a stored pointer: the status line says it, and the command ended early.
        QCOMPARE(rig.catchup(), first_fails ? Outcome::Message : Outcome::Stopped);
        QCOMPARE(rig.ui.count_starting(QStringLiteral("Cannot store the message pointer of ") + refused), 1);
        QCOMPARE(rig.ui.messages.size(), first_fails ? 1 : 0);
        QCOMPARE(rig.pointer(QStringLiteral("alt.a"), server.setting()), first_fails ? qint64(2) : qint64(10));
        QCOMPARE(rig.pointer(QStringLiteral("alt.b"), server.setting()), qint64(2));
        QCOMPARE(rig.ui.enabled.value(int(Button::btnProc)), true);
    }
}

QTEST_MAIN(TestCatchup)
#include "test_catchup.moc"
