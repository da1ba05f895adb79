// The NNTP client on its own, against the scripted server: reply codes,
// multi-line blocks, login on demand, and the faults a real server seldom makes.
#include "session/nntpclient.h"
#include "support/scriptserver.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>

#include <functional>

using namespace brivane;
using namespace brivane::test;

namespace {

// Runs the event loop until `spy` has more than `before` entries. The limit
// only ends a hung test: a slow, busy machine must not fail a good one.
bool grows(QSignalSpy &spy, qsizetype before, int ms = 60000)
{
    QDeadlineTimer deadline(ms);
    while (spy.count() <= before && !deadline.hasExpired())
        QTest::qWait(5);
    return spy.count() > before;
}

// A client with spies on every signal. Its time limits are generous: only
// the tests of a limit set a short one.
struct Client {
    Client()
    {
        c.set_timeout(30000);
        c.set_quit_timeout(30000);
    }
    // Starts `s` unless it listens already, then connects to it.
    bool connect(ScriptServer &s, const QString &user = {}, const QString &pass = {})
    {
        return (s.port() != 0 || s.start()) && connect(s.setting(), user, pass);
    }
    bool connect(const QString &server, const QString &user = {}, const QString &pass = {})
    {
        c.set_host_name(server);
        c.set_user_name(user);
        c.set_password(pass);
        return run(&NewsClient::connect_to_server) == 0;
    }
    // Starts an operation and waits for its end: 0 when it succeeded, else the
    // error it told (-1: refused at once, no error told, or no end within grows()).
    template <typename Op, typename... Args>
    qint64 run(Op op, Args... args)
    {
        const qsizetype n = completed.count(), e = errors.count();
        if (std::invoke(op, c, args...) != 0)
            return -1;
        const qint64 r = ended(n);
        return r != 0 && errors.count() == e ? -1 : r;
    }
    // The same for an operation started by hand; `n`: completed.count() before it.
    qint64 ended(qsizetype n)
    {
        if (!grows(completed, n))
            return -1;
        if (!completed.last().at(0).toBool())
            return 0;
        return errors.isEmpty() ? -1 : error_number();
    }
    qint64 error_number() const { return errors.isEmpty() ? 0 : errors.last().at(0).toLongLong(); }
    QString error_text() const { return errors.isEmpty() ? QString() : errors.last().at(1).toString(); }

    NewsClient c;
    QSignalSpy completed{&c, &NewsClient::completed};
    QSignalSpy errors{&c, &NewsClient::asyncError};
    QSignalSpy closed{&c, &NewsClient::closed};
    QSignalSpy data{&c, &NewsClient::dataReceived};
};

// A reply of ARTICLE n as a server sends it, and the text the client keeps:
// lines of every kind (dot-stuffed, empty, a lone dot, a bare LF ending).
struct WireArticle {
    QByteArray wire, text;
};
WireArticle wire_article(qint64 n, int lines, quint32 seed)
{
    QRandomGenerator rng(seed);
    WireArticle a;
    a.wire = "220 " + QByteArray::number(n) + " <" + QByteArray::number(n) + "@x> article\r\n";
    a.text = "Subject: article " + QByteArray::number(n) + "\r\n\r\n";
    a.wire += a.text;
    for (int i = 0; i < lines; ++i) {
        QByteArray line(int(rng.bounded(0, 70)), 'M');
        for (char &c : line)
            c = char(rng.bounded(0x21, 0x7f));
        const int kind = int(rng.bounded(0, 12));
        if (kind == 0)
            line.prepend('.');
        else if (kind == 1)
            line = ".";
        else if (kind == 2)
            line.clear();
        a.text += line + "\r\n";
        a.wire += (line.startsWith('.') ? "." + line : line) + (kind == 3 ? "\n" : "\r\n");
    }
    a.wire += ".\r\n";
    return a;
}

// The operation that a table row's verb stands for.
qint64 ask(Client &cl, const QByteArray &verb)
{
    if (verb == "GROUP")
        return cl.run(&NewsClient::select_group, QStringLiteral("alt.x"));
    if (verb == "ARTICLE")
        return cl.run(&NewsClient::get_article, 2);
    return cl.run(&NewsClient::xover, 1, 3);
}

} // namespace

class TestNntpClient : public QObject {
    Q_OBJECT
private slots:
    void connect_and_quit();
    void greeting_faults();
    void group_numbers_are_64_bit();
    void dot_stuffing_split_across_reads();
    void article_asked_ahead();
    void article_asked_ahead_faults();
    void empty_ranges_are_zero_lines();
    void xover_falls_back_to_over();
    void overview_reordered_to_classic();
    void login_on_480_then_retry();
    void refusals_keep_connection();
    void faults_drop_connection();
    void bad_arguments_refused();
    void server_settings_parsed();
};

