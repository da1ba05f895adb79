// The download run against a scripted news server, for what a real server
// does not do on demand: an article gone between overview and fetch, a reset
// in the middle of an article, a stall, headers out of range, a group the
// server does not carry, undecodable data, a failing pointer write, the
// promotion of a group, the Stop button, and control characters in headers.
#include "test_run_support.h"

#include "run/article.h"
#include "session/nntpclient.h"
#include "support/scriptserver.h"

#include <QMap>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include <limits>

using namespace brivane;
using namespace brivane::test;

namespace {

struct FakeArticle {
    QString subject;
    QByteArray body;  // CRLF lines
    QString from = QStringLiteral("Poster <poster@example.invalid>");
    bool present = true;  // ARTICLE finds it
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
            QList<QByteArray> lines;
            const FakeGroup &g = groups[name];
            for (auto it = g.articles.cbegin(); it != g.articles.cend(); ++it) {
                if (it.key() >= first && it.key() <= last)
                    lines << overview_line(name, it.key(), *it);
            }
            c.write_block("224 Overview information follows", lines);
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

    qint64 add(const QString &group, const FakeArticle &a)
    {
        FakeGroup &g = groups[group];
        const qint64 n = ++g.high;
        g.articles.insert(n, a);
        return n;
    }

    static QByteArray overview_line(const QString &group, qint64 n, const FakeArticle &a)
    {
        const QByteArray num = QByteArray::number(n);
        return num + '\t' + a.subject.toUtf8() + '\t' + a.from.toUtf8()
               + "\tMon, 7 Dec 2026 05:00:00 +0000\t<" + num + "@fake>\t\t"
               + QByteArray::number(a.body.size()) + '\t' + QByteArray::number(a.body.count('\n'))
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

FakeArticle picture(const QString &name, const QByteArray &jpeg)
{
    FakeArticle a;
    a.subject = name + QStringLiteral(" (1/1)");
    a.body = "here it is\r\n\r\n" + uuencode_block(jpeg, name);
    return a;
}

// One single-part MIME base64 article of `data` named `name`.
FakeArticle mime_picture(const QString &name, const QByteArray &data)
{
    FakeArticle a;
    QByteArray headers;
    a.subject = name + QStringLiteral(" (1/1)");
    a.body = mime_body(data, name, &headers);
    return a;
}

// A GIF that holds a JPEG's first bytes at `at`: its base64 then shows
// "/9j/" in a line (at a line start when `at` is 57, with 76-character lines).
QByteArray gif_with_a_jpeg_look(char fill, qsizetype at)
{
    QByteArray gif(300, fill);
    gif.replace(0, 6, "GIF89a");
    gif.replace(at, 3, "\xff\xd8\xff");
    return gif;
}

struct NewsHolder {
    FakeNews news;
};

// The scripted server and a program home for runs of its groups. The
// program ends before the server, as it would.
struct FakeRig : NewsHolder, RunRig {
    // Pictures "<stem>1.jpg" on, seeds from `first_seed` + 1; their bytes.
    QList<QByteArray> add_pictures(const QString &group, const QString &stem, int count, quint32 first_seed)
    {
        QList<QByteArray> pics;
        for (int i = 1; i <= count; ++i) {
            pics << make_jpeg(first_seed + quint32(i));
            news.add(group, ::picture(QStringLiteral("%1%2.jpg").arg(stem).arg(i), pics.last()));
        }
        return pics;
    }
    // Starts the server, then the program with `groups` subscribed on it.
    bool setup(const QStringList &groups, bool checkdupes = true, bool ng_dirs = false, qint64 last_msg = 0)
    {
        if (!news.server.start()) {
            why = QStringLiteral("cannot start the server");
            return false;
        }
        return RunRig::setup(news.server.setting(), groups, checkdupes, ng_dirs, last_msg);
    }
    // Each of `groups` with two pictures named by its last letter, then setup().
    bool setup_pairs(const QStringList &groups, quint32 seed, bool checkdupes)
    {
        for (const QString &g : groups)
            add_pictures(g, g.right(1), 2, seed += 2);
        return setup(groups, checkdupes);
    }
    // Pointer writes fail as on a full disk: all, or those where `when` holds.
    bool fail_pointers(const QString &when = QStringLiteral("1"))
    {
        return app->db().exec(QStringLiteral("create trigger no_pointer before update on groups when %1 "
                                             "begin select raise(fail, 'disk is full'); end")
                                  .arg(when));
    }
    qint64 pointer(const QString &group) const { return RunRig::pointer(group, news.server.setting()); }
    // A group picked in the group box, as the window hands it to the run.
    void pick(const QString &group)
    {
        app->shared().picked_group = group;
        app->shared().group_jump = true;
    }
};

// What the server does after its part of a reply.
enum Then { Silence, Close, Reset };

} // namespace

class TestRunFaults : public QObject {
    Q_OBJECT
private slots:
    void expired_while_fetching();
    void article_fault_then_rerun_data();
    void article_fault_then_rerun();
    void unreadable_article_passed_over_data();
    void unreadable_article_passed_over();
    void stall_during_xover();
    void stop_during_article();
    void low_mark_raises_pointer();
    void empty_stretch_moves_the_pointer();
    void group_not_on_server();
    void group_refused_ends_the_run_data();
    void group_refused_ends_the_run();
    void headers_out_of_range();
    void xref_value_without_its_name();
    void data_that_does_not_decode();
    void base64_found_by_a_chance_look();
    void dupe_table_full();
    void failed_dupe_row_then_rerun();
    void article_asked_ahead_turns_duplicate();
    void far_apart_pictures_asked_once();
    void long_names_found_again();
    void failed_pointer_write_then_rerun();
    void failed_pointer_write_with_duplicate_check();
    void folder_cannot_be_made();
    void promotion();
    void stale_promotion_dropped();
    void promotion_back_to_a_finished_group();
    void control_characters_kept_off_the_terminal();
    void stop_while_the_finished_run_says_goodbye();
    void hostile_names_keep_the_log_one_line_per_picture();
};

void TestRunFaults::expired_while_fetching()
{
    FakeRig rig;
    const QString g = QStringLiteral("alt.fake.expired");
    rig.news.add(g, picture(QStringLiteral("p1.jpg"), make_jpeg(101)));
    FakeArticle gone = picture(QStringLiteral("p2.jpg"), make_jpeg(102));
    gone.present = false;  // listed in the overview, gone when asked for
    rig.news.add(g, gone);
    rig.news.add(g, picture(QStringLiteral("p3.jpg"), make_jpeg(103)));
    QVERIFY2(rig.setup({g, g}), qPrintable(rig.why));
    QCOMPARE(rig.run(), Outcome::Done);
    QVERIFY2(rig.ui.has(indent + QStringLiteral("Message expired from server!")), qPrintable(rig.dump()));
    QCOMPARE(rig.ui.count_starting(QStringLiteral("Selected group: ")), 1);  // subscribed twice, walked once
    QCOMPARE(rig.pictures(), (QStringList{QStringLiteral("p1.jpg"), QStringLiteral("p3.jpg")}));
    QCOMPARE(rig.pointer(g), qint64(3));
    QCOMPARE(rig.counters.files_this_count, qint64(2));
    QCOMPARE(rig.ui.count(indent + QStringLiteral("Updated message pointer...")), 3);
    QCOMPARE(rig.dllog().size(), 2);
    QVERIFY(rig.leftovers().isEmpty());
}

void TestRunFaults::article_fault_then_rerun_data()
{
    QTest::addColumn<QByteArray>("sent");  // for ARTICLE 2
    QTest::addColumn<int>("then");
    QTest::addColumn<bool>("stopped");  // ended as by Stop, else only not finished
    QTest::addColumn<QString>("told");  // a status line, or else the one message
    const QString cannot = indent + QStringLiteral("Cannot get article 2: ");
    QTest::newRow("reset during article")
        << QByteArray("220 2 <2@fake> article\r\nPath: fake\r\nSubject: q2.jpg (1/1)\r\n\r\nbegin 644 q2.jpg\r\nM")
        << int(Reset) << true << QStringLiteral("Socket connection reset....not connected.");
    QTest::newRow("stall during article")
        << QByteArray("220 2 <2@fake> article\r\nPath: fake\r\n") << int(Silence) << true
        << QStringLiteral("Asyncerror: No reply from the server for 0.8 seconds.");
    QTest::newRow("busy") << QByteArray("400 Service temporarily unavailable\r\n") << int(Close) << true
                          << QStringLiteral("    The server said: 400 Service temporarily unavailable");
    QTest::newRow("no group selected") << QByteArray("412 No newsgroup selected\r\n") << int(Silence) << false
                                       << cannot + QStringLiteral("412 No newsgroup selected");
    QTest::newRow("login wanted, none set")
        << QByteArray("480 Authentication required\r\n") << int(Silence) << false
        << cannot + QStringLiteral("The server requires a login: 480 Authentication required");
    QTest::newRow("permission") << QByteArray("502 Access denied\r\n") << int(Silence) << false
                                << cannot + QStringLiteral("Permission denied: 502 Access denied");
    QTest::newRow("program fault") << QByteArray("503 Program fault\r\n") << int(Silence) << false
                                   << QStringLiteral("Asyncerror: Unexpected reply from the server: 503 Program fault");
    QTest::newRow("garbage") << QByteArray("garbage\r\n") << int(Silence) << false
                             << QStringLiteral("Asyncerror: Unexpected reply from the server: garbage");
}

// Only a missing article (423, 430) moves the pointer past it unfetched: a
// cut, a stall or any other refusal ends the run with the picture still to
// come, and nothing half written left.
void TestRunFaults::article_fault_then_rerun()
{
    QFETCH(QByteArray, sent);
    QFETCH(int, then);
    FakeRig rig;
    const QString g = QStringLiteral("alt.fake.refused");
    const QList<QByteArray> pics = rig.add_pictures(g, QStringLiteral("q"), 3, 260);
    rig.news.article_hook = [&](ScriptConnection &c, qint64 n) {
        if (n != 2)
            return false;
        c.write(sent);
        if (then == Close)
            c.close();
        else if (then == Reset)
            c.reset();
        return true;
    };
    QVERIFY2(rig.setup({g}), qPrintable(rig.why));
    rig.session().timeouts.article = 800;
    const Outcome o = rig.run();
    QFETCH(bool, stopped);
    QVERIFY2(stopped ? o == Outcome::Stopped : o != Outcome::Done, qPrintable(rig.dump()));
    QVERIFY2(!rig.ui.has(indent + QStringLiteral("Message expired from server!")), qPrintable(rig.dump()));
    QVERIFY(!rig.ui.has(QStringLiteral("Processed all groups")));
    QFETCH(QString, told);
    QVERIFY2(rig.ui.has(told) || rig.ui.messages == QStringList{told}, qPrintable(rig.dump()));
    QCOMPARE(rig.pointer(g), qint64(1));
    QCOMPARE(rig.pictures(), QStringList{QStringLiteral("q1.jpg")});
    QVERIFY2(rig.leftovers().isEmpty(), qPrintable(rig.leftovers().join(QLatin1Char(','))));

    // The server is well again: the run resumes at the header it did not finish.
    rig.news.article_hook = nullptr;
    rig.session().timeouts.article = 5000;
    QCOMPARE(rig.run(), Outcome::Done);
    QVERIFY(!rig.ui.has(indent + QStringLiteral("Requesting article 1")));
    QVERIFY(rig.ui.has(indent + QStringLiteral("Requesting article 2")));
    QCOMPARE(rig.pictures(), (QStringList{QStringLiteral("q1.jpg"), QStringLiteral("q2.jpg"), QStringLiteral("q3.jpg")}));
    for (int i = 1; i <= 3; ++i)
        QCOMPARE(rig.picture(QStringLiteral("q%1.jpg").arg(i)), pics.at(i - 1));
    QCOMPARE(rig.pointer(g), qint64(3));
}

// An article the client cannot read (far beyond its overview size, memory
// bounded; a poster's line beyond what the client reads) is passed over: the
// connection goes with it, and the next run goes on after it, or every later
// run would stop at it again.
void TestRunFaults::unreadable_article_passed_over_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("said");
    const QByteArray head = "220 2 <2@fake> article\r\nSubject: h2.jpg\r\n\r\nbegin 644 h2.jpg\r\n";
    const QByteArray line = "M" + QByteArray(60, 'A') + "\r\n";
    // ...and more would follow.
    QTest::newRow("too large") << head + line.repeated(9 * 1024 * 1024 / 62 + 10)
                               << QStringLiteral("Article 2 is larger than 8,388,608 bytes: skipped");
    QTest::newRow("line too long") << head + QByteArray(1100 * 1024, 'M') + "\r\nend\r\n.\r\n"
                                   << QStringLiteral("Article 2 has a line too long to read: skipped");
}

void TestRunFaults::unreadable_article_passed_over()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, said);
    FakeRig rig;
    const QString g = QStringLiteral("alt.fake.huge");
    const QByteArray p3 = rig.add_pictures(g, QStringLiteral("h"), 3, 270).at(2);
    rig.news.article_hook = [&](ScriptConnection &c, qint64 n) {
        if (n != 2)
            return false;
        c.write(reply);
        return true;
    };
    QVERIFY2(rig.setup({g}), qPrintable(rig.why));
    QCOMPARE(rig.run(), Outcome::Stopped);
    QVERIFY2(rig.ui.has(indent + said), qPrintable(rig.dump()));
    QVERIFY2(rig.ui.messages.isEmpty(), qPrintable(rig.ui.messages.join(QLatin1Char('\n'))));
    QCOMPARE(rig.pointer(g), qint64(2));
    QCOMPARE(rig.pictures(), QStringList{QStringLiteral("h1.jpg")});
    // An overview claiming an absurd size allows the most, not (overflowed) the least.
    QCOMPARE(ArticleStep::article_limit(std::numeric_limits<qint64>::max()), NewsClient::max_article);
    QVERIFY(rig.leftovers().isEmpty());

    QCOMPARE(rig.run(), Outcome::Done);
    QCOMPARE(rig.pictures(), (QStringList{QStringLiteral("h1.jpg"), QStringLiteral("h3.jpg")}));
    QCOMPARE(rig.picture(QStringLiteral("h3.jpg")), p3);
    QCOMPARE(rig.pointer(g), qint64(3));
}

