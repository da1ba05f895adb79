// The download run against a scripted news server, for what a real server
// does not do on demand: an article gone between overview and fetch, a reset
// in the middle of an article, a stall, headers out of range, a group the
// server does not carry, undecodable data, a failing pointer write, the
// promotion of a group, the Stop button, and control characters in headers.
#include "test_run_support.h"

#include "support/scriptserver.h"

#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QTest>
#include <QTimer>

using namespace brivane;
using namespace brivane::test;

namespace {

const QString indent = QStringLiteral("    ");

struct FakeArticle {
    QString subject;
    QByteArray body;  // CRLF lines
    QString from = QStringLiteral("Poster <poster@example.invalid>");
    bool listed = true;     // in the overview
    bool present = true;    // ARTICLE finds it
};

struct FakeGroup {
    qint64 low = 1;
    qint64 high = 0;
    QMap<qint64, FakeArticle> articles;
};

// A news server with groups and articles held in memory; faults are hooks.
class FakeNews {
public:
    FakeNews()
    {
        server.on("GROUP", [this](ScriptConnection &c, const QByteArray &args) {
            if (group_hook && group_hook(c, args))
                return;
            const QString name = QString::fromUtf8(args);
            if (!groups.contains(name)) {
                c.write_line("411 No such group " + args);
                return;
            }
            const FakeGroup &g = groups[name];
            c.state[QStringLiteral("group")] = name;
            c.write_line("211 " + QByteArray::number(g.articles.size()) + ' ' + QByteArray::number(g.low)
                         + ' ' + QByteArray::number(g.high) + ' ' + args);
        });
        server.on("XOVER", [this](ScriptConnection &c, const QByteArray &args) {
            if (xover_hook && xover_hook(c, args))
                return;
            const QString name = c.state.value(QStringLiteral("group")).toString();
            const QList<QByteArray> range = args.split('-');
            const qint64 first = range.value(0).toLongLong();
            const qint64 last = range.size() > 1 && !range.at(1).isEmpty() ? range.at(1).toLongLong()
                                                                            : groups[name].high;
            c.write_block("224 Overview information follows", overview(name, first, last));
        });
        server.on("ARTICLE", [this](ScriptConnection &c, const QByteArray &args) {
            const qint64 n = args.toLongLong();
            // A server answers in order: after a reply it never finished,
            // the commands sent behind it get none either.
            if (c.state.value(QStringLiteral("stalled")).toBool())
                return;
            if (article_hook && article_hook(c, n)) {
                c.state[QStringLiteral("stalled")] = true;
                return;
            }
            const QString name = c.state.value(QStringLiteral("group")).toString();
            const FakeGroup &g = groups[name];
            if (!g.articles.contains(n) || !g.articles[n].present) {
                c.write_line("423 No such article number " + args);
                return;
            }
            c.write_block("220 " + args + " <" + args + "@fake> article", article_lines(name, n));
        });
    }

    bool start() { return server.start(); }
    QString setting() const { return server.setting(); }

    qint64 add(const QString &group, const FakeArticle &a)
    {
        FakeGroup &g = groups[group];
        const qint64 n = ++g.high;
        g.articles.insert(n, a);
        return n;
    }

    QList<QByteArray> overview(const QString &name, qint64 first, qint64 last) const
    {
        QList<QByteArray> lines;
        const FakeGroup g = groups.value(name);
        for (auto it = g.articles.cbegin(); it != g.articles.cend(); ++it) {
            if (it.key() < first || it.key() > last || !it->listed)
                continue;
            lines << overview_line(name, it.key(), *it);
        }
        return lines;
    }

    static QByteArray overview_line(const QString &group, qint64 n, const FakeArticle &a)
    {
        const QByteArray num = QByteArray::number(n);
        return num + '\t' + a.subject.toUtf8() + '\t' + a.from.toUtf8()
               + "\tMon, 7 Dec 2026 05:00:00 +0000\t<" + num + "@fake>\t\t"
               + QByteArray::number(a.body.size()) + '\t' + QByteArray::number(line_count(a.body))
               + "\tXref: fake " + group.toUtf8() + ':' + num;
    }

    QList<QByteArray> article_lines(const QString &group, qint64 n) const
    {
        const FakeArticle a = groups.value(group).articles.value(n);
        QByteArray text = "Path: fake\r\nFrom: " + a.from.toUtf8() + "\r\nNewsgroups: " + group.toUtf8()
                          + "\r\nSubject: " + a.subject.toUtf8() + "\r\nMessage-ID: <"
                          + QByteArray::number(n) + "@fake>\r\n\r\n" + a.body;
        if (text.endsWith("\r\n"))
            text.chop(2);
        QList<QByteArray> lines = text.split('\n');
        for (QByteArray &l : lines) {
            if (l.endsWith('\r'))
                l.chop(1);
        }
        return lines;
    }

    ScriptServer server;
    QMap<QString, FakeGroup> groups;
    std::function<bool(ScriptConnection &, qint64)> article_hook;
    std::function<bool(ScriptConnection &, const QByteArray &)> xover_hook;
    std::function<bool(ScriptConnection &, const QByteArray &)> group_hook;
};

// A group picked in the group box, as the window hands it to the run.
void pick(RunRig &rig, const QString &group)
{
    rig.app->shared().picked_group = group;
    rig.app->shared().group_jump = true;
}

FakeArticle picture(const QString &name, const QByteArray &jpeg)
{
    FakeArticle a;
    a.subject = name + QStringLiteral(" (1/1)");
    a.body = "here it is\r\n\r\n" + uuencode_block(jpeg, name);
    return a;
}

} // namespace

class TestRunFaults : public QObject {
    Q_OBJECT
private slots:
    void expired_while_fetching();
    void reset_during_article_then_rerun();
    void article_refused_then_rerun_data();
    void article_refused_then_rerun();
    void article_too_large();
    void stall_during_xover();
    void stall_during_article();
    void stop_during_article();
    void low_mark_raises_pointer();
    void group_not_on_server();
    void group_refused_ends_the_run_data();
    void group_refused_ends_the_run();
    void headers_out_of_range();
    void xref_value_without_its_name();
    void undecodable_data();
    void uuencode_tried_before_base64();
    void dupe_table_full();
    void article_asked_ahead_turns_duplicate();
    void failed_pointer_write_then_rerun();
    void failed_pointer_write_with_duplicate_check();
    void folder_cannot_be_made();
    void promotion();
    void stale_promotion_dropped();
    void promotion_back_to_a_finished_group();
    void control_characters_kept_off_the_terminal();
    void hostile_names_keep_the_log_one_line_per_picture();
};