void TestNntpClient::connect_and_quit()
{
    ScriptServer s;
    Client cl;
    QCOMPARE(cl.c.disconnect_from_server(), qint64(NewsClient::ErrNoSocket));
    QVERIFY(cl.connect(s));
    QVERIFY(cl.c.is_connected());
    QCOMPARE(s.commands, QList<QByteArray>{"MODE READER"});
    QVERIFY(!cl.data.isEmpty());
    QVERIFY(cl.errors.isEmpty());
    // One object serves one connection.
    QCOMPARE(cl.c.connect_to_server(), qint64(NewsClient::ErrBusy));

    const qsizetype n = cl.completed.count();
    QCOMPARE(cl.c.disconnect_from_server(), qint64(0));
    QCOMPARE(cl.c.action(), int(NewsClient::ActionDisconnect));
    QCOMPARE(cl.ended(n), qint64(0));
    QVERIFY(grows(cl.closed, 0));
    QCOMPARE(cl.closed.last().at(0).toBool(), true);
    QCOMPARE(s.commands.last(), QByteArray("QUIT"));
    QCOMPARE(cl.c.disconnect_from_server(), qint64(NewsClient::ErrNoSocket));

    // A server that never answers QUIT does not hold the disconnect.
    ScriptServer mute;
    mute.on("QUIT", ScriptServer::stall());
    Client c2;
    c2.c.set_quit_timeout(200);
    QVERIFY(c2.connect(mute));
    QCOMPARE(c2.run(&NewsClient::disconnect_from_server), qint64(0));

    // A goodbye that is no status line still ends the disconnect, at once and quietly.
    ScriptServer odd;
    odd.on("QUIT", [](ScriptConnection &c, const QByteArray &) {
        c.write_line("Goodbye!");
        c.close();
    });
    Client c3;
    c3.c.set_quit_timeout(40000);
    QVERIFY(c3.connect(odd));
    QElapsedTimer quick;
    quick.start();
    QCOMPARE(c3.run(&NewsClient::disconnect_from_server), qint64(0));
    QVERIFY2(quick.elapsed() < 20000, "the disconnect waited for its time limit");
    QVERIFY(grows(c3.closed, 0));
    QCOMPARE(c3.closed.last().at(0).toBool(), true);
    QVERIFY2(c3.errors.isEmpty(), qPrintable(c3.error_text()));
}

void TestNntpClient::greeting_faults()
{
    const QList<QPair<QByteArray, qint64>> cases = {
        {"502 go away", NewsClient::ErrRefused},
        {"hello, I am not a news server", NewsClient::ErrProtocol},
        {"", NewsClient::ErrTimedOut},  // accepts, never greets
    };
    for (const auto &[greeting, error] : cases) {
        ScriptServer s;
        s.set_greeting(greeting);
        Client cl;
        // Short only where the limit is what ends it: a busy machine may be
        // slower than that with an answer.
        if (error == NewsClient::ErrTimedOut)
            cl.c.set_timeout(300);
        QVERIFY(!cl.connect(s));
        QCOMPARE(cl.error_number(), error);
        QVERIFY2(cl.error_text().contains(QString::fromLatin1(greeting)), qPrintable(cl.error_text()));
        QVERIFY(grows(cl.closed, 0));
    }
    // Nobody listens there: refused at once, not after the time-out.
    Client cl;
    QVERIFY(!cl.connect(QStringLiteral("127.0.0.1:1")));
    QCOMPARE(cl.error_number(), qint64(NewsClient::ErrConnectionRefused));
}

void TestNntpClient::group_numbers_are_64_bit()
{
    ScriptServer s;
    s.on("GROUP", ScriptServer::reply("211 5 3000000000 3000000004 alt.big"));
    s.on("XOVER", ScriptServer::block("224 overview", {"3000000001\ts\tf\td\t<m@x>\t\t10\t2\tXref: h alt.big:3000000001"}));
    Client cl;
    QVERIFY(cl.connect(s));
    QCOMPARE(cl.run(&NewsClient::select_group, QStringLiteral("alt.big")), qint64(0));
    QCOMPARE(cl.c.first_article(), Q_INT64_C(3000000000));
    QCOMPARE(cl.c.last_article(), Q_INT64_C(3000000004));
    QCOMPARE(cl.c.article_estimate(), qint64(5));

    QCOMPARE(cl.run(&NewsClient::xover, Q_INT64_C(3000000001), Q_INT64_C(3000000004)), qint64(0));
    QVERIFY(s.commands.contains("XOVER 3000000001-3000000004"));
    QCOMPARE(cl.c.overview_count(), qint64(1));
    // An open range.
    QCOMPARE(cl.run(&NewsClient::xover, 7, -1), qint64(0));
    QCOMPARE(s.commands.last(), QByteArray("XOVER 7-"));
}