void TestRunFaults::stall_during_xover()
{
    FakeRig rig;
    const QString g = QStringLiteral("alt.fake.stall");
    rig.news.add(g, picture(QStringLiteral("s1.jpg"), make_jpeg(121)));
    rig.news.xover_hook = [](ScriptConnection &c, const QByteArray &) {
        c.write("224 Overview information follows\r\n1\tpartial");
        return true;  // and then silence
    };
    QVERIFY2(rig.setup({g}), qPrintable(rig.why));
    rig.session().timeouts.xover = 800;
    QCOMPARE(rig.run(), Outcome::Stopped);
    QVERIFY(!rig.ui.has(QStringLiteral("Processed all groups")));
    QCOMPARE(rig.ui.count_starting(QStringLiteral("Received ")), 0);
    // The time-out is told, not swallowed.
    QCOMPARE(rig.ui.messages, QStringList{QStringLiteral("Asyncerror: No reply from the server for 0.8 seconds.")});
    QCOMPARE(rig.pointer(g), qint64(0));
    QCOMPARE(rig.session().news_state(), qint16(StateDisconnected));
}

void TestRunFaults::stop_during_article()
{
    FakeRig rig;
    const QString g = QStringLiteral("alt.fake.stop");
    rig.add_pictures(g, QStringLiteral("t"), 3, 140);
    rig.news.article_hook = [](ScriptConnection &, qint64 n) { return n == 2; };  // never answered
    QVERIFY2(rig.setup({g}), qPrintable(rig.why));
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
    QCOMPARE(rig.pointer(g), qint64(1));

    // Stop handled as the group is said to be selected: the group is not
    // taken for one with nothing new, nor the run for a finished one.
    rig.ui.on_status = [&](const QString &line) {
        if (line.startsWith(QStringLiteral("Selected group: ")))
            rig.commands->stop();
    };
    QCOMPARE(rig.run(), Outcome::Stopped);
    QVERIFY(!rig.ui.has(indent + QStringLiteral("No new messages...")));
    QVERIFY(!rig.ui.has(QStringLiteral("Processed all groups")));
    QCOMPARE(rig.pointer(g), qint64(1));

    // Stop while "Connecting to server..." is drawn (the window closed then):
    // no connection is made at all.
    const int connections = rig.news.server.connections;
    rig.ui.on_status = [&](const QString &line) {
        if (line == QStringLiteral("Connecting to server..."))
            rig.commands->stop();
    };
    QCOMPARE(rig.run(), Outcome::Stopped);
    QCOMPARE(rig.news.server.connections, connections);
    QCOMPARE(rig.pointer(g), qint64(1));
}