void TestRunFaults::expired_while_fetching()
{
    FakeNews news;
    QVERIFY(news.start());
    const QString g = QStringLiteral("alt.fake.expired");
    news.add(g, picture(QStringLiteral("p1.jpg"), make_jpeg(101)));
    FakeArticle gone = picture(QStringLiteral("p2.jpg"), make_jpeg(102));
    gone.present = false;  // listed in the overview, gone when asked for
    news.add(g, gone);
    news.add(g, picture(QStringLiteral("p3.jpg"), make_jpeg(103)));

    RunRig rig;
    QVERIFY2(rig.setup(news.setting(), {g, g}), qPrintable(rig.why));
    QCOMPARE(rig.run(), Outcome::Done);
    QVERIFY2(rig.ui.has(indent + QStringLiteral("Message expired from server!")), qPrintable(rig.dump()));
    QCOMPARE(rig.ui.count_starting(QStringLiteral("Selected group: ")), 1);  // subscribed twice, walked once
    QCOMPARE(rig.pictures(), (QStringList{QStringLiteral("p1.jpg"), QStringLiteral("p3.jpg")}));
    QCOMPARE(rig.pointer(g, news.setting()), qint64(3));
    QCOMPARE(rig.counters.files_this_count, qint64(2));
    QCOMPARE(rig.ui.count(indent + QStringLiteral("Updated message pointer...")), 3);
    QCOMPARE(rig.dllog().size(), 2);
    QVERIFY(rig.leftovers().isEmpty());
}

void TestRunFaults::reset_during_article_then_rerun()
{
    FakeNews news;
    QVERIFY(news.start());
    const QString g = QStringLiteral("alt.fake.reset");
    QList<QByteArray> pics;
    for (int i = 1; i <= 3; ++i) {
        pics << make_jpeg(110 + i);
        news.add(g, picture(QStringLiteral("r%1.jpg").arg(i), pics.last()));
    }
    news.article_hook = [](ScriptConnection &c, qint64 n) {
        if (n != 2)
            return false;
        c.write("220 2 <2@fake> article\r\nPath: fake\r\nSubject: r2.jpg (1/1)\r\n\r\nbegin 644 r2.jpg\r\nM");
        c.reset();
        return true;
    };

    RunRig rig;
    QVERIFY2(rig.setup(news.setting(), {g}), qPrintable(rig.why));
    QCOMPARE(rig.run(), Outcome::Stopped);
    QVERIFY2(rig.ui.has(QStringLiteral("Socket connection reset....not connected.")), qPrintable(rig.dump()));
    QVERIFY(!rig.ui.has(QStringLiteral("Processed all groups")));
    QCOMPARE(rig.pictures(), QStringList{QStringLiteral("r1.jpg")});
    QCOMPARE(rig.pointer(g, news.setting()), qint64(1));
    QVERIFY2(rig.leftovers().isEmpty(), qPrintable(rig.leftovers().join(QLatin1Char(','))));

    // The server is well again: the run resumes at the header that was cut off.
    news.article_hook = nullptr;
    rig.ui.status.clear();
    QCOMPARE(rig.run(), Outcome::Done);
    QVERIFY(!rig.ui.has(indent + QStringLiteral("Requesting article 1")));
    QVERIFY(rig.ui.has(indent + QStringLiteral("Requesting article 2")));
    QCOMPARE(rig.pictures(), (QStringList{QStringLiteral("r1.jpg"), QStringLiteral("r2.jpg"), QStringLiteral("r3.jpg")}));
    for (int i = 1; i <= 3; ++i)
        QCOMPARE(rig.picture(QStringLiteral("r%1.jpg").arg(i)), pics.at(i - 1));
    QCOMPARE(rig.pointer(g, news.setting()), qint64(3));
}

void TestRunFaults::article_refused_then_rerun_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("close");
    QTest::addColumn<QString>("told");  // a status line, or else a message
    const QString cannot = indent + QStringLiteral("Cannot get article 2: ");
    QTest::newRow("busy") << QByteArray("400 Service temporarily unavailable") << true
                          << QStringLiteral("    The server said: 400 Service temporarily unavailable");
    QTest::newRow("no group selected") << QByteArray("412 No newsgroup selected") << false
                                       << cannot + QStringLiteral("412 No newsgroup selected");
    QTest::newRow("login wanted, none set")
        << QByteArray("480 Authentication required") << false
        << cannot + QStringLiteral("The server requires a login: 480 Authentication required");
    QTest::newRow("permission") << QByteArray("502 Access denied") << false
                                << cannot + QStringLiteral("Permission denied: 502 Access denied");
    QTest::newRow("program fault") << QByteArray("503 Program fault") << false
                                   << QStringLiteral("Asyncerror: Unexpected reply from the server: 503 Program fault");
    QTest::newRow("garbage") << QByteArray("garbage") << false
                             << QStringLiteral("Asyncerror: Unexpected reply from the server: garbage");
}

// Only a missing article (423, 430) moves the pointer past it unfetched: any
// other refusal ends the run with the picture still to come.
void TestRunFaults::article_refused_then_rerun()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, close);
    FakeNews news;
    QVERIFY(news.start());
    const QString g = QStringLiteral("alt.fake.refused");
    QList<QByteArray> pics;
    for (int i = 1; i <= 3; ++i) {
        pics << make_jpeg(260 + i);
        news.add(g, picture(QStringLiteral("q%1.jpg").arg(i), pics.last()));
    }
    news.article_hook = [&](ScriptConnection &c, qint64 n) {
        if (n != 2)
            return false;
        c.write_line(reply);
        if (close)
            c.close();
        return true;
    };
    RunRig rig;
    QVERIFY2(rig.setup(news.setting(), {g}), qPrintable(rig.why));
    QVERIFY(rig.run() != Outcome::Done);
    QVERIFY2(!rig.ui.has(indent + QStringLiteral("Message expired from server!")), qPrintable(rig.dump()));
    QVERIFY(!rig.ui.has(QStringLiteral("Processed all groups")));
    QFETCH(QString, told);
    QVERIFY2(rig.ui.has(told) || rig.ui.messages == QStringList{told}, qPrintable(rig.dump()));
    QCOMPARE(rig.pointer(g, news.setting()), qint64(1));
    QCOMPARE(rig.pictures(), QStringList{QStringLiteral("q1.jpg")});

    news.article_hook = nullptr;
    rig.ui.status.clear();
    rig.ui.messages.clear();
    QCOMPARE(rig.run(), Outcome::Done);
    QCOMPARE(rig.pictures(), (QStringList{QStringLiteral("q1.jpg"), QStringLiteral("q2.jpg"), QStringLiteral("q3.jpg")}));
    QCOMPARE(rig.picture(QStringLiteral("q2.jpg")), pics.at(1));
    QCOMPARE(rig.pointer(g, news.setting()), qint64(3));
}