void TestNntpClient::dot_stuffing_split_across_reads()
{
    struct Case { QByteArray wire, text; qint64 lines; };
    const Case cases[] = {
        {"220 1 <a@b> article\r\nSubject: dots\r\n\r\n..starts with a dot\r\n..\r\n...two dots\r\nplain.\r\n.\r\n",
         "Subject: dots\r\n\r\n.starts with a dot\r\n.\r\n..two dots\r\nplain.\r\n", 6},
        // Bare line feeds throughout, the closing dot too.
        {"220 1 <a@b>\nSubject: x\n\n..dot\nbody\n.\n", "Subject: x\r\n\r\n.dot\r\nbody\r\n", 4},
        // A line of just the longest length allowed (64 here), also when a
        // read ends between its CR and LF.
        {"220 1 <a@b>\r\n\r\n" + QByteArray(64, 'x') + "\r\n.\r\n", "\r\n" + QByteArray(64, 'x') + "\r\n", 2},
    };
    for (const Case &k : cases) {
        ScriptServer s;
        // Every byte boundary is a possible read boundary.
        QList<qsizetype> cuts;
        for (qsizetype i = 1; i < k.wire.size(); ++i)
            cuts << i;
        s.on("ARTICLE", [&](ScriptConnection &c, const QByteArray &) { c.write_split(k.wire, cuts, 2); });
        Client cl;
        cl.c.set_max_line_length(64);
        QVERIFY(cl.connect(s));
        const qsizetype n = cl.completed.count(), reads = cl.data.count();
        QCOMPARE(cl.c.get_article(1), qint64(0));
        QCOMPARE(cl.c.action(), int(NewsClient::ActionArticle));
        QCOMPARE(cl.ended(n), qint64(0));
        QCOMPARE(cl.c.article_text(), k.text);
        QCOMPARE(cl.c.article_progress(), k.lines);
        QVERIFY2(cl.data.count() - reads > 5, "the reply should have come in several reads");
    }
}

// An article asked for ahead: taken by get_article() of its number, passed
// over by anything else, its reply never mistaken for another's.
void TestNntpClient::article_asked_ahead()
{
    QHash<qint64, WireArticle> arts;
    for (qint64 n : {1, 2, 3, 5})
        arts.insert(n, wire_article(n, 3000, quint32(n)));
    ScriptServer s;
    QRandomGenerator rng(5);
    s.on("ARTICLE", [&](ScriptConnection &c, const QByteArray &args) {
        const qint64 n = args.toLongLong();
        if (!arts.contains(n)) {
            c.write_line("430 No such article");
            return;
        }
        // Reads cut anywhere, also inside a line end or a dot-stuffed line.
        QList<qsizetype> cuts;
        for (qsizetype at = 1; at < arts[n].wire.size(); at += rng.bounded(1, 3000))
            cuts << at;
        c.write_split(arts[n].wire, cuts, 1);
    });
    s.on("XOVER", ScriptServer::block("224 overview", {"1\ta\tb\tc\t<1@x>\t\t5\t1\t"}));
    Client cl;
    QCOMPARE(cl.c.prefetch_article(1), qint64(NewsClient::ErrNotConnected));
    QVERIFY(cl.connect(s));

    qsizetype n = cl.completed.count();
    QCOMPARE(cl.c.get_article(1), qint64(0));
    QCOMPARE(cl.c.prefetch_article(2), qint64(0));
    QCOMPARE(cl.c.prefetch_article(3), qint64(0));
    QCOMPARE(cl.c.prefetch_article(3), qint64(0));  // asked for already: not again
    QCOMPARE(cl.c.prefetch_article(1), qint64(NewsClient::ErrBadArgument));  // rising order only
    QCOMPARE(cl.c.prefetch_article(4), qint64(0));
    QCOMPARE(cl.c.prefetch_article(5), qint64(0));
    QCOMPARE(cl.c.prefetch_article(6), qint64(NewsClient::ErrBusy));  // as many as may be
    QCOMPARE(cl.ended(n), qint64(0));
    QCOMPARE(cl.c.article_text(), arts[1].text);
    QCOMPARE(cl.c.article_progress(), qint64(3002));
    QCOMPARE(cl.c.prefetched(), qint64(2));
    QCOMPARE(cl.c.prefetched_count(), NewsClient::max_prefetch);
    QTest::qWait(100);  // their replies arrive meanwhile, unread
    QTRY_COMPARE_WITH_TIMEOUT(s.commands.count("ARTICLE 5"), 1, 30000);
    QCOMPARE(s.commands.count("ARTICLE 3"), 1);

    n = cl.completed.count();
    QCOMPARE(cl.c.get_article(2), qint64(0));
    QCOMPARE(cl.ended(n), qint64(0));
    QCOMPARE(cl.c.article_text(), arts[2].text);
    QCOMPARE(s.commands.count("ARTICLE 2"), 1);  // not asked twice
    QCOMPARE(cl.c.prefetched(), qint64(3));

    // One taken further on: the replies before it (3, and 4's refusal) are
    // passed over, and it is not asked again.
    QCOMPARE(cl.run(&NewsClient::get_article, 5), qint64(0));
    QCOMPARE(cl.c.article_text(), arts[5].text);
    QCOMPARE(s.commands.count("ARTICLE 5"), 1);
    QCOMPARE(cl.c.prefetched(), qint64(-1));
    QVERIFY(cl.c.is_connected());
    QCOMPARE(cl.c.prefetch_article(3), qint64(0));  // rising again once none is left

    // Another article wanted instead: the one asked ahead is passed over.
    QCOMPARE(cl.run(&NewsClient::get_article, 5), qint64(0));
    QCOMPARE(cl.c.article_text(), arts[5].text);
    QCOMPARE(cl.c.prefetched(), qint64(-1));

    // A refusal asked ahead is told when the article is wanted.
    cl.c.prefetch_article(4);
    QCOMPARE(cl.run(&NewsClient::get_article, 4), qint64(NewsClient::ErrNoSuchArticle));
    QVERIFY(cl.c.is_connected());

    // Any other command passes over it as well, while it is still coming.
    cl.c.prefetch_article(3);
    QCOMPARE(cl.run(&NewsClient::xover, 1, 1), qint64(0));
    QCOMPARE(cl.c.overview_count(), qint64(1));
    QVERIFY(cl.c.overview_line(0).startsWith("1\ta\tb\tc"));

    // And so does QUIT.
    cl.c.prefetch_article(1);
    QCOMPARE(cl.run(&NewsClient::disconnect_from_server), qint64(0));
    QVERIFY(grows(cl.closed, 0));
    QVERIFY(cl.closed.last().at(0).toBool());
    QCOMPARE(cl.errors.size(), 1);  // only the refusal above
}

