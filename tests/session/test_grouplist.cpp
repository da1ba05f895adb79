// "Get Newsgroups" against the scripted server: the names stored, the status
// lines, and a stored list that survives a download that did not finish.
#include "db/database.h"
#include "session/grouplist.h"
#include "session/session.h"
#include "sessionrig.h"
#include "support/scriptserver.h"

#include <QSqlQuery>
#include <QTest>

using namespace brivane;
using namespace brivane::test;

namespace {

struct GroupRig : SessionRig {
    explicit GroupRig(const QString &server) : SessionRig(server)
    {
        const QString path = home.file(QStringLiteral("brivane.mdb"));
        QString error;
        ok = Database::create_database(path, &error) && db.open(path, &error);
        if (!ok)
            qWarning() << error;
    }
    Outcome run() { return get_all_newsgroups(session, db, settings, ui); }
    QStringList stored(const QString &server)
    {
        QSqlQuery q(db.sql());
        q.prepare(QStringLiteral("select name from newsgroups where server = ? order by rowid"));
        q.addBindValue(server);
        QStringList names;
        if (q.exec()) {
            while (q.next())
                names << q.value(0).toString();
        }
        return names;
    }
    Database db;
    bool ok = false;
};

} // namespace

class TestGroupList : public QObject {
    Q_OBJECT
private slots:
    void no_server_selected();
    void not_connected();
    void names_stored_and_counted();
    void incomplete_download_keeps_list();
    void hundred_thousand_groups();
};

void TestGroupList::no_server_selected()
{
    GroupRig r(QStringLiteral("  "));
    QVERIFY(r.ok);
    QCOMPARE(r.run(), Outcome::Message);
    QCOMPARE(r.ui.messages, QStringList{QStringLiteral("No news server  selected!")});
    QVERIFY(r.ui.status.isEmpty());
}

void TestGroupList::not_connected()
{
    GroupRig r(QStringLiteral("127.0.0.1:1"));
    QVERIFY(r.ok);
    QVERIFY(r.db.replace_newsgroups(QStringLiteral("127.0.0.1:1"), {QStringLiteral("alt.kept")}));
    QCOMPARE(r.run(), Outcome::Message);
    QCOMPARE(r.ui.messages.last(), QStringLiteral("Not connected!"));
    QVERIFY(r.ui.enabled.value(int(Button::btnDisc)));
    QCOMPARE(r.stored(QStringLiteral("127.0.0.1:1")), QStringList{QStringLiteral("alt.kept")});
}

// Three downloads in a row: a list with an over-long name and a repeat, one
// that replaces it (a name in both is kept once), and an empty one.
void TestGroupList::names_stored_and_counted()
{
    const QByteArray name125 = "alt." + QByteArray(121, 'n');
    const QByteArray name126 = "alt." + QByteArray(122, 'm');
    const QList<QList<QByteArray>> lists = {
        {"alt.one 10 1 y", "comp.two", name125 + " 5 1 y", name126 + " 5 1 y", "alt.one 10 1 y"},
        {"comp.two 1 1 y", "alt.c 1 1 y"},
        {},
    };
    int round = 0;
    ScriptServer s;
    s.on("LIST", [&](ScriptConnection &c, const QByteArray &) { c.write_block("215 list follows", lists.value(round)); });
    QVERIFY(s.start());
    GroupRig r(s.setting());
    QVERIFY(r.ok);
    QVERIFY(r.db.replace_newsgroups(QStringLiteral("other.server"), {QStringLiteral("alt.theirs")}));

    QCOMPARE(r.run(), Outcome::Done);
    QCOMPARE(r.stored(s.setting()),
             (QStringList{QStringLiteral("alt.one"), QStringLiteral("comp.two"), QString::fromLatin1(name125)}));
    QCOMPARE(r.stored(QStringLiteral("other.server")), QStringList{QStringLiteral("alt.theirs")});
    const QStringList tail = r.ui.status.mid(r.ui.status.indexOf(QStringLiteral("Getting all news groups!")));
    QCOMPARE(tail.mid(0, 5), (QStringList{QStringLiteral("Getting all news groups!"), QStringLiteral("Updating database!"),
                                          QStringLiteral("Too Long: ") + QString::fromLatin1(name126),
                                          QStringLiteral("Rejected 1 groups"), QStringLiteral("Received 4 groups")}));
    QVERIFY(tail.value(5).endsWith(QStringLiteral(" Disconnected")));
    QCOMPARE(r.session.news_state(), qint16(StateDisconnected));
    QVERIFY(r.ui.enabled.value(int(Button::btnDisc)));
    QVERIFY(r.ui.enabled.value(int(Button::btnProc)));
    QVERIFY(r.ui.messages.isEmpty());

    ++round;
    QCOMPARE(r.run(), Outcome::Done);
    QCOMPARE(r.stored(s.setting()), (QStringList{QStringLiteral("comp.two"), QStringLiteral("alt.c")}));

    ++round;
    r.ui.status.clear();
    QCOMPARE(r.run(), Outcome::Done);
    QVERIFY(r.has_status(QStringLiteral("Rejected 0 groups")));
    QVERIFY(r.has_status(QStringLiteral("Received  groups")));
}

void TestGroupList::incomplete_download_keeps_list()
{
    struct Fault {
        const char *name;
        ScriptServer::Handler handler;
    };
    const QList<Fault> faults = {
        {"reset", ScriptServer::reset("215 list\r\nalt.x 1 1 y\r\nalt.y 1")},
        {"refused", ScriptServer::reply("502 Permission denied")},
        {"stall", ScriptServer::stall("215 list\r\nalt.x 1 1 y\r\n")},
    };
    for (const Fault &f : faults) {
        ScriptServer s;
        s.on("LIST", f.handler);
        QVERIFY(s.start());
        GroupRig r(s.setting());
        r.session.timeouts.list = 300;
        QVERIFY(r.ok);
        QVERIFY(r.db.replace_newsgroups(s.setting(), {QStringLiteral("alt.kept")}));
        QCOMPARE(r.run(), Outcome::Stopped);
        QCOMPARE(r.stored(s.setting()), QStringList{QStringLiteral("alt.kept")});
        QVERIFY2(r.status_ends(QStringLiteral("the stored list is kept.")), f.name);
        QVERIFY(!r.has_status(QStringLiteral("Updating database!")));
        QCOMPARE(r.session.news_state(), qint16(StateDisconnected));
        QVERIFY(r.ui.enabled.value(int(Button::btnDisc)));
    }
}

void TestGroupList::hundred_thousand_groups()
{
    QByteArray wire = "215 list follows\r\n";
    for (int i = 0; i < 100000; ++i)
        wire += "alt.binaries.test.group" + QByteArray::number(i) + " 123456 1 y\r\n";
    wire += ".\r\n";
    ScriptServer s;
    s.on("LIST", ScriptServer::raw(wire));
    QVERIFY(s.start());
    GroupRig r(s.setting());
    QVERIFY(r.ok);
    QCOMPARE(r.run(), Outcome::Done);
    QCOMPARE(r.db.count_newsgroups(s.setting()), 100000);
    QVERIFY(r.has_status(QStringLiteral("Received 100000 groups")));
}

QTEST_GUILESS_MAIN(TestGroupList)
#include "test_grouplist.moc"