// An article far beyond its overview size is passed over, memory bounded:
// the connection goes with it, and the next run goes on after it.
void TestRunFaults::article_too_large()
{
    FakeNews news;
    QVERIFY(news.start());
    const QString g = QStringLiteral("alt.fake.huge");
    const QByteArray p1 = make_jpeg(271), p3 = make_jpeg(273);
    news.add(g, picture(QStringLiteral("h1.jpg"), p1));
    news.add(g, picture(QStringLiteral("h2.jpg"), make_jpeg(272)));
    news.add(g, picture(QStringLiteral("h3.jpg"), p3));
    news.article_hook = [](ScriptConnection &c, qint64 n) {
        if (n != 2)
            return false;
        const QByteArray line = "M" + QByteArray(60, 'A') + "\r\n";
        c.write("220 2 <2@fake> article\r\nSubject: h2.jpg\r\n\r\nbegin 644 h2.jpg\r\n" + line.repeated(9 * 1024 * 1024 / 62 + 10));
        return true;  // and more would follow
    };
    RunRig rig;
    QVERIFY2(rig.setup(news.setting(), {g}), qPrintable(rig.why));
    QCOMPARE(rig.run(), Outcome::Stopped);
    QVERIFY2(rig.ui.has(indent + QStringLiteral("Article 2 is larger than 8,388,608 bytes: skipped")), qPrintable(rig.dump()));
    QVERIFY(rig.ui.messages.isEmpty());
    QCOMPARE(rig.pointer(g, news.setting()), qint64(2));
    QCOMPARE(rig.pictures(), QStringList{QStringLiteral("h1.jpg")});
    QVERIFY(rig.leftovers().isEmpty());

    rig.ui.status.clear();
    QCOMPARE(rig.run(), Outcome::Done);
    QCOMPARE(rig.pictures(), (QStringList{QStringLiteral("h1.jpg"), QStringLiteral("h3.jpg")}));
    QCOMPARE(rig.picture(QStringLiteral("h3.jpg")), p3);
    QCOMPARE(rig.pointer(g, news.setting()), qint64(3));
}

void TestRunFaults::stall_during_xover()
{
    FakeNews news;
    QVERIFY(news.start());
    const QString g = QStringLiteral("alt.fake.stall");
    news.add(g, picture(QStringLiteral("s1.jpg"), make_jpeg(121)));
    news.xover_hook = [](ScriptConnection &c, const QByteArray &) {
        c.write("224 Overview information follows\r\n1\tpartial");
        return true;  // and then silence
    };
    RunRig rig;
    QVERIFY2(rig.setup(news.setting(), {g}), qPrintable(rig.why));
    rig.session().timeouts.xover = 800;
    QCOMPARE(rig.run(), Outcome::Stopped);
    QVERIFY(!rig.ui.has(QStringLiteral("Processed all groups")));
    QCOMPARE(rig.ui.count_starting(QStringLiteral("Received ")), 0);
    // The time-out is told, not swallowed.
    QCOMPARE(rig.ui.messages, QStringList{QStringLiteral("Asyncerror: No reply from the server for 0.8 seconds.")});
    QCOMPARE(rig.pointer(g, news.setting()), qint64(0));
    QCOMPARE(rig.session().news_state(), qint16(StateDisconnected));
}

void TestRunFaults::stall_during_article()
{
    FakeNews news;
    QVERIFY(news.start());
    const QString g = QStringLiteral("alt.fake.slow");
    news.add(g, picture(QStringLiteral("a1.jpg"), make_jpeg(131)));
    news.add(g, picture(QStringLiteral("a2.jpg"), make_jpeg(132)));
    news.article_hook = [](ScriptConnection &c, qint64 n) {
        if (n != 2)
            return false;
        c.write("220 2 <2@fake> article\r\nPath: fake\r\n");
        return true;
    };
    RunRig rig;
    QVERIFY2(rig.setup(news.setting(), {g}), qPrintable(rig.why));
    rig.session().timeouts.article = 800;
    QCOMPARE(rig.run(), Outcome::Stopped);
    QCOMPARE(rig.pictures(), QStringList{QStringLiteral("a1.jpg")});
    QCOMPARE(rig.pointer(g, news.setting()), qint64(1));
    QVERIFY(!rig.ui.has(indent + QStringLiteral("Message expired from server!")));
    QVERIFY(rig.leftovers().isEmpty());
}

void TestRunFaults::stop_during_article()
{
    FakeNews news;
    QVERIFY(news.start());
    const QString g = QStringLiteral("alt.fake.stop");
    news.add(g, picture(QStringLiteral("t1.jpg"), make_jpeg(141)));
    news.add(g, picture(QStringLiteral("t2.jpg"), make_jpeg(142)));
    news.add(g, picture(QStringLiteral("t3.jpg"), make_jpeg(143)));
    news.article_hook = [](ScriptConnection &, qint64 n) { return n == 2; };  // never answered
    RunRig rig;
    QVERIFY2(rig.setup(news.setting(), {g}), qPrintable(rig.why));
    rig.session().timeouts.article = 60000;
    rig.ui.on_status = [&](const QString &line) {
        if (line == indent + QStringLiteral("Requesting article 2"))
            QTimer::singleShot(200, &rig.session(), [&] { rig.commands->stop(); });
    };
    QCOMPARE(rig.run(), Outcome::Stopped);
    QVERIFY(rig.ui.has(QStringLiteral("Stop button pressed......")));
    QVERIFY(!rig.ui.has(QStringLiteral("Processed all groups")));
    QVERIFY(rig.ui.messages.isEmpty());
    QCOMPARE(rig.pictures(), QStringList{QStringLiteral("t1.jpg")});
    QCOMPARE(rig.pointer(g, news.setting()), qint64(1));
}

void TestRunFaults::low_mark_raises_pointer()
{
    FakeNews news;
    QVERIFY(news.start());
    const QString g = QStringLiteral("alt.fake.low");
    for (int i = 1; i <= 7; ++i)
        news.add(g, picture(QStringLiteral("l%1.jpg").arg(i), make_jpeg(150 + i)));
    news.groups[g].low = 5;
    for (int i = 1; i < 5; ++i)
        news.groups[g].articles.remove(i);
    RunRig rig;
    QVERIFY2(rig.setup(news.setting(), {g}, true, false, 2), qPrintable(rig.why));
    QCOMPARE(rig.run(), Outcome::Done);
    QVERIFY2(news.server.commands.contains("XOVER 5-7"), qPrintable(rig.dump()));
    QVERIFY(rig.ui.has(QStringLiteral("Getting up to 3 article headers")));
    QCOMPARE(rig.pictures().size(), 3);
    QCOMPARE(rig.pointer(g, news.setting()), qint64(7));
}