void TestNntpClient::article_asked_ahead_faults()
{
    // The server forgets the login: both ARTICLEs get 480. The client logs
    // in after the first, passes over the second's 480 and asks again later.
    QHash<qint64, WireArticle> arts;
    for (qint64 n : {1, 2, 3, 4})
        arts.insert(n, wire_article(n, 50, quint32(n)));
    const WireArticle &a1 = arts[1], &a2 = arts[2];
    ScriptServer s;
    s.on("AUTHINFO", ScriptServer::login("user", "pw"));
    s.on("MODE", ScriptServer::reply("200 ok"));
    s.on("ARTICLE", [&](ScriptConnection &c, const QByteArray &args) {
        if (!c.state.value(QStringLiteral("authenticated")).toBool()) {
            c.write_line("480 Authentication required");
            return;
        }
        c.write(arts[args.toLongLong()].wire);
    });
    Client cl;
    QVERIFY(cl.connect(s, QStringLiteral("user"), QStringLiteral("pw")));
    QCOMPARE(s.commands.size(), 3);  // MODE READER and the login
    s.commands.clear();
    for (ScriptConnection *c : s.findChildren<ScriptConnection *>())
        c->state[QStringLiteral("authenticated")] = false;
    const qsizetype n = cl.completed.count();
    cl.c.get_article(1);
    cl.c.prefetch_article(2);
    QCOMPARE(cl.ended(n), qint64(0));
    QCOMPARE(cl.c.article_text(), a1.text);
    QCOMPARE(cl.run(&NewsClient::get_article, 2), qint64(0));
    QCOMPARE(cl.c.article_text(), a2.text);
    QCOMPARE(s.commands, (QList<QByteArray>{"ARTICLE 1", "ARTICLE 2", "AUTHINFO USER user",
                                            "AUTHINFO PASS pw", "ARTICLE 1", "ARTICLE 2"}));

    // A login wanted for the second of three asked ahead: the first and the
    // third pass over their 480s, the one taken is asked again after the
    // login, and so is the third in its turn.
    s.commands.clear();
    for (ScriptConnection *c : s.findChildren<ScriptConnection *>())
        c->state[QStringLiteral("authenticated")] = false;
    for (qint64 k : {2, 3, 4})
        QCOMPARE(cl.c.prefetch_article(k), qint64(0));
    QTRY_COMPARE_WITH_TIMEOUT(s.commands.count("ARTICLE 4"), 1, 30000);
    QCOMPARE(cl.run(&NewsClient::get_article, 3), qint64(0));
    QCOMPARE(cl.c.article_text(), arts[3].text);
    QCOMPARE(cl.run(&NewsClient::get_article, 4), qint64(0));
    QCOMPARE(cl.c.article_text(), arts[4].text);
    QCOMPARE(s.commands, (QList<QByteArray>{"ARTICLE 2", "ARTICLE 3", "ARTICLE 4", "AUTHINFO USER user",
                                            "AUTHINFO PASS pw", "ARTICLE 3", "ARTICLE 4"}));

    // An empty overview range asked for meanwhile: those asked ahead are
    // given up as for any other command, and taken later each gets its own.
    for (qint64 k : {1, 2})
        QCOMPARE(cl.c.prefetch_article(k), qint64(0));
    QTest::qWait(50);
    QCOMPARE(cl.run(&NewsClient::xover, 10, 9), qint64(0));
    QCOMPARE(cl.c.prefetched(), qint64(-1));
    QCOMPARE(cl.run(&NewsClient::get_article, 2), qint64(0));
    QCOMPARE(cl.c.article_text(), arts[2].text);
    QCOMPARE(cl.run(&NewsClient::get_article, 1), qint64(0));
    QCOMPARE(cl.c.article_text(), arts[1].text);

    // Closing with articles still coming: at once, not after reading them.
    for (qint64 k : {3, 4})
        QCOMPARE(cl.c.prefetch_article(k), qint64(0));
    QCOMPARE(cl.run(&NewsClient::disconnect_from_server), qint64(0));
    QVERIFY(grows(cl.closed, 0));
    QVERIFY(cl.closed.last().at(0).toBool());
    QCOMPARE(s.commands.count("QUIT"), 0);

    // The server ends the session in answer to one asked ahead and passed
    // over: whatever was asked after it is not waited for.
    ScriptServer ending;
    ending.on("ARTICLE", ScriptServer::reply("400 Server shutting down"));
    ending.on("XOVER", ScriptServer::block("224 overview", {"1\ta\tb\tc\t<1@x>\t\t5\t1\t"}));
    Client gone;
    QVERIFY(gone.connect(ending));
    gone.c.prefetch_article(7);
    QCOMPARE(gone.run(&NewsClient::xover, 1, 1), qint64(NewsClient::ErrConnectionReset));
    QCOMPARE(gone.c.farewell(), QStringLiteral("400 Server shutting down"));
    QVERIFY(!gone.c.is_connected());

    // The same goodbye, then a close, while the article before is still
    // being handled, in answer to the first asked for ahead or after a
    // whole one: its words are kept for the user.
    for (int ahead : {1, 2}) {
        ScriptServer closing;
        closing.on("ARTICLE", [&](ScriptConnection &c, const QByteArray &args) {
            if (args.toInt() < ahead + 1) {
                c.write(args == "1" ? a1.wire : a2.wire);
                return;
            }
            c.write_line("400 Server shutting down");
            c.close();
        });
        Client held;
        QVERIFY(held.connect(closing));
        const qsizetype before = held.completed.count();
        held.c.get_article(1);
        for (int n = 2; n <= ahead + 1; ++n)
            held.c.prefetch_article(n);
        QCOMPARE(held.ended(before), qint64(0));
        QTRY_VERIFY_WITH_TIMEOUT(!held.c.is_connected(), 30000);
        QCOMPARE(held.c.farewell(), QStringLiteral("400 Server shutting down"));
    }

    // One asked ahead that never ends, passed over: read up to a limit, not
    // for as long as the server keeps sending.
    ScriptServer endless;
    endless.on("ARTICLE", ScriptServer::stall("220 2 <2@x>\r\n" + QByteArray(1000, 'x').append("\r\n").repeated(70000)));
    endless.on("XOVER", ScriptServer::block("224 overview", {"1\ta\tb\tc\t<1@x>\t\t5\t1\t"}));
    Client flooded;
    flooded.c.set_timeout(20000);
    QVERIFY(flooded.connect(endless));
    flooded.c.prefetch_article(2);
    QCOMPARE(flooded.run(&NewsClient::xover, 1, 1), qint64(NewsClient::ErrProtocol));
    QVERIFY2(flooded.error_text().contains(QStringLiteral("not asked for any more")), qPrintable(flooded.error_text()));
    QVERIFY(!flooded.c.is_connected());

    // More asked for ahead than may be kept unread: passed over as it comes,
    // and asked for again in its turn.
    const QByteArray big_text = QByteArray(1000, 'y').append("\r\n").repeated(17 * 1024);
    ScriptServer bigger;
    bigger.on("ARTICLE", [&](ScriptConnection &c, const QByteArray &args) {
        c.write("220 " + args + " <" + args + "@x> article\r\n" + big_text + ".\r\n");
    });
    Client big;
    QVERIFY(big.connect(bigger));
    QCOMPARE(big.c.prefetch_article(2), qint64(0));
    QTRY_COMPARE_WITH_TIMEOUT(big.c.prefetched(), qint64(-1), 30000);
    QCOMPARE(big.run(&NewsClient::get_article, 2), qint64(0));
    QVERIFY(big.c.article_text() == big_text);
    QCOMPARE(bigger.commands.count("ARTICLE 2"), 2);
}


