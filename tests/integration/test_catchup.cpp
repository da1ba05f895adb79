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
    void then_run_sees_only_new();
    void no_server_or_no_groups();
    void not_connected();
    void connection_lost_while_selecting();
    void group_not_on_server();
    void group_refused_or_store_failure_data();
    void group_refused_or_store_failure();
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
    write_settings(rig.home, inn.setting(), rig.dl);
    QVERIFY(fill_database(rig.home, {{g1, inn.setting()}, {g2, inn.setting()}, {g1, QStringLiteral("other.server")}},
                          {QStringLiteral("jpg")}));
    {
        Database db;
        QVERIFY(db.open(rig.home.file(QStringLiteral("brivane.mdb"))));
        QVERIFY(db.set_last_msg(QStringLiteral("other.server"), g1, 77));
        // A pointer above the high mark is set lower.
        QVERIFY(db.set_last_msg(inn.setting(), g2, 5000));
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

void TestCatchup::then_run_sees_only_new()
{
    BRIVANE_REQUIRE_INN2(inn);
    const QString g = inn.new_group();
    QVERIFY(!g.isEmpty());
    QCOMPARE(inn.post_all(picture_articles(g, {make_jpeg(301)}, QStringLiteral("old"))).size(), 1);
    RunRig rig;
    QVERIFY2(rig.setup(inn.setting(), {g}), qPrintable(rig.why));
    QCOMPARE(rig.catchup(), Outcome::Done);
    QCOMPARE(inn.post_all(picture_articles(g, {make_jpeg(302)}, QStringLiteral("new"))).size(), 1);
    QCOMPARE(rig.run(), Outcome::Done);
    QCOMPARE(rig.pictures(), QStringList{QStringLiteral("new1.jpg")});
    QCOMPARE(rig.pointer(g, inn.setting()), qint64(2));
}

// Nothing to do is a message, and no connection is made for it.
void TestCatchup::no_server_or_no_groups()
{
    ScriptServer server;
    QVERIFY(server.start());
    RunRig rig;
    write_settings(rig.home, server.setting(), rig.dl);
    QVERIFY(fill_database(rig.home, {{QStringLiteral("alt.x"), QStringLiteral("other.server")}}, {}));
    QVERIFY2(rig.start(), qPrintable(rig.why));
    QCOMPARE(rig.catchup(), Outcome::Message);
    QCOMPARE(rig.ui.messages, QStringList{QStringLiteral("No subscribed groups for this server!")});
    rig.app->settings().news_server = QStringLiteral("   ");
    QCOMPARE(rig.catchup(), Outcome::Message);
    QCOMPARE(rig.ui.messages, QStringList{QStringLiteral("No news server  selected!")});
    QCOMPARE(server.connections, 0);
    QCOMPARE(rig.pointer(QStringLiteral("alt.x"), QStringLiteral("other.server")), qint64(0));
}

void TestCatchup::not_connected()
{
    ScriptServer server;
    QVERIFY(server.start());
    server.set_greeting(QByteArray());  // never greets
    RunRig rig;
    QVERIFY2(rig.setup(server.setting(), {QStringLiteral("alt.x")}, true, false, 9), qPrintable(rig.why));
    rig.session().timeouts.connect = 500;
    QCOMPARE(rig.catchup(), Outcome::Stopped);
    QVERIFY(rig.ui.has(QStringLiteral("Connect timed out!")));
    QCOMPARE(rig.ui.messages.last(), QStringLiteral("Not connected!"));
    QCOMPARE(rig.pointer(QStringLiteral("alt.x"), server.setting()), qint64(9));
    QCOMPARE(rig.ui.enabled.value(int(Button::btnProc)), true);

    // Stopped while connecting: the user knows why, no message.
    rig.ui.messages.clear();
    rig.ui.on_status = [&](const QString &line) {
        if (line == QStringLiteral("Connecting to server..."))
            rig.commands->stop();
    };
    QCOMPARE(rig.catchup(), Outcome::Stopped);
    QVERIFY2(rig.ui.messages.isEmpty(), qPrintable(rig.ui.messages.join(QLatin1Char('|'))));
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

void TestCatchup::group_refused_or_store_failure_data()
{
    // The database refuses a group's pointer (as a full disk would), or
    // else the server refuses the group; the first group's, or the second's.
    QTest::addColumn<bool>("store");
    QTest::addColumn<bool>("first");
    QTest::addColumn<QString>("said");
    const QString select = QStringLiteral("Cannot select group: ");
    const QString store = QStringLiteral("Cannot store the message pointer of ");
    QTest::newRow("first group refused") << false << true << select + QStringLiteral("alt.a (");
    QTest::newRow("second group refused") << false << false << select + QStringLiteral("alt.b (");
    QTest::newRow("first pointer not stored") << true << true << store + QStringLiteral("alt.a");
    QTest::newRow("second pointer not stored") << true << false << store + QStringLiteral("alt.b");
}

// A group refused for want of a login is not one the server lacks, and a
// pointer not stored is not caught up: catch-up ends there instead of
// reporting all groups caught up. Before anything was stored that is a
// message, as for any other reason nothing happened; after, the status line
// says it and the command ended early.
void TestCatchup::group_refused_or_store_failure()
{
    QFETCH(bool, store);
    QFETCH(bool, first);
    QFETCH(QString, said);
    const QString refused = first ? QStringLiteral("alt.a") : QStringLiteral("alt.b");
    ScriptServer server;
    QVERIFY(server.start());
    server.on("GROUP", [&](ScriptConnection &c, const QByteArray &args) {
        if (store || QString::fromUtf8(args) != refused)
            c.write_line("211 10 1 10 " + args);
        else
            c.write_line("480 Authentication required");
    });
    RunRig rig;
    QVERIFY2(rig.setup(server.setting(), {QStringLiteral("alt.a"), QStringLiteral("alt.b")}, true, false, 2),
             qPrintable(rig.why));
    if (store) {
        QVERIFY(rig.app->db().exec(QStringLiteral("create trigger refuse before update on groups when new.name = '%1' "
                                                  "begin select raise(abort, 'disk full'); end")
                                       .arg(refused)));
    }
    QCOMPARE(rig.catchup(), first ? Outcome::Message : Outcome::Stopped);
    QVERIFY(!rig.ui.has(QStringLiteral("Caught up all groups...")));
    QCOMPARE(rig.ui.count_starting(said), 1);
    QCOMPARE(rig.ui.messages.size(), first ? 1 : 0);
    QCOMPARE(rig.pointer(QStringLiteral("alt.a"), server.setting()), first ? qint64(2) : qint64(10));
    QCOMPARE(rig.pointer(QStringLiteral("alt.b"), server.setting()), qint64(2));
    QCOMPARE(rig.session().news_state(), qint16(StateDisconnected));
    QCOMPARE(rig.ui.enabled.value(int(Button::btnProc)), true);
}

QTEST_MAIN(TestCatchup)
#include "test_catchup.moc"