void TestRunFaults::group_not_on_server()
{
    FakeNews news;
    QVERIFY(news.start());
    const QString here = QStringLiteral("alt.fake.here");
    news.add(here, picture(QStringLiteral("h1.jpg"), make_jpeg(161)));
    RunRig rig;
    QVERIFY2(rig.setup(news.setting(), {QStringLiteral("alt.fake.gone"), here}, true, false, 4), qPrintable(rig.why));
    // The second group's pointer starts before its article.
    QVERIFY(rig.app->db().set_last_msg(news.setting(), here, 0));
    QCOMPARE(rig.run(), Outcome::Done);
    QVERIFY2(rig.ui.count_starting(QStringLiteral("Cannot select group: alt.fake.gone (411")) == 1,
             qPrintable(rig.dump()));
    QVERIFY(!rig.ui.has(QStringLiteral("Selected group: alt.fake.gone")));
    QCOMPARE(rig.pointer(QStringLiteral("alt.fake.gone"), news.setting()), qint64(4));
    QCOMPARE(rig.pointer(here, news.setting()), qint64(1));
    QCOMPARE(rig.pictures(), QStringList{QStringLiteral("h1.jpg")});
}

// A group (or its overview) refused for want of a login or of permission is
// no group the server lacks: the run ends there (a message while nothing was stored, for
// exit code 1), instead of going on and reporting every group processed.
void TestRunFaults::group_refused_ends_the_run_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("said");
    const QString select = QStringLiteral("Cannot select group: ");
    const QString headers = QStringLiteral("Cannot get the article headers of ");
    QTest::newRow("group: login wanted, none set")
        << QByteArray("GROUP") << QByteArray("480 Authentication required") << select;
    QTest::newRow("group: permission") << QByteArray("GROUP") << QByteArray("502 Access to group denied") << select;
    QTest::newRow("overview: permission") << QByteArray("XOVER") << QByteArray("502 No permission") << headers;
}

void TestRunFaults::group_refused_ends_the_run()
{
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, reply);
    QFETCH(QString, said);
    FakeNews news;
    QVERIFY(news.start());
    const QString open = QStringLiteral("alt.fake.open"), closed = QStringLiteral("alt.fake.closed");
    news.add(open, picture(QStringLiteral("o1.jpg"), make_jpeg(171)));
    news.add(closed, picture(QStringLiteral("c1.jpg"), make_jpeg(172)));
    bool refuse_all = true;
    auto refuse = [&](ScriptConnection &c, const QString &group) {
        if (!refuse_all && group != closed)
            return false;
        c.write_line(reply);
        return true;
    };
    if (command == "GROUP")
        news.group_hook = [&](ScriptConnection &c, const QByteArray &args) { return refuse(c, QString::fromUtf8(args)); };
    else
        news.xover_hook = [&](ScriptConnection &c, const QByteArray &) {
            return refuse(c, c.state.value(QStringLiteral("group")).toString());
        };

    // Every group refused: nothing happened, a message says why.
    RunRig rig;
    QVERIFY2(rig.setup(news.setting(), {open, closed}), qPrintable(rig.why));
    QCOMPARE(rig.run(), Outcome::Message);
    QCOMPARE(rig.ui.messages.size(), 1);
    QVERIFY2(rig.ui.messages.at(0).startsWith(said + open + QStringLiteral(" (")), qPrintable(rig.dump()));
    QVERIFY(!rig.ui.has(QStringLiteral("Processed all groups")));
    QVERIFY(!rig.ui.has(QStringLiteral("Selected group: ") + closed));
    QCOMPARE(rig.pointer(open, news.setting()), qint64(0));
    QCOMPARE(rig.session().news_state(), qint16(StateDisconnected));

    // Refused after a stored pointer: the run ends early (exit code 3),
    // the pointer stays, the last status line says why.
    refuse_all = false;
    rig.ui.messages.clear();
    rig.ui.status.clear();
    QCOMPARE(rig.run(), Outcome::Stopped);
    QVERIFY(rig.ui.messages.isEmpty());
    QVERIFY2(rig.ui.status.last().startsWith(said + closed + QStringLiteral(" (")), qPrintable(rig.dump()));
    QVERIFY(!rig.ui.has(QStringLiteral("Processed all groups")));
    QCOMPARE(rig.pointer(open, news.setting()), qint64(1));
    QCOMPARE(rig.pointer(closed, news.setting()), qint64(0));
    QCOMPARE(rig.pictures(), QStringList{QStringLiteral("o1.jpg")});
    QCOMPARE(rig.session().news_state(), qint16(StateDisconnected));
}

void TestRunFaults::headers_out_of_range()
{
    FakeNews news;
    QVERIFY(news.start());
    const QString g = QStringLiteral("alt.fake.range");
    for (int i = 1; i <= 3; ++i)
        news.add(g, picture(QStringLiteral("o%1.jpg").arg(i), make_jpeg(170 + i)));
    news.xover_hook = [&](ScriptConnection &c, const QByteArray &) {
        const FakeGroup &fg = news.groups[g];
        QList<QByteArray> lines;
        lines << FakeNews::overview_line(g, 1, fg.articles[1]);
        lines << FakeNews::overview_line(g, 1, fg.articles[1]);  // said twice
        lines << "x\tnot a number\tp@x\td\t<x@x>\t\t10\t1\t";
        lines << FakeNews::overview_line(g, 999999, fg.articles[2]);  // beyond the range asked for
        lines << FakeNews::overview_line(g, 3, fg.articles[3]);
        c.write_block("224 Overview information follows", lines);
        return true;
    };
    RunRig rig;
    QVERIFY2(rig.setup(news.setting(), {g}), qPrintable(rig.why));
    QCOMPARE(rig.run(), Outcome::Done);
    QCOMPARE(rig.ui.count(indent + QStringLiteral("Header out of range skipped: 1")), 1);
    QCOMPARE(rig.ui.count(indent + QStringLiteral("Header out of range skipped: 999999")), 1);
    QVERIFY(rig.ui.has(indent + QStringLiteral("Bad header: article number is not a number!")));
    QCOMPARE(rig.pictures(), (QStringList{QStringLiteral("o1.jpg"), QStringLiteral("o3.jpg")}));
    QCOMPARE(rig.pointer(g, news.setting()), qint64(3));
    QCOMPARE(rig.ui.count(indent + QStringLiteral("Requesting article 1")), 1);
}