void TestNntpClient::empty_ranges_are_zero_lines()
{
    for (const QByteArray &answer : {QByteArray("423 No articles in that range\r\n"),
                                     QByteArray("420 No current article\r\n"),
                                     QByteArray("224 No articles in 4\r\n.\r\n")}) {
        ScriptServer s;
        s.on("XOVER", ScriptServer::raw(answer));
        Client cl;
        QVERIFY(cl.connect(s));
        QVERIFY2(cl.run(&NewsClient::xover, 4, 9) == 0, answer.constData());
        QCOMPARE(cl.c.overview_count(), qint64(0));
        QVERIFY(cl.errors.isEmpty());
        // A range that ends before it begins is not even asked for.
        QCOMPARE(cl.run(&NewsClient::xover, 10, 9), qint64(0));
        QCOMPARE(cl.c.overview_count(), qint64(0));
        QVERIFY(!s.commands.contains("XOVER 10-9"));
    }
}

void TestNntpClient::xover_falls_back_to_over()
{
    ScriptServer s;
    s.on("XOVER", ScriptServer::reply("500 What?"));
    s.on("OVER", ScriptServer::block("224 overview", {"1\ta\tb\tc\t<1@x>\t\t5\t1\t"}));
    Client cl;
    QVERIFY(cl.connect(s));
    QCOMPARE(cl.run(&NewsClient::xover, 1, 3), qint64(0));
    QCOMPARE(cl.c.overview_count(), qint64(1));
    QCOMPARE(s.commands.mid(1), (QList<QByteArray>{"LIST OVERVIEW.FMT", "XOVER 1-3", "OVER 1-3"}));

    // Remembered for the rest of the connection.
    const qsizetype sent = s.commands.size();
    QCOMPARE(cl.run(&NewsClient::xover, 4, -1), qint64(0));
    QCOMPARE(s.commands.mid(sent), QList<QByteArray>{"OVER 4-"});
}

