// "Get Newsgroups" against the scripted server: the names stored, the status
// lines, and a stored list that survives a download that did not finish.
#include "db/database.h"
#include "session/grouplist.h"
#include "session/session.h"
#include "sessionrig.h"
#include "support/scriptserver.h"

#include <QSqlQuery>
#include <QTest>
#include <QTimer>

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
    void stop_after_the_list_arrived();
    void odd_lines();
    void refused_list_is_a_message();
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
    QCOMPARE(r.run(), Outcome::Stopped);
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

// Stop handled while the list is being stored (the window handles events at
// each status line): the list arrived whole and is stored whole.
void TestGroupList::stop_after_the_list_arrived()
{
    const QByteArray long_name = "alt." + QByteArray(130, 'z');
    ScriptServer s;
    s.on("LIST", [&](ScriptConnection &c, const QByteArray &) {
        c.write_block("215 list follows", {"alt.a 1 1 y", long_name + " 1 1 y", "alt.b 1 1 y", "alt.c 1 1 y"});
    });
    QVERIFY(s.start());
    for (const QString &at : {QStringLiteral("Updating database!"), QStringLiteral("Too Long: ")}) {
        GroupRig r(s.setting());
        QVERIFY(r.ok);
        QVERIFY(r.db.replace_newsgroups(s.setting(), {QStringLiteral("alt.kept")}));
        r.ui.on_status = [&](const QString &line) {
            if (line.startsWith(at))
                r.session.stop();
        };
        r.run();
        QCOMPARE(r.stored(s.setting()), (QStringList{QStringLiteral("alt.a"), QStringLiteral("alt.b"), QStringLiteral("alt.c")}));
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

// Lines as servers send them besides the usual "name high low flag": a tab
// instead of blanks, an empty line, a name of characters outside the Basic
// Multilingual Plane (two UTF-16 units each) that fits the column, and one
// that does not.
void TestGroupList::odd_lines()
{
    QByteArray smiles;
    for (int i = 0; i < 121; ++i)
        smiles += "\xF0\x9F\x98\x80";  // U+1F600, one character
    ScriptServer s;
    s.on("LIST", ScriptServer::block("215 list", {"alt.tabbed\t10\t1\ty", "", "alt." + smiles + " 1 1 y",
                                                  "alt.x" + smiles + " 1 1 y", "alt.plain 1 1 y"}));
    QVERIFY(s.start());
    GroupRig r(s.setting());
    QVERIFY(r.ok);
    QCOMPARE(r.run(), Outcome::Done);
    const QString fits = QStringLiteral("alt.") + QString::fromUtf8(smiles);
    QCOMPARE(fits.size(), 4 + 2 * 121);
    QCOMPARE(r.stored(s.setting()), (QStringList{QStringLiteral("alt.tabbed"), fits, QStringLiteral("alt.plain")}));
    QVERIFY(r.has_status(QStringLiteral("Too Long: alt.x") + QString::fromUtf8(smiles)));
    QVERIFY(r.has_status(QStringLiteral("Rejected 1 groups")));
}

// A server that refuses the list (no permission, a login wanted) while the
// connection stays up: the command did not do its job, as a refused group
// in catch-up, so it ends with a message (the CLI's exit 1), not as a lost
// connection; the stored list and the subscriptions stay.
void TestGroupList::refused_list_is_a_message()
{
    for (const QByteArray &reply : {QByteArray("502 Permission denied"), QByteArray("480 Authentication required")}) {
        ScriptServer s;
        s.on("LIST", ScriptServer::reply(reply));
        QVERIFY(s.start());
        GroupRig r(s.setting());
        QVERIFY(r.ok);
        QVERIFY(r.db.replace_newsgroups(s.setting(), {QStringLiteral("alt.kept")}));
        QVERIFY(r.db.exec(QStringLiteral("insert into groups (name, last_msg, server) values (?, ?, ?)"),
                          {QStringLiteral("alt.kept"), 7, s.setting()}));
        QCOMPARE(r.run(), Outcome::Message);
        QCOMPARE(r.stored(s.setting()), QStringList{QStringLiteral("alt.kept")});
        QCOMPARE(r.ui.messages.size(), 1);
        QVERIFY2(r.ui.messages.first().startsWith(QStringLiteral("Group list not received (")), qPrintable(reply));
        QVERIFY(r.ui.messages.first().contains(QString::fromLatin1(reply)));
        QVERIFY(r.ui.messages.first().endsWith(QStringLiteral("); the stored list is kept.")));
        QVERIFY(!r.has_status(QStringLiteral("Updating database!")));
        QCOMPARE(r.session.news_state(), qint16(StateDisconnected));
        QVERIFY(r.ui.enabled.value(int(Button::btnDisc)));
        const auto groups = r.db.groups_of(s.setting());
        QVERIFY(groups && groups->size() == 1 && groups->first().last_msg == 7);
    }
}

QTEST_GUILESS_MAIN(TestGroupList)
#include "test_grouplist.moc"