// A server whose overview format lists "Xref:" without ":full" sends the
// field's value alone; the cross-post limit must still count every group.
void TestRunFaults::xref_value_without_its_name()
{
    FakeNews news;
    news.server.on("LIST OVERVIEW.FMT",
                   ScriptServer::block("215 order of fields", {"Subject:", "From:", "Date:", "Message-ID:",
                                                                "References:", "Bytes:", "Lines:", "Xref:"}));
    QVERIFY(news.start());
    const QString g = QStringLiteral("alt.fake.xref");
    news.add(g, picture(QStringLiteral("four.jpg"), make_jpeg(181)));
    news.add(g, picture(QStringLiteral("three.jpg"), make_jpeg(182)));
    news.xover_hook = [&](ScriptConnection &c, const QByteArray &) {
        const FakeGroup &fg = news.groups[g];
        QList<QByteArray> lines;
        for (qint64 n : {1, 2}) {
            QByteArray l = FakeNews::overview_line(g, n, fg.articles[n]);
            l.truncate(l.lastIndexOf('\t') + 1);
            l += n == 1 ? "fake " + g.toUtf8() + ":1 a.b:7 c.d:8 e.f:9" : "fake " + g.toUtf8() + ":2 a.b:10 c.d:11";
            lines << l;
        }
        c.write_block("224 Overview information follows", lines);
        return true;
    };
    RunRig rig;
    QVERIFY2(rig.setup(news.setting(), {g}), qPrintable(rig.why));  // at most 3 groups
    QCOMPARE(rig.run(), Outcome::Done);
    QVERIFY2(rig.ui.has(indent + QStringLiteral("Xpost count 4 exceeds threshold of 3")), qPrintable(rig.dump()));
    QCOMPARE(rig.pictures(), QStringList{QStringLiteral("three.jpg")});
    QCOMPARE(rig.counters.non_bin_count, qint64(1));
}

void TestRunFaults::undecodable_data()
{
    FakeNews news;
    QVERIFY(news.start());
    const QString g = QStringLiteral("alt.fake.garbage");
    FakeArticle bad;
    bad.subject = QStringLiteral("bad64.jpg (1/1)");
    bad.body = "Content-Type: image/jpeg; name=\"bad64.jpg\"\r\n\r\n/9j/4AAQ\r\n!!!!****####\r\n";
    news.add(g, bad);
    news.add(g, picture(QStringLiteral("good.jpg"), make_jpeg(181)));
    RunRig rig;
    QVERIFY2(rig.setup(news.setting(), {g}), qPrintable(rig.why));
    QCOMPARE(rig.run(), Outcome::Done);
    QVERIFY2(rig.ui.count_starting(indent + QStringLiteral("Decode failed: ")) == 1, qPrintable(rig.dump()));
    QCOMPARE(rig.ui.count(indent + QStringLiteral("MIME Decode successful...")), 0);
    QCOMPARE(rig.pictures(), QStringList{QStringLiteral("good.jpg")});
    QCOMPARE(rig.dllog().size(), 1);
    QCOMPARE(query_texts(rig.home, QStringLiteral("select filename from dupes")), QStringList{QStringLiteral("good.jpg")});
    QCOMPARE(rig.counters.non_bin_count, qint64(1));
    QCOMPARE(rig.counters.files_this_count, qint64(1));
    QCOMPARE(rig.pointer(g, news.setting()), qint64(2));
}

void TestRunFaults::uuencode_tried_before_base64()
{
    FakeNews news;
    QVERIFY(news.start());
    const QString g = QStringLiteral("alt.fake.both");
    const QByteArray a = make_jpeg(191), b = make_jpeg(192);
    // A good uuencoded block; a line further down happens to hold "/9j/".
    FakeArticle both = picture(QStringLiteral("both.jpg"), a);
    both.body += "signature /9j/ text\r\n";
    news.add(g, both);
    // A base64 JPEG, then a uuencoded block with characters outside its alphabet.
    FakeArticle mixed;
    mixed.subject = QStringLiteral("mixed.jpg (1/1)");
    QByteArray headers;
    mixed.body = mime_body(b, QStringLiteral("mixed.jpg"), &headers) + "begin 644 mixed.jpg\r\n"
                 + "M" + QByteArray(60, 'z') + "\r\n`\r\nend\r\n";
    news.add(g, mixed);
    RunRig rig;
    QVERIFY2(rig.setup(news.setting(), {g}, false), qPrintable(rig.why));
    QCOMPARE(rig.run(), Outcome::Done);
    QCOMPARE(rig.ui.count(indent + QStringLiteral("UU Decode successful...")), 1);
    QVERIFY2(rig.ui.count(indent + QStringLiteral("MIME Decode successful...")) == 1, qPrintable(rig.dump()));
    QCOMPARE(rig.picture(QStringLiteral("both.jpg")), a);
    QCOMPARE(rig.picture(QStringLiteral("mixed.jpg")), b);
}

void TestRunFaults::dupe_table_full()
{
    FakeNews news;
    QVERIFY(news.start());
    const QString g = QStringLiteral("alt.fake.full");
    news.add(g, picture(QStringLiteral("full.jpg"), make_jpeg(201)));
    RunRig rig;
    QVERIFY2(rig.setup(news.setting(), {g}), qPrintable(rig.why));
    {
        QSqlDatabase &db = rig.app->db().sql();
        QVERIFY(db.transaction());
        QSqlQuery q(db);
        q.prepare(QStringLiteral("insert into dupes (filename) values (?)"));
        for (int i = 0; i < 32000; ++i) {
            q.bindValue(0, QStringLiteral("old%1.jpg").arg(i));
            QVERIFY(q.exec());
        }
        QVERIFY(db.commit());
    }
    QCOMPARE(rig.run(), Outcome::Done);
    QVERIFY(rig.ui.has(indent + QStringLiteral("Dupe not logged!  Dupe file full!  Delete some entries!")));
    QVERIFY(!rig.ui.has(indent + QStringLiteral("Logged file: full.jpg")));
    QCOMPARE(rig.pictures(), QStringList{QStringLiteral("full.jpg")});
    QCOMPARE(query_number(rig.home, QStringLiteral("select count(*) from dupes")), qint64(32000));
    QCOMPARE(rig.pointer(g, news.setting()), qint64(1));
}