void TestNntpClient::overview_reordered_to_classic()
{
    const QByteArray classic_line = "7\tSubject 7\tme@x\tToday\t<7@x>\t<6@x>\t1234\t20\tXref: h g:7";
    struct Case {
        const char *name;
        QList<QByteArray> fmt;  // empty: LIST OVERVIEW.FMT refused
        QByteArray line;
        QByteArray expected;
    };
    const QList<Case> cases = {
        {"classic", {"Subject:", "From:", "Date:", "Message-ID:", "References:", "Bytes:", "Lines:", "Xref:full"},
         classic_line, classic_line},
        {"rfc 3977 names", {"Subject:", "From:", "Date:", "Message-ID:", "References:", ":bytes", ":lines", "Xref:full"},
         classic_line, classic_line},
        {"refused", {}, classic_line, classic_line},
        {"lines before bytes, from first",
         {"From:", "Subject:", "Date:", "Message-ID:", "References:", "Lines:", "Bytes:", "Xref:full"},
         "7\tme@x\tSubject 7\tToday\t<7@x>\t<6@x>\t20\t1234\tXref: h g:7", classic_line},
        {"no xref, an extra field",
         {"Subject:", "From:", "Date:", "Message-ID:", "References:", "Bytes:", "Lines:", "X-Extra:full"},
         "7\tSubject 7\tme@x\tToday\t<7@x>\t<6@x>\t1234\t20\tX-Extra: e",
         "7\tSubject 7\tme@x\tToday\t<7@x>\t<6@x>\t1234\t20\t\tX-Extra: e"},
        // Only the seven required fields listed: the Xref sent after them is kept.
        {"seven listed, xref sent", {"Subject:", "From:", "Date:", "Message-ID:", "References:", ":bytes", ":lines"},
         classic_line, classic_line},
        {"seven listed out of order, xref sent",
         {"Subject:", "From:", "Date:", "Message-ID:", "References:", ":lines", ":bytes"},
         "7\tSubject 7\tme@x\tToday\t<7@x>\t<6@x>\t20\t1234\tXref: h g:7", classic_line},
        // More fields than any server has would widen every line to all of them.
        {"a hostile format", QList<QByteArray>(100000, "From:"), classic_line, classic_line},
    };
    for (const Case &k : cases) {
        ScriptServer s;
        if (k.fmt.isEmpty())
            s.on("LIST OVERVIEW.FMT", ScriptServer::reply("503 not here"));
        else
            s.on("LIST OVERVIEW.FMT", ScriptServer::block("215 fields", k.fmt));
        s.on("XOVER", ScriptServer::block("224 overview", {k.line}));
        Client cl;
        QVERIFY(cl.connect(s));
        QVERIFY2(cl.run(&NewsClient::xover, 7, 7) == 0, k.name);
        QCOMPARE(cl.c.overview_line(0), k.expected);
        // Asked once per connection.
        QCOMPARE(cl.run(&NewsClient::xover, 7, 7), qint64(0));
        QCOMPARE(s.commands.count("LIST OVERVIEW.FMT"), 1);
    }
}