void TestRunFaults::low_mark_raises_pointer()
{
    FakeRig rig;
    const QString g = QStringLiteral("alt.fake.low");
    rig.add_pictures(g, QStringLiteral("l"), 7, 150);
    rig.news.groups[g].low = 5;
    for (int i = 1; i < 5; ++i)
        rig.news.groups[g].articles.remove(i);
    QVERIFY2(rig.setup({g}, true, false, 2), qPrintable(rig.why));
    QCOMPARE(rig.run(), Outcome::Done);
    QVERIFY2(rig.news.server.commands.contains("XOVER 5-7"), qPrintable(rig.dump()));
    QVERIFY(rig.ui.has(QStringLiteral("Getting up to 3 article headers")));
    QCOMPARE(rig.pictures().size(), 3);
    QCOMPARE(rig.pointer(g), qint64(7));
}

// Numbers 1 to 1000 hold nothing: the empty overview chunks move the pointer
// on, so a run stopped in that stretch goes on from where it was.
void TestRunFaults::empty_stretch_moves_the_pointer()
{
    FakeRig rig;
    const QString g = QStringLiteral("alt.fake.sparse");
    rig.news.groups[g].high = 1000;
    rig.add_pictures(g, QStringLiteral("e"), 2, 300);
    QList<QByteArray> asked;
    rig.news.xover_hook = [&](ScriptConnection &, const QByteArray &range) {
        asked << range;
        if (range.startsWith("401-"))
            rig.commands->stop();
        return false;
    };
    QVERIFY2(rig.setup({g}), qPrintable(rig.why));
    QCOMPARE(rig.run(100), Outcome::Stopped);
    QCOMPARE(rig.pointer(g), qint64(400));
    QVERIFY(rig.pictures().isEmpty());

    asked.clear();
    rig.news.xover_hook = [&](ScriptConnection &, const QByteArray &range) {
        asked << range;
        return false;
    };
    QCOMPARE(rig.run(100), Outcome::Done);
    QCOMPARE(asked.value(0), QByteArray("401-500"));
    QCOMPARE(asked.size(), 7);
    QCOMPARE(rig.pictures(), (QStringList{QStringLiteral("e1.jpg"), QStringLiteral("e2.jpg")}));
    QCOMPARE(rig.pointer(g), qint64(1002));

    // The high mark ahead of the overview (a server writes that later): the
    // pointer waits for those articles.
    rig.news.groups[g].high = 1005;
    QCOMPARE(rig.run(100), Outcome::Done);
    QCOMPARE(asked.last(), QByteArray("1003-1005"));
    QCOMPARE(rig.pointer(g), qint64(1002));
}