// The next wanted article is asked for while the one before is saved. When
// that save makes it a duplicate, its reply is passed over, and the one after
// it still gets its own bytes.
void TestRunFaults::article_asked_ahead_turns_duplicate()
{
    FakeNews news;
    QVERIFY(news.start());
    const QString g = QStringLiteral("alt.fake.ahead");
    const QByteArray first = make_jpeg(221), again = make_jpeg(222), other = make_jpeg(223);
    news.add(g, picture(QStringLiteral("same.jpg"), first));
    news.add(g, picture(QStringLiteral("same.jpg"), again));
    FakeArticle text;
    text.subject = QStringLiteral("just talk");
    text.body = "no picture\r\n";
    news.add(g, text);
    news.add(g, picture(QStringLiteral("other.jpg"), other));
    RunRig rig;
    QVERIFY2(rig.setup(news.setting(), {g}), qPrintable(rig.why));
    QCOMPARE(rig.run(), Outcome::Done);
    QVERIFY2(rig.ui.has(indent + QStringLiteral("Duplicate file: same.jpg")), qPrintable(rig.dump()));
    QVERIFY(!rig.ui.has(indent + QStringLiteral("Requesting article 2")));
    QCOMPARE(rig.pictures(), (QStringList{QStringLiteral("other.jpg"), QStringLiteral("same.jpg")}));
    QCOMPARE(rig.picture(QStringLiteral("same.jpg")), first);
    QCOMPARE(rig.picture(QStringLiteral("other.jpg")), other);
    // Each article asked for once, the text article never.
    for (const char *c : {"ARTICLE 1", "ARTICLE 2", "ARTICLE 4"})
        QCOMPARE(news.server.commands.count(c), 1);
    QCOMPARE(news.server.commands.count("ARTICLE 3"), 0);
    QCOMPARE(rig.pointer(g, news.setting()), qint64(4));
}

void TestRunFaults::failed_pointer_write_then_rerun()
{
    FakeNews news;
    QVERIFY(news.start());
    const QString g = QStringLiteral("alt.fake.pointer");
    const QByteArray p1 = make_jpeg(211), p2 = make_jpeg(212);
    news.add(g, picture(QStringLiteral("w1.jpg"), p1));
    news.add(g, picture(QStringLiteral("w2.jpg"), p2));
    RunRig rig;
    QVERIFY2(rig.setup(news.setting(), {g}, false), qPrintable(rig.why));
    QVERIFY(rig.app->db().exec(QStringLiteral(
        "create trigger no_pointer before update on groups begin select raise(fail, 'disk is full'); end")));
    QCOMPARE(rig.run(), Outcome::Message);
    QCOMPARE(rig.ui.messages.size(), 1);
    QVERIFY2(rig.ui.messages.first().contains(QStringLiteral("disk is full")), qPrintable(rig.ui.messages.first()));
    // It stopped at once: the next header was not fetched.
    QVERIFY(!rig.ui.has(indent + QStringLiteral("Requesting article 2")));
    QCOMPARE(rig.pictures(), QStringList{QStringLiteral("w1.jpg")});
    QCOMPARE(rig.pointer(g, news.setting()), qint64(0));
    QCOMPARE(rig.session().news_state(), qint16(StateDisconnected));

    // Fixed: the first article comes again, but its picture is not doubled.
    QVERIFY(rig.app->db().exec(QStringLiteral("drop trigger no_pointer")));
    rig.ui.status.clear();
    rig.ui.messages.clear();
    QCOMPARE(rig.run(), Outcome::Done);
    QVERIFY(rig.ui.has(indent + QStringLiteral("Identical file already saved: w1.jpg")));
    QCOMPARE(rig.pictures(), (QStringList{QStringLiteral("w1.jpg"), QStringLiteral("w2.jpg")}));
    QCOMPARE(rig.picture(QStringLiteral("w2.jpg")), p2);
    QCOMPARE(rig.pointer(g, news.setting()), qint64(2));

    // After a pointer was stored, a failure is a status line and ends the run.
    news.add(g, picture(QStringLiteral("w3.jpg"), make_jpeg(213)));
    news.add(g, picture(QStringLiteral("w4.jpg"), make_jpeg(214)));
    QVERIFY(rig.app->db().exec(QStringLiteral(
        "create trigger no_pointer before update on groups when new.last_msg = 4 "
        "begin select raise(fail, 'disk is full'); end")));
    rig.ui.status.clear();
    QCOMPARE(rig.run(), Outcome::Stopped);
    QVERIFY(rig.ui.messages.isEmpty());
    QVERIFY(rig.ui.count_starting(indent + QStringLiteral("Cannot store the message pointer: ")) == 1);
    QVERIFY(!rig.ui.has(QStringLiteral("Processed all groups")));
    QCOMPARE(rig.pointer(g, news.setting()), qint64(3));
}

void TestRunFaults::failed_pointer_write_with_duplicate_check()
{
    FakeNews news;
    QVERIFY(news.start());
    const QString g = QStringLiteral("alt.fake.pointer2");
    const QByteArray p1 = make_jpeg(215), p2 = make_jpeg(216);
    news.add(g, picture(QStringLiteral("d1.jpg"), p1));
    // The subject names another file than the article holds.
    FakeArticle other = picture(QStringLiteral("inner.jpg"), p2);
    other.subject = QStringLiteral("outer.jpg (1/1)");
    news.add(g, other);
    RunRig rig;
    QVERIFY2(rig.setup(news.setting(), {g}, true), qPrintable(rig.why));
    QVERIFY(rig.app->db().exec(QStringLiteral(
        "create trigger no_pointer before update on groups begin select raise(fail, 'disk is full'); end")));
    QCOMPARE(rig.run(), Outcome::Message);
    QCOMPARE(query_texts(rig.home, QStringLiteral("select filename from dupes")), QStringList{QStringLiteral("d1.jpg")});

    // The duplicate row was stored before the pointer: the rerun skips the header.
    QVERIFY(rig.app->db().exec(QStringLiteral("drop trigger no_pointer")));
    QVERIFY(rig.app->db().exec(QStringLiteral(
        "create trigger no_pointer before update on groups when new.last_msg = 2 "
        "begin select raise(fail, 'disk is full'); end")));
    rig.ui.status.clear();
    rig.ui.messages.clear();
    QCOMPARE(rig.run(), Outcome::Stopped);  // a pointer was stored: a status line, no box
    QCOMPARE(rig.ui.count_starting(indent + QStringLiteral("Cannot store the message pointer: ")), 1);
    QVERIFY(rig.ui.has(indent + QStringLiteral("Duplicate file: d1.jpg")));
    QVERIFY(!rig.ui.has(indent + QStringLiteral("Requesting article 1")));
    QCOMPARE(rig.pictures(), (QStringList{QStringLiteral("d1.jpg"), QStringLiteral("inner.jpg")}));
    QCOMPARE(rig.pointer(g, news.setting()), qint64(1));

    // The subject's name is not the saved one, so the header is fetched
    // again; the identical bytes keep it from being saved twice.
    QVERIFY(rig.app->db().exec(QStringLiteral("drop trigger no_pointer")));
    rig.ui.status.clear();
    rig.ui.messages.clear();
    QCOMPARE(rig.run(), Outcome::Done);
    QVERIFY(rig.ui.has(indent + QStringLiteral("Identical file already saved: inner.jpg")));
    QCOMPARE(rig.pictures(), (QStringList{QStringLiteral("d1.jpg"), QStringLiteral("inner.jpg")}));
    QCOMPARE(query_number(rig.home, QStringLiteral("select count(*) from dupes where filename = 'inner.jpg'")), qint64(1));
    QCOMPARE(rig.pointer(g, news.setting()), qint64(2));
}