void TestNntpClient::login_on_480_then_retry()
{
    ScriptServer s;
    s.on("AUTHINFO", ScriptServer::login("user", "pw"));
    s.on("MODE", ScriptServer::needs_login(ScriptServer::reply("200 ok")));
    // The server forgets the login once: GROUP asks again, then works.
    s.on("GROUP", [](ScriptConnection &c, const QByteArray &args) {
        if (!c.state.value(QStringLiteral("asked")).toBool()) {
            c.state[QStringLiteral("asked")] = true;
            c.state[QStringLiteral("authenticated")] = false;
            c.write_line("480 Authentication required");
            return;
        }
        c.write_line("211 1 1 1 " + args);
    });
    Client cl;
    QVERIFY(cl.connect(s, QStringLiteral("user"), QStringLiteral("pw")));
    QCOMPARE(s.commands, (QList<QByteArray>{"MODE READER", "AUTHINFO USER user", "AUTHINFO PASS pw",
                                            "MODE READER"}));
    QCOMPARE(cl.run(&NewsClient::select_group, QStringLiteral("alt.x")), qint64(0));
    QCOMPARE(s.commands.mid(4), (QList<QByteArray>{"GROUP alt.x", "AUTHINFO USER user",
                                                   "AUTHINFO PASS pw", "GROUP alt.x"}));
    QCOMPARE(cl.c.last_article(), qint64(1));
}

// A refusal fails the one operation; the connection stays for the next.
void TestNntpClient::refusals_keep_connection()
{
    struct Case {
        QByteArray verb, reply;
        qint64 error;
        QList<QByteArray> sent;
    };
    const Case cases[] = {
        {"GROUP", "411 No such group alt.x", NewsClient::ErrNoSuchGroup, {"GROUP alt.x"}},
        {"GROUP", "502 Permission denied", NewsClient::ErrRefused, {"GROUP alt.x"}},
        // Without a user name a 480 is a refusal, not a loop.
        {"GROUP", "480 Authentication required", NewsClient::ErrRefused, {"GROUP alt.x"}},
        {"ARTICLE", "430 No such article", NewsClient::ErrNoSuchArticle, {"ARTICLE 2"}},
        // Neither XOVER nor OVER offered.
        {"XOVER", "500 What?", NewsClient::ErrCommandFailed, {"LIST OVERVIEW.FMT", "XOVER 1-3", "OVER 1-3"}},
    };
    for (const Case &k : cases) {
        ScriptServer s;
        s.on(k.verb, ScriptServer::reply(k.reply));
        Client cl;
        QVERIFY(cl.connect(s));
        const qint64 got = ask(cl, k.verb);
        QVERIFY2(got == k.error, qPrintable(QStringLiteral("%1: error %2").arg(QString::fromLatin1(k.reply)).arg(got)));
        QVERIFY2(cl.error_text().contains(QString::fromLatin1(k.reply)), qPrintable(cl.error_text()));
        QCOMPARE(s.commands.mid(1), k.sent);  // each asked once, after MODE READER
        QVERIFY(cl.c.is_connected());
        QVERIFY(cl.closed.isEmpty());
    }
}

