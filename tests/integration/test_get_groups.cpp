// brivane-cli get-groups from start to exit code: the list of a real INN2
// replacing the stored one while the subscriptions stay, a server that wants
// a login first, and SIGINT in the middle of the list.
#include "test_run_support.h"

#include "support/inn2.h"
#include "support/scriptserver.h"

#include <QTest>

#include <csignal>

using namespace brivane;
using namespace brivane::test;

namespace {

// A home for get-groups against `server`: one subscription with its pointer,
// and a stored list of that server and of another one.
bool group_home(const TempHome &home, const QString &server, const QString &subscribed)
{
    write_settings(home, server, home.path());
    if (!fill_database(home, {{subscribed, server}}, {QStringLiteral("jpg")}, 5))
        return false;
    Database db;
    return db.open(home.file(QStringLiteral("brivane.mdb")))
           && db.replace_newsgroups(server, {QStringLiteral("alt.gone.away")})
           && db.replace_newsgroups(QStringLiteral("other.server"), {QStringLiteral("alt.theirs")});
}

qint64 listed(const TempHome &home, const QString &server, const QString &name)
{
    return query_number(home, QStringLiteral("select count(*) from newsgroups where server = ? and name = ?"),
                        {server, name});
}

QByteArray last_line(const QByteArray &out)
{
    const QList<QByteArray> lines = out.trimmed().split('\n');
    return lines.isEmpty() ? QByteArray() : lines.last();
}

} // namespace

class TestGetGroups : public QObject {
    Q_OBJECT
private slots:
    void inn2_list_replaces_stored_one();
    void login_wanted_is_a_message();
    void sigint_keeps_stored_list();
};

void TestGetGroups::inn2_list_replaces_stored_one()
{
    BRIVANE_REQUIRE_INN2(inn);
    const QString group = inn.new_group(QStringLiteral("alt.brivane.getgroups"));
    QVERIFY2(!group.isEmpty(), qPrintable(inn.error()));
    TempHome home;
    QVERIFY(group_home(home, inn.setting(), group));

    for (int round = 0; round < 2; ++round) {
        QByteArray out, err;
        QCOMPARE(run_cli(home.path(), {QStringLiteral("get-groups")}, &out, &err), 0);
        QVERIFY2(err.isEmpty(), err.constData());
        QVERIFY2(out.contains("\nGetting all news groups!\nUpdating database!\nRejected 0 groups\nReceived "),
                 out.constData());
        QCOMPARE(listed(home, inn.setting(), group), qint64(1));
        QCOMPARE(listed(home, inn.setting(), QStringLiteral("alt.gone.away")), qint64(0));
        QCOMPARE(listed(home, QStringLiteral("other.server"), QStringLiteral("alt.theirs")), qint64(1));
        // The subscription and its pointer are the user's, whatever the list holds.
        QCOMPARE(pointer(home, group, inn.setting()), qint64(5));
    }
}

// A login is wanted and none is set: the connection stands, the server just
// refuses. That is a message (exit 1), not a lost connection (exit 3).
void TestGetGroups::login_wanted_is_a_message()
{
    BRIVANE_REQUIRE_INN2(inn);
    TempHome home;
    QVERIFY(group_home(home, inn.auth_setting(), QStringLiteral("alt.mine")));
    QByteArray out, err;
    QCOMPARE(run_cli(home.path(), {QStringLiteral("get-groups")}, &out, &err), 1);
    QVERIFY2(err.startsWith("Group list not received (") && err.contains("480")
                 && err.trimmed().endsWith("); the stored list is kept."),
             err.constData());
    QVERIFY2(!out.contains("Updating database!"), out.constData());
    QCOMPARE(listed(home, inn.auth_setting(), QStringLiteral("alt.gone.away")), qint64(1));
    QCOMPARE(pointer(home, QStringLiteral("alt.mine"), inn.auth_setting()), qint64(5));
}

void TestGetGroups::sigint_keeps_stored_list()
{
    ScriptServer news;
    news.on("LIST", ScriptServer::stall("215 list follows\r\nalt.half 1 1 y\r\nalt.way"));
    QVERIFY(news.start());
    TempHome home;
    QVERIFY(group_home(home, news.setting(), QStringLiteral("alt.mine")));

    QProcess cli;
    QVERIFY(start_program(cli, home.path(), {QStringLiteral("get-groups")}));
    QTRY_VERIFY_WITH_TIMEOUT(news.commands.contains("LIST"), 30000);
    QTest::qWait(300);  // the part of the list is in
    QVERIFY(::kill(pid_t(cli.processId()), SIGINT) == 0);
    QTRY_VERIFY_WITH_TIMEOUT(cli.state() == QProcess::NotRunning, 30000);
    const QByteArray out = cli.readAllStandardOutput(), err = cli.readAllStandardError();
    QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
    QCOMPARE(cli.exitCode(), 3);
    QVERIFY2(err.isEmpty(), err.constData());
    QCOMPARE(last_line(out), QByteArray("Group list not received (stopped); the stored list is kept."));
    QCOMPARE(listed(home, news.setting(), QStringLiteral("alt.gone.away")), qint64(1));
    QCOMPARE(listed(home, news.setting(), QStringLiteral("alt.half")), qint64(0));
    QCOMPARE(pointer(home, QStringLiteral("alt.mine"), news.setting()), qint64(5));
}

QTEST_MAIN(TestGetGroups)
#include "test_get_groups.moc"