void TestRunFaults::folder_cannot_be_made()
{
    FakeNews news;
    QVERIFY(news.start());
    const QString g = QStringLiteral("alt.fake.folder");
    const QByteArray p = make_jpeg(221);
    news.add(g, picture(QStringLiteral("f1.jpg"), p));
    RunRig rig;
    QVERIFY2(rig.setup(news.setting(), {g}, true, true), qPrintable(rig.why));
    // A file where the group's folder should go.
    QVERIFY(rig.home.write(QStringLiteral("pictures/") + g, "in the way"));
    QCOMPARE(rig.run(), Outcome::Message);
    QVERIFY2(rig.ui.messages.value(0).startsWith(QStringLiteral("Cannot create dir: ")), qPrintable(rig.dump()));
    QCOMPARE(rig.pointer(g, news.setting()), qint64(0));
    QCOMPARE(query_number(rig.home, QStringLiteral("select count(*) from dupes")), qint64(0));
    QVERIFY(rig.leftovers().isEmpty());

    QVERIFY(QFile::remove(rig.dl + QLatin1Char('/') + g));
    rig.ui.messages.clear();
    QCOMPARE(rig.run(), Outcome::Done);
    QCOMPARE(read_file(rig.dl + QLatin1Char('/') + g + QStringLiteral("/f1.jpg")), p);
    QCOMPARE(rig.pointer(g, news.setting()), qint64(1));
}

void TestRunFaults::promotion()
{
    FakeNews news;
    QVERIFY(news.start());
    const QStringList groups{QStringLiteral("alt.fake.a"), QStringLiteral("alt.fake.b"), QStringLiteral("alt.fake.c")};
    int seed = 230;
    for (const QString &g : groups) {
        for (int i = 1; i <= 2; ++i)
            news.add(g, picture(QStringLiteral("%1%2.jpg").arg(g.right(1)).arg(i), make_jpeg(++seed)));
    }
    RunRig rig;
    QVERIFY2(rig.setup(news.setting(), groups), qPrintable(rig.why));
    bool clicked = false;
    rig.ui.on_status = [&](const QString &line) {
        if (!clicked && line == indent + QStringLiteral("Updated message pointer...")) {
            clicked = true;
            pick(rig, groups.at(2));
            // The run writes the group in hand into the box before it
            // looks: the pick must not be lost by that.
            rig.ui.set_text(Box::Combo1, groups.at(0));
        }
    };
    QCOMPARE(rig.run(), Outcome::Done);
    QVERIFY2(rig.ui.has(QStringLiteral("Promoted group: alt.fake.c")), qPrintable(rig.dump()));
    const qsizetype promoted = rig.ui.status.indexOf(QStringLiteral("Promoted group: alt.fake.c"));
    QCOMPARE(rig.ui.status.value(promoted + 1), QStringLiteral("Completed: alt.fake.a"));
    QVERIFY(rig.ui.status.indexOf(QStringLiteral("Selected group: alt.fake.c")) > promoted);
    // The loop goes on after the promoted group in list order: b is not reached.
    QVERIFY(!rig.ui.has(QStringLiteral("Selected group: alt.fake.b")));
    QCOMPARE(rig.pointer(groups.at(0), news.setting()), qint64(1));
    QCOMPARE(rig.pointer(groups.at(1), news.setting()), qint64(0));
    QCOMPARE(rig.pointer(groups.at(2), news.setting()), qint64(2));
    QVERIFY(!rig.app->shared().group_jump);
    QVERIFY(rig.ui.has(QStringLiteral("Processed all groups")));
}

void TestRunFaults::stale_promotion_dropped()
{
    FakeNews news;
    QVERIFY(news.start());
    const QStringList groups{QStringLiteral("alt.fake.x"), QStringLiteral("alt.fake.y")};
    for (const QString &g : groups) {
        for (int i = 1; i <= 2; ++i)
            news.add(g, picture(QStringLiteral("%1%2.jpg").arg(g.right(1)).arg(i), make_jpeg(250 + 2 * int(groups.indexOf(g)) + i)));
    }
    RunRig rig;
    QVERIFY2(rig.setup(news.setting(), groups, false), qPrintable(rig.why));
    int pointers = 0;
    rig.ui.on_status = [&](const QString &line) {
        if (line != indent + QStringLiteral("Updated message pointer..."))
            return;
        ++pointers;
        if (pointers == 1) {
            // Text typed into the box: no such group.
            pick(rig, QStringLiteral("alt.typed.nonsense"));
        } else if (pointers == 3) {
            // The group in hand picked again.
            pick(rig, groups.at(1));
        }
    };
    QCOMPARE(rig.run(), Outcome::Done);
    QCOMPARE(rig.ui.count_starting(QStringLiteral("Promoted group: ")), 0);
    QCOMPARE(rig.pointer(groups.at(0), news.setting()), qint64(2));
    QCOMPARE(rig.pointer(groups.at(1), news.setting()), qint64(2));
    QCOMPARE(rig.ui.count(QStringLiteral("Selected group: alt.fake.x")), 1);
    QCOMPARE(rig.ui.count(QStringLiteral("Selected group: alt.fake.y")), 1);
    QVERIFY(!rig.app->shared().group_jump);
}