// A reply the client cannot go on from ends the connection.
void TestNntpClient::faults_drop_connection()
{
    const QByteArray long_line(300 * 1024, 'x');
    const QString too_long = QStringLiteral("The server sent a line longer than 65536 bytes.");
    struct Case {
        QByteArray verb;
        ScriptServer::Handler handler;
        qint64 error;
        QString text;
    };
    const QList<Case> cases = {
        {"XOVER", ScriptServer::raw("224 overview\r\n" + long_line), NewsClient::ErrLineTooLong, too_long},
        {"ARTICLE", ScriptServer::raw("220 2 <a@b>\r\n" + long_line + "\r\n.\r\n"), NewsClient::ErrLineTooLong,
         too_long},
        // A polite close inside a block is a reset as well.
        {"ARTICLE", ScriptServer::close("220 2 <a@b>\r\nSubject: cut\r\n\r\nhalf of it"),
         NewsClient::ErrConnectionReset, NewsClient::reset_text},
        {"XOVER", ScriptServer::reset("224 overview\r\n1\ta\tb"), NewsClient::ErrConnectionReset,
         NewsClient::reset_text},
        // Not numbers: an error, not a zero.
        {"GROUP", ScriptServer::reply("211 many low high alt.x"), NewsClient::ErrProtocol,
         QStringLiteral("Malformed GROUP reply: 211 many low high alt.x")},
        // Near 2^63: counting on from it would overflow.
        {"GROUP", ScriptServer::reply("211 2 9223372036854775806 9223372036854775807 alt.x"),
         NewsClient::ErrProtocol,
         QStringLiteral("Malformed GROUP reply: 211 2 9223372036854775806 9223372036854775807 alt.x")},
        // Another article than asked: the stream is out of step.
        {"ARTICLE", ScriptServer::raw("220 7 <7@x> article\r\nSubject: x\r\n\r\nbody\r\n.\r\n"),
         NewsClient::ErrProtocol, QStringLiteral("The server sent article 7 for article 2.")},
    };
    for (const Case &k : cases) {
        ScriptServer s;
        s.on(k.verb, k.handler);
        Client cl;
        cl.c.set_max_line_length(64 * 1024);
        QVERIFY(cl.connect(s));
        QVERIFY2(ask(cl, k.verb) == k.error, qPrintable(cl.error_text()));
        QCOMPARE(cl.error_text(), k.text);
        // Only a line inside the article's text makes that article unreadable.
        QCOMPARE(cl.c.long_line_in_article(), k.verb == "ARTICLE" && k.error == NewsClient::ErrLineTooLong);
        QVERIFY(grows(cl.closed, 0));
        QVERIFY(!cl.c.is_connected());
        // A second operation is refused at once.
        QCOMPARE(cl.c.select_group(QStringLiteral("alt.x")), qint64(NewsClient::ErrNotConnected));
    }
}

void TestNntpClient::bad_arguments_refused()
{
    NewsClient c;
    c.set_host_name(QStringLiteral("127.0.0.1:99999"));
    QCOMPARE(c.connect_to_server(), qint64(NewsClient::ErrBadArgument));
    QVERIFY(c.error_string().contains(QStringLiteral("port")));

    ScriptServer s;
    Client cl;
    QVERIFY(cl.connect(s));
    QCOMPARE(cl.c.select_group(QStringLiteral("alt.x\r\nQUIT")), qint64(NewsClient::ErrBadArgument));
    QCOMPARE(cl.c.select_group(QString()), qint64(NewsClient::ErrBadArgument));
    QVERIFY(!s.commands.contains("QUIT"));

    NewsClient crlf;
    crlf.set_host_name(s.setting());
    crlf.set_user_name(QStringLiteral("me\r\nQUIT"));
    QCOMPARE(crlf.connect_to_server(), qint64(NewsClient::ErrBadArgument));
}

void TestNntpClient::server_settings_parsed()
{
    struct Case { const char *text; bool ok; const char *host; int port; bool tls; };
    const Case cases[] = {
        {"news.example.net", true, "news.example.net", 119, false},
        {" news.example.net:8119 ", true, "news.example.net", 8119, false},
        {"nntp://news.example.net", true, "news.example.net", 119, false},
        {"nntps://news.example.net", true, "news.example.net", 563, true},
        {"NNTPS://news.example.net:8563/", true, "news.example.net", 8563, true},
        {"[::1]:120", true, "::1", 120, false},
        {"::1", true, "::1", 119, false},
        {"host:0", false, "", 0, false},
        {"host:70000", false, "", 0, false},
        {"host:abc", false, "", 0, false},
        {"", false, "", 0, false},
        {"nntps://", false, "", 0, false},
        {"http://host", false, "", 0, false},
        {"bad host", false, "", 0, false},
    };
    for (const Case &c : cases) {
        ServerAddress a;
        QString error;
        const bool ok = ServerAddress::parse(QString::fromLatin1(c.text), &a, &error);
        QVERIFY2(ok == c.ok, c.text);
        if (!ok) {
            QVERIFY(!error.isEmpty());
            continue;
        }
        QCOMPARE(a.host, QString::fromLatin1(c.host));
        QCOMPARE(int(a.port), c.port);
        QCOMPARE(a.tls, c.tls);
    }
}

QTEST_GUILESS_MAIN(TestNntpClient)
#include "test_nntpclient.moc"