void TestRunFaults::group_not_on_server()
{
    FakeRig rig;
    const QString here = QStringLiteral("alt.fake.here");
    rig.news.add(here, picture(QStringLiteral("h1.jpg"), make_jpeg(161)));
    // A name with a blank is no group any server carries: passed over alike.
    const QString blank = QStringLiteral("alt.fake gone");
    QVERIFY2(rig.setup({QStringLiteral("alt.fake.gone"), blank, here}, true, false, 4), qPrintable(rig.why));
    // The last group's pointer starts before its article.
    QVERIFY(rig.app->db().set_last_msg(rig.news.server.setting(), here, 0));
    QCOMPARE(rig.run(), Outcome::Done);
    QVERIFY2(rig.ui.count_starting(QStringLiteral("Cannot select group: alt.fake.gone (411")) == 1,
             qPrintable(rig.dump()));
    QVERIFY(rig.ui.has(QStringLiteral("Cannot select group: alt.fake gone (Invalid group name: alt.fake gone)")));
    QVERIFY(rig.ui.messages.isEmpty());
    QCOMPARE(rig.pointer(blank), qint64(4));
    QVERIFY(!rig.ui.has(QStringLiteral("Selected group: alt.fake.gone")));
    QCOMPARE(rig.pointer(QStringLiteral("alt.fake.gone")), qint64(4));
    QCOMPARE(rig.pointer(here), qint64(1));
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
    FakeRig rig;
    const QString open = QStringLiteral("alt.fake.open"), closed = QStringLiteral("alt.fake.closed");
    rig.news.add(open, picture(QStringLiteral("o1.jpg"), make_jpeg(171)));
    rig.news.add(closed, picture(QStringLiteral("c1.jpg"), make_jpeg(172)));
    bool refuse_all = true;
    auto refuse = [&](ScriptConnection &c, const QString &group) {
        if (!refuse_all && group != closed)
            return false;
        c.write_line(reply);
        return true;
    };
    if (command == "GROUP")
        rig.news.group_hook = [&](ScriptConnection &c, const QByteArray &args) {
            return refuse(c, QString::fromUtf8(args));
        };
    else
        rig.news.xover_hook = [&](ScriptConnection &c, const QByteArray &) {
            return refuse(c, c.state.value(QStringLiteral("group")).toString());
        };

    // Every group refused: nothing happened, a message says why.
    QVERIFY2(rig.setup({open, closed}), qPrintable(rig.why));
    QCOMPARE(rig.run(), Outcome::Message);
    QCOMPARE(rig.ui.messages.size(), 1);
    QVERIFY2(rig.ui.messages.at(0).startsWith(said + open + QStringLiteral(" (")), qPrintable(rig.dump()));
    QVERIFY(!rig.ui.has(QStringLiteral("Processed all groups")));
    QVERIFY(!rig.ui.has(QStringLiteral("Selected group: ") + closed));
    QCOMPARE(rig.pointer(open), qint64(0));
    QCOMPARE(rig.session().news_state(), qint16(StateDisconnected));

    // Refused after a stored pointer: the run ends early (exit code 3),
    // the pointer stays, the last status line says why.
    refuse_all = false;
    QCOMPARE(rig.run(), Outcome::Stopped);
    QVERIFY(rig.ui.messages.isEmpty());
    QVERIFY2(rig.ui.status.last().startsWith(said + closed + QStringLiteral(" (")), qPrintable(rig.dump()));
    QVERIFY(!rig.ui.has(QStringLiteral("Processed all groups")));
    QCOMPARE(rig.pointer(open), qint64(1));
    QCOMPARE(rig.pointer(closed), qint64(0));
    QCOMPARE(rig.pictures(), QStringList{QStringLiteral("o1.jpg")});
    QCOMPARE(rig.session().news_state(), qint16(StateDisconnected));
}

void TestRunFaults::headers_out_of_range()
{
    FakeRig rig;
    const QString g = QStringLiteral("alt.fake.range");
    rig.add_pictures(g, QStringLiteral("o"), 4, 170);
    rig.news.xover_hook = [&](ScriptConnection &c, const QByteArray &) {
        const FakeGroup &fg = rig.news.groups[g];
        QList<QByteArray> lines;
        lines << FakeNews::overview_line(g, 1, fg.articles[1]);
        lines << FakeNews::overview_line(g, 1, fg.articles[1]);  // said twice
        lines << "x\tnot a number\tp@x\td\t<x@x>\t\t10\t1\t";
        lines << FakeNews::overview_line(g, 999999, fg.articles[2]);  // beyond the range asked for
        lines << "3\tjust talk\tp@x\td\t<t@x>\t\t10\t1\t";  // not wanted
        lines << FakeNews::overview_line(g, 2, fg.articles[2]);     // after a higher number
        lines << FakeNews::overview_line(g, 4, fg.articles[4]);
        c.write_block("224 Overview information follows", lines);
        return true;
    };
    QVERIFY2(rig.setup({g}), qPrintable(rig.why));
    QCOMPARE(rig.run(), Outcome::Done);
    QCOMPARE(rig.ui.count(indent + QStringLiteral("Header out of range skipped: 1")), 1);
    QCOMPARE(rig.ui.count(indent + QStringLiteral("Header out of range skipped: 999999")), 1);
    QCOMPARE(rig.ui.count(indent + QStringLiteral("Header out of range skipped: 2")), 1);
    QVERIFY(rig.ui.has(indent + QStringLiteral("Bad header: article number is not a number!")));
    QCOMPARE(rig.pictures(), (QStringList{QStringLiteral("o1.jpg"), QStringLiteral("o4.jpg")}));
    QCOMPARE(rig.pointer(g), qint64(4));
    QCOMPARE(rig.ui.count(indent + QStringLiteral("Requesting article 1")), 1);
    // Nor asked for ahead: the run would pass it by.
    QCOMPARE(rig.news.server.commands.count("ARTICLE 2"), 0);
    QCOMPARE(rig.news.server.commands.count("ARTICLE 4"), 1);
}