// A group promoted after it was finished in this run: the run goes back to
// it, and only what came since is looked at; its last header is not
// examined (and its article fetched) a second time.
void TestRunFaults::promotion_back_to_a_finished_group()
{
    FakeNews news;
    QVERIFY(news.start());
    const QStringList groups{QStringLiteral("alt.fake.p"), QStringLiteral("alt.fake.q"),
                             QStringLiteral("alt.fake.r")};
    int seed = 270;
    for (const QString &g : groups) {
        for (int i = 1; i <= 2; ++i)
            news.add(g, picture(QStringLiteral("%1%2.jpg").arg(g.right(1)).arg(i), make_jpeg(++seed)));
    }
    RunRig rig;
    QVERIFY2(rig.setup(news.setting(), groups, false), qPrintable(rig.why));
    bool in_q = false, clicked = false;
    rig.ui.on_status = [&](const QString &line) {
        // In q, after its first header: back to p.
        in_q = in_q || line == QStringLiteral("Selected group: alt.fake.q");
        if (in_q && !clicked && line == indent + QStringLiteral("Updated message pointer...")) {
            clicked = true;
            pick(rig, groups.at(0));
        }
    };
    QCOMPARE(rig.run(), Outcome::Done);
    QVERIFY2(rig.ui.has(QStringLiteral("Promoted group: alt.fake.p")), qPrintable(rig.dump()));
    QCOMPARE(rig.ui.count(QStringLiteral("Selected group: alt.fake.p")), 2);
    // Back in p: nothing new there.
    const qsizetype second = rig.ui.status.lastIndexOf(QStringLiteral("Selected group: alt.fake.p"));
    QCOMPARE(rig.ui.status.value(second + 1), indent + QStringLiteral("No new messages..."));
    QCOMPARE(rig.ui.count(QStringLiteral("p2.jpg (1/1)")), 1);
    QCOMPARE(rig.ui.count_starting(indent + QStringLiteral("Identical file already saved: ")), 0);
    // p again, then q and r in list order: q resumes after its first header.
    QCOMPARE(rig.ui.count(QStringLiteral("q1.jpg (1/1)")), 1);
    QCOMPARE(rig.ui.count(QStringLiteral("q2.jpg (1/1)")), 1);
    QCOMPARE(rig.counters.articles_count, qint64(6));
    QCOMPARE(rig.counters.files_this_count, qint64(6));
    QCOMPARE(rig.counters.dupes_this_count, qint64(0));
    QCOMPARE(rig.pictures().size(), 6);
    for (const QString &g : groups)
        QCOMPARE(rig.pointer(g, news.setting()), qint64(2));
}

// A real server refuses to take such headers, but one may pass them on from
// elsewhere. brivane-cli's output is read on terminals and in logs: an
// escape sequence in a subject or sender must not reach them as one.
void TestRunFaults::control_characters_kept_off_the_terminal()
{
    FakeNews news;
    QVERIFY(news.start());
    const QString g = QStringLiteral("alt.fake.escape");
    const QByteArray pic = make_jpeg(216);
    FakeArticle a = picture(QStringLiteral("e1.jpg"), pic);
    // Clear the screen, retitle the window, ring the bell, a C1 escape, a
    // line separator, text turned to read right to left.
    a.subject = QStringLiteral("e1.jpg \x1b[2J\x1b]0;owned\x07 \u009b31m \u2028\u202egpj.exe (1/1)");
    a.from = QStringLiteral("Evil \x1b[5m <evil@example.invalid>");
    news.add(g, a);
    TempHome home;
    const QString dl = picture_home(home, news.setting(), g);
    QVERIFY(!dl.isEmpty());

    // Asynchronously: the scripted server answers from this event loop.
    QProcess cli;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("BRIVANE_HOME"), home.path());
    cli.setProcessEnvironment(env);
    cli.start(QStringLiteral(BRIVANE_CLI_PATH), {QStringLiteral("run")});
    QVERIFY(cli.waitForStarted(10000));
    QTRY_VERIFY_WITH_TIMEOUT(cli.state() == QProcess::NotRunning, 60000);
    const QByteArray out = cli.readAllStandardOutput(), err = cli.readAllStandardError();
    QCOMPARE(cli.exitCode(), 0);
    QVERIFY2(out.contains("Processed all groups"), out.constData());
    QVERIFY2(out.contains("e1.jpg ?[2J?]0;owned? ?31m ??gpj.exe"), out.constData());
    for (const QByteArray &text : {out, err}) {
        for (const char c : text)
            QVERIFY2(uchar(c) >= 0x20 || c == '\n' || c == '\t', qPrintable(QString::number(uchar(c), 16)));
        for (const char *kept_off : {"\xc2\x9b", "\xe2\x80\xa8", "\xe2\x80\xae"})
            QVERIFY(!text.contains(kept_off));
    }
    // The picture is saved all the same; the log file keeps the subject as it came.
    QCOMPARE(read_file(dl + QStringLiteral("/e1.jpg")), pic);
    QVERIFY(home.read(QStringLiteral("dllog.txt")).contains("\x1b[2J"));
}

// dllog.txt holds one line per picture. A subject or sender with a bare CR
// (or a Unicode line break) from a server that passes such headers on must
// not split or forge a line; a name as long as a line is cut at once.
void TestRunFaults::hostile_names_keep_the_log_one_line_per_picture()
{
    FakeNews news;
    QVERIFY(news.start());
    const QString g = QStringLiteral("alt.fake.names");
    const QByteArray p1 = make_jpeg(231), p2 = make_jpeg(232), p3 = make_jpeg(233);
    FakeArticle a = picture(QStringLiteral("c1.jpg"), p1);
    a.subject = QStringLiteral("c1.jpg\rforged.jpg,Forged,forger@example.invalid\u2028x (1/1)");
    a.from = QStringLiteral("Poster\u0085\u2029\v\f <poster@example.invalid>");
    news.add(g, a);
    FakeArticle b = picture(QStringLiteral("n2.jpg"), p2);
    b.body = "long\r\n\r\n" + uuencode_block(p2, QString(1000000, QLatin1Char('n')) + QStringLiteral(".jpg"));
    news.add(g, b);
    FakeArticle c = picture(QStringLiteral("l3.jpg"), p3);
    c.body = "ls\r\n\r\n" + uuencode_block(p3, QStringLiteral("line\u2028break\u2029.jpg"));
    news.add(g, c);
    RunRig rig;
    QVERIFY2(rig.setup(news.setting(), {g}), qPrintable(rig.why));
    QCOMPARE(rig.run(), Outcome::Done);
    const QString long_name = QString(196, QLatin1Char('n')) + QStringLiteral(".jpg");
    const QStringList names{QStringLiteral("c1.jpg"), QStringLiteral("linebreak.jpg"), long_name};
    QCOMPARE(rig.pictures(), names);
    QCOMPARE(rig.picture(long_name), p2);
    QCOMPARE(rig.picture(QStringLiteral("linebreak.jpg")), p3);

    const QString log = QString::fromUtf8(rig.home.read(QStringLiteral("dllog.txt")));
    static const QRegularExpression any_break(QStringLiteral("\r\n|[\n\v\f\r\u0085\u2028\u2029]"));
    QStringList lines = log.split(any_break);
    QCOMPARE(lines.size(), 4);
    QVERIFY(lines.takeLast().isEmpty());
    QCOMPARE(lines.value(0), QStringLiteral("c1.jpg,c1.jpg forged.jpg,Forged,forger@example.invalid x (1/1),"
                                            "Poster     <poster@example.invalid>"));
    QVERIFY(lines.value(1).startsWith(long_name + QLatin1Char(',')));
    QVERIFY(lines.value(2).startsWith(QStringLiteral("linebreak.jpg,")));
    QCOMPARE(rig.pointer(g, news.setting()), qint64(3));
}

QTEST_MAIN(TestRunFaults)
#include "test_run_faults.moc"