// A server whose overview format lists "Xref:" without ":full" sends the
// field's value alone; the cross-post limit must still count every group.
void TestRunFaults::xref_value_without_its_name()
{
    FakeRig rig;
    rig.news.server.on("LIST OVERVIEW.FMT",
                       ScriptServer::block("215 order of fields", {"Subject:", "From:", "Date:", "Message-ID:",
                                                                    "References:", "Bytes:", "Lines:", "Xref:"}));
    const QString g = QStringLiteral("alt.fake.xref");
    rig.news.add(g, picture(QStringLiteral("four.jpg"), make_jpeg(181)));
    rig.news.add(g, picture(QStringLiteral("three.jpg"), make_jpeg(182)));
    rig.news.xover_hook = [&](ScriptConnection &c, const QByteArray &) {
        const FakeGroup &fg = rig.news.groups[g];
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
    QVERIFY2(rig.setup({g}), qPrintable(rig.why));  // at most 3 groups
    QCOMPARE(rig.run(), Outcome::Done);
    QVERIFY2(rig.ui.has(indent + QStringLiteral("Xpost count 4 exceeds threshold of 3")), qPrintable(rig.dump()));
    QCOMPARE(rig.pictures(), QStringList{QStringLiteral("three.jpg")});
    QCOMPARE(rig.counters.non_bin_count, qint64(1));
}

// Data that does not decode is passed over. Uuencoding is tried first, and
// a block of it that does not decode leaves base64 to be tried.
void TestRunFaults::data_that_does_not_decode()
{
    FakeRig rig;
    const QString g = QStringLiteral("alt.fake.garbage");
    FakeArticle bad;
    bad.subject = QStringLiteral("bad64.jpg (1/1)");
    bad.body = "Content-Type: image/jpeg; name=\"bad64.jpg\"\r\n\r\n/9j/4AAQ\r\n!!!!****####\r\n";
    rig.news.add(g, bad);
    const QByteArray a = make_jpeg(191), b = make_jpeg(192);
    // A good uuencoded block; a line further down happens to hold "/9j/".
    FakeArticle both = picture(QStringLiteral("both.jpg"), a);
    both.body += "signature /9j/ text\r\n";
    rig.news.add(g, both);
    // A base64 JPEG, then a uuencoded block with characters outside its alphabet.
    FakeArticle mixed;
    mixed.subject = QStringLiteral("mixed.jpg (1/1)");
    QByteArray headers;
    mixed.body = mime_body(b, QStringLiteral("mixed.jpg"), &headers) + "begin 644 mixed.jpg\r\n"
                 + "M" + QByteArray(60, 'z') + "\r\n`\r\nend\r\n";
    rig.news.add(g, mixed);
    // Another kind of file whose base64 happens to hold "/9j/" inside a line:
    // its tail is no picture.
    const FakeArticle tail = mime_picture(QStringLiteral("tail.jpg"), gif_with_a_jpeg_look('\0', 63));
    QVERIFY(tail.body.contains("\r\nAAAAAAAA/9j/AAAA"));
    rig.news.add(g, tail);
    QVERIFY2(rig.setup({g}), qPrintable(rig.why));
    QCOMPARE(rig.run(), Outcome::Done);
    QVERIFY2(rig.ui.count_starting(indent + QStringLiteral("Decode failed: ")) == 2, qPrintable(rig.dump()));
    QVERIFY(rig.ui.has(indent + QStringLiteral("Decode failed: The base64 data is no picture of the kind its name says")));
    QCOMPARE(rig.ui.count(indent + QStringLiteral("UU Decode successful...")), 1);
    QCOMPARE(rig.ui.count(indent + QStringLiteral("MIME Decode successful...")), 1);
    QCOMPARE(rig.picture(QStringLiteral("both.jpg")), a);
    QCOMPARE(rig.picture(QStringLiteral("mixed.jpg")), b);
    QCOMPARE(rig.pictures(), (QStringList{QStringLiteral("both.jpg"), QStringLiteral("mixed.jpg")}));
    QCOMPARE(rig.dllog().size(), 2);
    QCOMPARE(query_texts(rig.home, QStringLiteral("select filename from dupes order by filename")),
             (QStringList{QStringLiteral("both.jpg"), QStringLiteral("mixed.jpg")}));
    QCOMPARE(rig.counters.non_bin_count, qint64(2));
    QCOMPARE(rig.counters.files_this_count, qint64(2));
    QCOMPARE(rig.pointer(g), qint64(4));
}

// "/9j/" is how base64 JPEGs are found; other files' base64 holds it now and
// then. Decoded from such a line, a GIF's tail is no GIF: not filed. A whole
// GIF after a text that holds it still is.
void TestRunFaults::base64_found_by_a_chance_look()
{
    FakeRig rig;
    const QString g = QStringLiteral("alt.fake.look");
    const FakeArticle cut = mime_picture(QStringLiteral("cut.gif"), gif_with_a_jpeg_look('\x01', 57));
    QVERIFY(cut.body.contains("\r\n/9j/"));
    rig.news.add(g, cut);
    const QByteArray whole_gif = QByteArray("GIF89a") + QByteArray(200, '\x02');
    FakeArticle whole;
    whole.subject = QStringLiteral("whole.gif (1/1)");
    whole.body = "--b\r\nContent-Type: text/plain\r\n\r\nsee http://example.invalid/9j/ there\r\n--b\r\n"
                 "Content-Type: image/gif; name=\"whole.gif\"\r\nContent-Transfer-Encoding: base64\r\n\r\n"
                 + whole_gif.toBase64() + "\r\n--b--\r\n";
    rig.news.add(g, whole);
    // A JPEG posted under a GIF's name is a JPEG from its body's first
    // line: filed as it came, as its uuencoded twin would be.
    const QByteArray jpeg = make_jpeg(235);
    rig.news.add(g, mime_picture(QStringLiteral("named.gif"), jpeg));
    QVERIFY2(rig.setup({g}), qPrintable(rig.why));
    QVERIFY(rig.app->db().exec(QStringLiteral("insert into masks (mask) values ('gif')")));
    QCOMPARE(rig.run(), Outcome::Done);
    QVERIFY2(rig.ui.count(indent + QStringLiteral("Decode failed: The base64 data is no picture of the kind its name says")) == 1,
             qPrintable(rig.dump()));
    QCOMPARE(rig.pictures(), (QStringList{QStringLiteral("named.gif"), QStringLiteral("whole.gif")}));
    QCOMPARE(rig.picture(QStringLiteral("whole.gif")), whole_gif);
    QCOMPARE(rig.picture(QStringLiteral("named.gif")), jpeg);
    QCOMPARE(rig.pointer(g), qint64(3));
}

void TestRunFaults::dupe_table_full()
{
    FakeRig rig;
    const QString g = QStringLiteral("alt.fake.full");
    rig.news.add(g, picture(QStringLiteral("full.jpg"), make_jpeg(201)));
    QVERIFY2(rig.setup({g}), qPrintable(rig.why));
    QVERIFY(rig.app->db().exec(QStringLiteral(
        "insert into dupes (filename) with recursive n(i) as (select 0 union all select i + 1 from n where i < 31999) "
        "select 'old' || i || '.jpg' from n")));
    QCOMPARE(rig.run(), Outcome::Done);
    QVERIFY(rig.ui.has(indent + QStringLiteral("Dupe not logged!  Dupe file full!  Delete some entries!")));
    QVERIFY(!rig.ui.has(indent + QStringLiteral("Logged file: full.jpg")));
    QCOMPARE(rig.pictures(), QStringList{QStringLiteral("full.jpg")});
    QCOMPARE(query_number(rig.home, QStringLiteral("select count(*) from dupes")), qint64(32000));
    QCOMPARE(rig.pointer(g), qint64(1));
}

// A duplicate row the database refuses (a full disk, a broken file) is not
// a picture saved and done: the pointer stays, and the rerun, finding the
// picture, stores the row.
void TestRunFaults::failed_dupe_row_then_rerun()
{
    FakeRig rig;
    const QString g = QStringLiteral("alt.fake.duperow");
    const QList<QByteArray> pics = rig.add_pictures(g, QStringLiteral("r"), 2, 310);
    QVERIFY2(rig.setup({g}), qPrintable(rig.why));
    QVERIFY(rig.app->db().exec(QStringLiteral(
        "create trigger no_dupe before insert on dupes when new.filename = 'r2.jpg' "
        "begin select raise(fail, 'disk is full'); end")));
    QCOMPARE(rig.run(), Outcome::Stopped);
    QVERIFY2(rig.ui.has(indent + QStringLiteral("Dupe not logged: Database error: disk is full")), qPrintable(rig.dump()));
    QVERIFY(!rig.ui.has(QStringLiteral("Processed all groups")));
    QCOMPARE(rig.pointer(g), qint64(1));
    QCOMPARE(rig.pictures(), (QStringList{QStringLiteral("r1.jpg"), QStringLiteral("r2.jpg")}));

    QVERIFY(rig.app->db().exec(QStringLiteral("drop trigger no_dupe")));
    QCOMPARE(rig.run(), Outcome::Done);
    QVERIFY(rig.ui.has(indent + QStringLiteral("Identical file already saved: r2.jpg")));
    QCOMPARE(query_texts(rig.home, QStringLiteral("select filename from dupes order by rowid")),
             (QStringList{QStringLiteral("r1.jpg"), QStringLiteral("r2.jpg")}));
    QCOMPARE(rig.picture(QStringLiteral("r2.jpg")), pics.at(1));
    QCOMPARE(rig.pointer(g), qint64(2));
}

// The next wanted articles are asked for while the one before is saved. When
// that save makes one a duplicate, its reply is passed over, and those after
// it still get their own bytes.
void TestRunFaults::article_asked_ahead_turns_duplicate()
{
    FakeRig rig;
    const QString g = QStringLiteral("alt.fake.ahead");
    const QByteArray first = make_jpeg(221), mid = make_jpeg(224), again = make_jpeg(222),
                     other = make_jpeg(223), last = make_jpeg(225);
    rig.news.add(g, picture(QStringLiteral("same.jpg"), first));
    rig.news.add(g, picture(QStringLiteral("mid.jpg"), mid));
    rig.news.add(g, picture(QStringLiteral("same.jpg"), again));
    FakeArticle text;
    text.subject = QStringLiteral("just talk");
    text.body = "no picture\r\n";
    rig.news.add(g, text);
    rig.news.add(g, picture(QStringLiteral("other.jpg"), other));
    rig.news.add(g, picture(QStringLiteral("last.jpg"), last));
    QVERIFY2(rig.setup({g}), qPrintable(rig.why));
    QCOMPARE(rig.run(), Outcome::Done);
    QVERIFY2(rig.ui.has(indent + QStringLiteral("Duplicate file: same.jpg")), qPrintable(rig.dump()));
    QVERIFY(!rig.ui.has(indent + QStringLiteral("Requesting article 3")));
    QCOMPARE(rig.pictures(), (QStringList{QStringLiteral("last.jpg"), QStringLiteral("mid.jpg"),
                                          QStringLiteral("other.jpg"), QStringLiteral("same.jpg")}));
    QCOMPARE(rig.picture(QStringLiteral("same.jpg")), first);
    QCOMPARE(rig.picture(QStringLiteral("mid.jpg")), mid);
    QCOMPARE(rig.picture(QStringLiteral("other.jpg")), other);
    QCOMPARE(rig.picture(QStringLiteral("last.jpg")), last);
    // Each article asked for once (the duplicate ahead of its turn), the
    // text article never.
    for (const char *c : {"ARTICLE 1", "ARTICLE 2", "ARTICLE 3", "ARTICLE 5", "ARTICLE 6"})
        QCOMPARE(rig.news.server.commands.count(c), 1);
    QCOMPARE(rig.news.server.commands.count("ARTICLE 4"), 0);
    QCOMPARE(rig.pointer(g), qint64(6));
}

// Pictures close together and far apart, over two overview ranges: each is
// asked for once, a text article never, however far the run looks ahead.
void TestRunFaults::far_apart_pictures_asked_once()
{
    FakeRig rig;
    const QString g = QStringLiteral("alt.fake.sparse");
    const QList<qint64> wanted{1, 2, 3, 200, 459, 600, 601, 700};
    for (qint64 n = 1; n <= 700; ++n) {
        if (wanted.contains(n)) {
            rig.news.add(g, picture(QStringLiteral("s%1.jpg").arg(n), make_jpeg(quint32(300 + n))));
        } else {
            FakeArticle text;
            text.subject = QStringLiteral("just talk");
            text.body = "no picture\r\n";
            rig.news.add(g, text);
        }
    }
    QVERIFY2(rig.setup({g}), qPrintable(rig.why));
    QCOMPARE(rig.run(600), Outcome::Done);
    QCOMPARE(rig.pictures().size(), wanted.size());
    for (qint64 n : wanted) {
        QCOMPARE(rig.picture(QStringLiteral("s%1.jpg").arg(n)), make_jpeg(quint32(300 + n)));
        QCOMPARE(rig.news.server.commands.count("ARTICLE " + QByteArray::number(n)), 1);
    }
    const auto asked = std::count_if(rig.news.server.commands.cbegin(), rig.news.server.commands.cend(),
                                     [](const QByteArray &c) { return c.startsWith("ARTICLE "); });
    QCOMPARE(asked, wanted.size());
    QCOMPARE(rig.pointer(g), qint64(700));
}

// Names longer than the duplicate list's column: the row is the name cut as
// a subject's name is cut for the lookup, so a repost is still known.
void TestRunFaults::long_names_found_again()
{
    FakeRig rig;
    const QString g = QStringLiteral("alt.fake.long");
    const QString plain = QStringLiteral("holiday_") + QString(48, QLatin1Char('x')) + QStringLiteral(".jpg");
    // Cut to its last 50 characters it starts with "-", which the cut drops.
    const QString dashed = QStringLiteral("beach_day") + QLatin1Char('-') + QString(45, QLatin1Char('y'))
                           + QStringLiteral(".jpg");
    const QByteArray a = make_jpeg(231), b = make_jpeg(232);
    for (const QString &name : {plain, dashed}) {
        rig.news.add(g, picture(name, name == plain ? a : b));
        rig.news.add(g, picture(name, make_jpeg(233)));
    }
    QVERIFY2(rig.setup({g}, true), qPrintable(rig.why));
    QCOMPARE(rig.run(), Outcome::Done);
    QCOMPARE(rig.pictures(), (QStringList{dashed, plain}));
    QCOMPARE(rig.picture(plain), a);
    QCOMPARE(rig.picture(dashed), b);
    QVERIFY2(rig.ui.has(indent + QStringLiteral("Duplicate file: ") + plain.right(50)), qPrintable(rig.dump()));
    QVERIFY(rig.ui.has(indent + QStringLiteral("Duplicate file: ") + dashed.right(49)));
    QCOMPARE(rig.ui.count_starting(indent + QStringLiteral("Dupe not logged")), 0);
    QCOMPARE(rig.ui.count(indent + QStringLiteral("Logged file: ") + plain), 1);
    QCOMPARE(query_number(rig.home, QStringLiteral("select count(*) from dupes")), qint64(2));
    QCOMPARE(rig.counters.dupes_this_count, qint64(2));
    QCOMPARE(rig.pointer(g), qint64(4));
}

void TestRunFaults::failed_pointer_write_then_rerun()
{
    FakeRig rig;
    const QString g = QStringLiteral("alt.fake.pointer");
    const QByteArray p2 = rig.add_pictures(g, QStringLiteral("w"), 2, 210).at(1);
    QVERIFY2(rig.setup({g}, false), qPrintable(rig.why));
    QVERIFY(rig.fail_pointers());
    QCOMPARE(rig.run(), Outcome::Message);
    QCOMPARE(rig.ui.messages.size(), 1);
    QVERIFY2(rig.ui.messages.first().contains(QStringLiteral("disk is full")), qPrintable(rig.ui.messages.first()));
    // It stopped at once: the next header was not fetched.
    QVERIFY(!rig.ui.has(indent + QStringLiteral("Requesting article 2")));
    QCOMPARE(rig.pictures(), QStringList{QStringLiteral("w1.jpg")});
    QCOMPARE(rig.pointer(g), qint64(0));
    QCOMPARE(rig.session().news_state(), qint16(StateDisconnected));

    // Fixed: the first article comes again, but its picture is not doubled.
    QVERIFY(rig.app->db().exec(QStringLiteral("drop trigger no_pointer")));
    QCOMPARE(rig.run(), Outcome::Done);
    QVERIFY(rig.ui.has(indent + QStringLiteral("Identical file already saved: w1.jpg")));
    QCOMPARE(rig.pictures(), (QStringList{QStringLiteral("w1.jpg"), QStringLiteral("w2.jpg")}));
    QCOMPARE(rig.picture(QStringLiteral("w2.jpg")), p2);
    QCOMPARE(rig.pointer(g), qint64(2));
}

void TestRunFaults::failed_pointer_write_with_duplicate_check()
{
    FakeRig rig;
    const QString g = QStringLiteral("alt.fake.pointer2");
    const QByteArray p1 = make_jpeg(215), p2 = make_jpeg(216);
    rig.news.add(g, picture(QStringLiteral("d1.jpg"), p1));
    // The subject names another file than the article holds.
    FakeArticle other = picture(QStringLiteral("inner.jpg"), p2);
    other.subject = QStringLiteral("outer.jpg (1/1)");
    rig.news.add(g, other);
    QVERIFY2(rig.setup({g}, true), qPrintable(rig.why));
    QVERIFY(rig.fail_pointers());
    QCOMPARE(rig.run(), Outcome::Message);
    QCOMPARE(query_texts(rig.home, QStringLiteral("select filename from dupes")), QStringList{QStringLiteral("d1.jpg")});

    // The duplicate row was stored before the pointer: the rerun skips the header.
    QVERIFY(rig.app->db().exec(QStringLiteral("drop trigger no_pointer")));
    QVERIFY(rig.fail_pointers(QStringLiteral("new.last_msg = 2")));
    // A pointer was stored: a status line ends the run, no box.
    QCOMPARE(rig.run(), Outcome::Stopped);
    QVERIFY(rig.ui.messages.isEmpty());
    QCOMPARE(rig.ui.count_starting(indent + QStringLiteral("Cannot store the message pointer: ")), 1);
    QVERIFY(!rig.ui.has(QStringLiteral("Processed all groups")));
    QVERIFY(rig.ui.has(indent + QStringLiteral("Duplicate file: d1.jpg")));
    QVERIFY(!rig.ui.has(indent + QStringLiteral("Requesting article 1")));
    QCOMPARE(rig.pictures(), (QStringList{QStringLiteral("d1.jpg"), QStringLiteral("inner.jpg")}));
    QCOMPARE(rig.pointer(g), qint64(1));

    // The subject's name is not the saved one, so the header is fetched
    // again; the identical bytes keep it from being saved twice.
    QVERIFY(rig.app->db().exec(QStringLiteral("drop trigger no_pointer")));
    QCOMPARE(rig.run(), Outcome::Done);
    QVERIFY(rig.ui.has(indent + QStringLiteral("Identical file already saved: inner.jpg")));
    QCOMPARE(rig.pictures(), (QStringList{QStringLiteral("d1.jpg"), QStringLiteral("inner.jpg")}));
    QCOMPARE(query_number(rig.home, QStringLiteral("select count(*) from dupes where filename = 'inner.jpg'")), qint64(1));
    QCOMPARE(rig.pointer(g), qint64(2));
}

void TestRunFaults::folder_cannot_be_made()
{
    FakeRig rig;
    const QString g = QStringLiteral("alt.fake.folder");
    const QByteArray p = make_jpeg(221);
    rig.news.add(g, picture(QStringLiteral("f1.jpg"), p));
    QVERIFY2(rig.setup({g}, true, true), qPrintable(rig.why));
    // A file where the group's folder should go.
    QVERIFY(rig.home.write(QStringLiteral("pictures/") + g, "in the way"));
    QCOMPARE(rig.run(), Outcome::Message);
    QVERIFY2(rig.ui.messages.value(0).startsWith(QStringLiteral("Cannot create dir: ")), qPrintable(rig.dump()));
    QCOMPARE(rig.pointer(g), qint64(0));
    QCOMPARE(query_number(rig.home, QStringLiteral("select count(*) from dupes")), qint64(0));
    QVERIFY(rig.leftovers().isEmpty());

    QVERIFY(QFile::remove(rig.dl + QLatin1Char('/') + g));
    QCOMPARE(rig.run(), Outcome::Done);
    QCOMPARE(read_file(rig.dl + QLatin1Char('/') + g + QStringLiteral("/f1.jpg")), p);
    QCOMPARE(rig.pointer(g), qint64(1));
}

void TestRunFaults::promotion()
{
    FakeRig rig;
    const QStringList groups{QStringLiteral("alt.fake.a"), QStringLiteral("alt.fake.b"), QStringLiteral("alt.fake.c")};
    QVERIFY2(rig.setup_pairs(groups, 230, true), qPrintable(rig.why));
    bool clicked = false;
    rig.ui.on_status = [&](const QString &line) {
        if (!clicked && line == indent + QStringLiteral("Updated message pointer...")) {
            clicked = true;
            rig.pick(groups.at(2));
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
    QCOMPARE(rig.pointer(groups.at(0)), qint64(1));
    QCOMPARE(rig.pointer(groups.at(1)), qint64(0));
    QCOMPARE(rig.pointer(groups.at(2)), qint64(2));
    QVERIFY(!rig.app->shared().group_jump);
    QVERIFY(rig.ui.has(QStringLiteral("Processed all groups")));
}

void TestRunFaults::stale_promotion_dropped()
{
    FakeRig rig;
    const QStringList groups{QStringLiteral("alt.fake.x"), QStringLiteral("alt.fake.y")};
    QVERIFY2(rig.setup_pairs(groups, 250, false), qPrintable(rig.why));
    int pointers = 0;
    rig.ui.on_status = [&](const QString &line) {
        if (line != indent + QStringLiteral("Updated message pointer..."))
            return;
        ++pointers;
        if (pointers == 1) {
            // Text typed into the box: no such group.
            rig.pick(QStringLiteral("alt.typed.nonsense"));
        } else if (pointers == 3) {
            // The group in hand picked again.
            rig.pick(groups.at(1));
        }
    };
    // Picked in the box between two runs: the next run still starts at the top.
    rig.pick(groups.at(1));
    QCOMPARE(rig.run(), Outcome::Done);
    QCOMPARE(rig.ui.count_starting(QStringLiteral("Promoted group: ")), 0);
    QCOMPARE(rig.pointer(groups.at(0)), qint64(2));
    QCOMPARE(rig.pointer(groups.at(1)), qint64(2));
    QCOMPARE(rig.ui.count(QStringLiteral("Selected group: alt.fake.x")), 1);
    QCOMPARE(rig.ui.count(QStringLiteral("Selected group: alt.fake.y")), 1);
    QVERIFY(!rig.app->shared().group_jump);
}

// A group promoted after it was finished in this run: the run goes back to
// it, and only what came since is looked at; its last header is not
// examined (and its article fetched) a second time.
void TestRunFaults::promotion_back_to_a_finished_group()
{
    FakeRig rig;
    const QStringList groups{QStringLiteral("alt.fake.p"), QStringLiteral("alt.fake.q"),
                             QStringLiteral("alt.fake.r")};
    QVERIFY2(rig.setup_pairs(groups, 270, false), qPrintable(rig.why));
    bool in_q = false, clicked = false;
    rig.ui.on_status = [&](const QString &line) {
        // In q, after its first header: back to p.
        in_q = in_q || line == QStringLiteral("Selected group: alt.fake.q");
        if (in_q && !clicked && line == indent + QStringLiteral("Updated message pointer...")) {
            clicked = true;
            rig.pick(groups.at(0));
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
        QCOMPARE(rig.pointer(g), qint64(2));
}

// SIGTERM while the last group's connection waits for the reply to QUIT:
// every header is done, so the command did its job.
void TestRunFaults::stop_while_the_finished_run_says_goodbye()
{
    FakeNews news;
    news.server.on("QUIT", ScriptServer::stall());
    QVERIFY(news.server.start());
    const QString g = QStringLiteral("alt.fake.bye");
    news.add(g, picture(QStringLiteral("b1.jpg"), make_jpeg(217)));
    TempHome home;
    QVERIFY(!picture_home(home, news.server.setting(), g).isEmpty());

    QProcess cli;
    QVERIFY(start_program(cli, home.path(), {QStringLiteral("run")}));
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += cli.readAllStandardOutput()).contains("Completed: " + g.toUtf8()), 30000);
    cli.terminate();
    QTRY_VERIFY_WITH_TIMEOUT(cli.state() == QProcess::NotRunning, 30000);
    out += cli.readAllStandardOutput();
    QVERIFY2(out.contains("Processed all groups"), out.constData());
    QCOMPARE(cli.exitCode(), 0);
}

// A real server refuses to take such headers, but one may pass them on from
// elsewhere. brivane-cli's output is read on terminals and in logs: an
// escape sequence in a subject or sender must not reach them as one.
void TestRunFaults::control_characters_kept_off_the_terminal()
{
    FakeNews news;
    QVERIFY(news.server.start());
    const QString g = QStringLiteral("alt.fake.escape");
    const QByteArray pic = make_jpeg(216);
    FakeArticle a = picture(QStringLiteral("e1.jpg"), pic);
    // Clear the screen, retitle the window, ring the bell, a C1 escape, a
    // line separator, text turned to read right to left.
    a.subject = QStringLiteral("e1.jpg \x1b[2J\x1b]0;owned\x07 \u009b31m \u2028\u202egpj.exe (1/1)");
    a.from = QStringLiteral("Evil \x1b[5m <evil@example.invalid>");
    news.add(g, a);
    TempHome home;
    const QString dl = picture_home(home, news.server.setting(), g);
    QVERIFY(!dl.isEmpty());

    QProcess cli;
    QVERIFY(start_program(cli, home.path(), {QStringLiteral("run")}));
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
    FakeRig rig;
    const QString g = QStringLiteral("alt.fake.names");
    const QByteArray p1 = make_jpeg(231), p2 = make_jpeg(232), p3 = make_jpeg(233);
    FakeArticle a = picture(QStringLiteral("c1.jpg"), p1);
    a.subject = QStringLiteral("c1.jpg\rforged.jpg,Forged,forger@example.invalid\u2028x (1/1)");
    a.from = QStringLiteral("Poster\u0085\u2029\v\f <poster@example.invalid>");
    rig.news.add(g, a);
    FakeArticle b = picture(QStringLiteral("n2.jpg"), p2);
    b.body = "long\r\n\r\n" + uuencode_block(p2, QString(1000000, QLatin1Char('n')) + QStringLiteral(".jpg"));
    rig.news.add(g, b);
    FakeArticle c = picture(QStringLiteral("l3.jpg"), p3);
    c.body = "ls\r\n\r\n" + uuencode_block(p3, QStringLiteral("line\u2028break\u2029.jpg"));
    rig.news.add(g, c);
    QVERIFY2(rig.setup({g}), qPrintable(rig.why));
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
    QCOMPARE(rig.pointer(g), qint64(3));
}

QTEST_MAIN(TestRunFaults)
#include "test_run_faults.moc"
