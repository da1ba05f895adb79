// The NNTP client on its own, against the scripted server: reply codes,
// multi-line blocks, login on demand, and the faults a real server seldom makes.
#include "session/nntpclient.h"
#include "support/scriptserver.h"

#include <QDeadlineTimer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>

using namespace brivane;
using namespace brivane::test;

namespace {

// Runs the event loop until `spy` has more than `before` entries.
bool grows(QSignalSpy &spy, qsizetype before, int ms = 5000)
{
    QDeadlineTimer deadline(ms);
    while (spy.count() <= before && !deadline.hasExpired())
        QTest::qWait(5);
    return spy.count() > before;
}

// A client with spies on every signal.
struct Client {
    explicit Client(const QString &server, const QString &user = {}, const QString &pass = {})
    {
        c.set_host_name(server);
        c.set_user_name(user);
        c.set_password(pass);
        c.set_timeout(3000);
        c.set_quit_timeout(1000);
    }
    bool connect()
    {
        const qsizetype n = completed.count();
        if (c.connect_to_server() != 0)
            return false;
        return grows(completed, n) && !completed.last().at(0).toBool();
    }
    // Waits for the operation's completed signal; true when it did not fail.
    bool finish(qsizetype before, int ms = 5000)
    {
        return grows(completed, before, ms) && !completed.last().at(0).toBool();
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

const QList<QByteArray> classic_fmt = {"Subject:", "From:", "Date:", "Message-ID:", "References:",
                                       "Bytes:", "Lines:", "Xref:full"};

} // namespace

class TestNntpClient : public QObject {
    Q_OBJECT
private slots:
    void connect_greeting_and_mode_reader();
    void greeting_refused_or_garbage();
    void disconnect_sends_quit();
    void list_counts_exactly();
    void group_numbers_are_64_bit();
    void no_such_group_keeps_connection();
    void dot_stuffing_split_across_reads();
    void bare_line_feeds_accepted();
    void long_article_in_random_reads();
    void article_asked_ahead();
    void article_asked_ahead_faults();
    void empty_ranges_are_zero_lines();
    void xover_falls_back_to_over();
    void overview_reordered_to_classic();
    void login_on_480_then_retry();
    void login_refused();
    void refusals_keep_connection();
    void garbage_reply_drops_connection();
    void over_long_line_is_an_error();
    void close_inside_block_is_reset();
    void stall_times_out();
    void bad_arguments_refused();
    void server_settings_parsed();
};

void TestNntpClient::connect_greeting_and_mode_reader()
{
    ScriptServer s;
    QVERIFY(s.start());
    Client cl(s.setting());
    QVERIFY(cl.connect());
    QVERIFY(cl.c.is_connected());
    QCOMPARE(s.commands, QList<QByteArray>{"MODE READER"});
    QVERIFY(!cl.data.isEmpty());
    QVERIFY(cl.errors.isEmpty());

    // One object serves one connection.
    QCOMPARE(cl.c.connect_to_server(), qint64(NewsClient::ErrBusy));
}

void TestNntpClient::greeting_refused_or_garbage()
{
    {
        ScriptServer s;
        s.set_greeting("502 go away");
        QVERIFY(s.start());
        Client cl(s.setting());
        QVERIFY(!cl.connect());
        QCOMPARE(cl.error_number(), qint64(NewsClient::ErrRefused));
        QVERIFY(grows(cl.closed, 0));
    }
    {
        ScriptServer s;
        s.set_greeting("hello, I am not a news server");
        QVERIFY(s.start());
        Client cl(s.setting());
        QVERIFY(!cl.connect());
        QCOMPARE(cl.error_number(), qint64(NewsClient::ErrProtocol));
        QVERIFY(cl.error_text().contains(QStringLiteral("not a news server")));
    }
    {
        // Nobody listens there: refused at once, not after the time-out.
        Client cl(QStringLiteral("127.0.0.1:1"));
        QVERIFY(!cl.connect());
        QCOMPARE(cl.error_number(), qint64(NewsClient::ErrConnectionRefused));
    }
}

void TestNntpClient::disconnect_sends_quit()
{
    ScriptServer s;
    QVERIFY(s.start());
    Client cl(s.setting());
    QCOMPARE(cl.c.disconnect_from_server(), qint64(NewsClient::ErrNoSocket));
    QVERIFY(cl.connect());
    const qsizetype n = cl.completed.count();
    QCOMPARE(cl.c.disconnect_from_server(), qint64(0));
    QCOMPARE(cl.c.action(), int(NewsClient::ActionDisconnect));
    QVERIFY(cl.finish(n));
    QVERIFY(grows(cl.closed, 0));
    QCOMPARE(cl.closed.last().at(0).toBool(), true);
    QCOMPARE(s.commands.last(), QByteArray("QUIT"));
    QCOMPARE(cl.c.disconnect_from_server(), qint64(NewsClient::ErrNoSocket));

    // A server that never answers QUIT does not hold the disconnect.
    ScriptServer mute;
    mute.on("QUIT", ScriptServer::stall());
    QVERIFY(mute.start());
    Client c2(mute.setting());
    c2.c.set_quit_timeout(200);
    QVERIFY(c2.connect());
    const qsizetype m = c2.completed.count();
    QCOMPARE(c2.c.disconnect_from_server(), qint64(0));
    QVERIFY(c2.finish(m));
}

void TestNntpClient::list_counts_exactly()
{
    ScriptServer s;
    s.on("LIST", ScriptServer::block("215 list follows",
                                     {"alt.one 10 1 y", "alt.two 0 1 m", "comp.three"}));
    QVERIFY(s.start());
    Client cl(s.setting());
    QVERIFY(cl.connect());
    QSignalSpy progress(&cl.c, &NewsClient::progress);
    const qsizetype n = cl.completed.count();
    QCOMPARE(cl.c.list_groups(), qint64(0));
    QVERIFY(cl.finish(n));
    QCOMPARE(cl.c.group_count(), qint64(3));
    QCOMPARE(cl.c.group_line(0), QByteArray("alt.one 10 1 y"));
    QCOMPARE(cl.c.group_line(2), QByteArray("comp.three"));
    QCOMPARE(cl.c.group_line(3), QByteArray());
    QVERIFY(!progress.isEmpty());
}

void TestNntpClient::group_numbers_are_64_bit()
{
    ScriptServer s;
    s.on("GROUP", ScriptServer::reply("211 5 3000000000 3000000004 alt.big"));
    s.on("XOVER", ScriptServer::block("224 overview", {"3000000001\ts\tf\td\t<m@x>\t\t10\t2\tXref: h alt.big:3000000001"}));
    QVERIFY(s.start());
    Client cl(s.setting());
    QVERIFY(cl.connect());
    qsizetype n = cl.completed.count();
    QCOMPARE(cl.c.select_group(QStringLiteral("alt.big")), qint64(0));
    QVERIFY(cl.finish(n));
    QCOMPARE(cl.c.first_article(), Q_INT64_C(3000000000));
    QCOMPARE(cl.c.last_article(), Q_INT64_C(3000000004));
    QCOMPARE(cl.c.article_estimate(), qint64(5));

    n = cl.completed.count();
    QCOMPARE(cl.c.xover(Q_INT64_C(3000000001), Q_INT64_C(3000000004)), qint64(0));
    QVERIFY(cl.finish(n));
    QVERIFY(s.commands.contains("XOVER 3000000001-3000000004"));
    QCOMPARE(cl.c.overview_count(), qint64(1));

    // An open range.
    n = cl.completed.count();
    QCOMPARE(cl.c.xover(7), qint64(0));
    QVERIFY(cl.finish(n));
    QCOMPARE(s.commands.last(), QByteArray("XOVER 7-"));

    // A GROUP reply that is not numbers is an error, not a zero.
    ScriptServer bad;
    bad.on("GROUP", ScriptServer::reply("211 many low high alt.big"));
    QVERIFY(bad.start());
    Client c2(bad.setting());
    QVERIFY(c2.connect());
    n = c2.completed.count();
    c2.c.select_group(QStringLiteral("alt.big"));
    QVERIFY(!c2.finish(n));
    QCOMPARE(c2.error_number(), qint64(NewsClient::ErrProtocol));
}

void TestNntpClient::no_such_group_keeps_connection()
{
    ScriptServer s;
    s.on("GROUP", [](ScriptConnection &c, const QByteArray &args) {
        c.write_line(args == "alt.gone" ? "411 No such group alt.gone" : "211 2 1 2 " + args);
    });
    QVERIFY(s.start());
    Client cl(s.setting());
    QVERIFY(cl.connect());
    qsizetype n = cl.completed.count();
    cl.c.select_group(QStringLiteral("alt.gone"));
    QVERIFY(!cl.finish(n));
    QCOMPARE(cl.error_number(), qint64(NewsClient::ErrNoSuchGroup));
    QCOMPARE(cl.error_text(), QStringLiteral("411 No such group alt.gone"));
    QVERIFY(cl.closed.isEmpty());
    QVERIFY(cl.c.is_connected());

    n = cl.completed.count();
    cl.c.select_group(QStringLiteral("alt.here"));
    QVERIFY(cl.finish(n));
    QCOMPARE(cl.c.last_article(), qint64(2));
}

void TestNntpClient::dot_stuffing_split_across_reads()
{
    const QByteArray wire = "220 1 <a@b> article\r\n"
                            "Subject: dots\r\n"
                            "\r\n"
                            "..starts with a dot\r\n"
                            "..\r\n"
                            "...two dots\r\n"
                            "plain.\r\n"
                            ".\r\n";
    const QByteArray expected = "Subject: dots\r\n"
                                "\r\n"
                                ".starts with a dot\r\n"
                                ".\r\n"
                                "..two dots\r\n"
                                "plain.\r\n";
    ScriptServer s;
    // Every byte boundary is a possible read boundary.
    QList<qsizetype> cuts;
    for (qsizetype i = 1; i < wire.size(); ++i)
        cuts << i;
    s.on("ARTICLE", [&](ScriptConnection &c, const QByteArray &) { c.write_split(wire, cuts, 2); });
    QVERIFY(s.start());
    Client cl(s.setting());
    QVERIFY(cl.connect());
    const qsizetype n = cl.completed.count();
    const qsizetype reads = cl.data.count();
    QCOMPARE(cl.c.get_article(1), qint64(0));
    QCOMPARE(cl.c.action(), int(NewsClient::ActionArticle));
    QVERIFY(cl.finish(n));
    QCOMPARE(cl.c.article_text(), expected);
    QCOMPARE(cl.c.article_progress(), qint64(6));
    QVERIFY2(cl.data.count() - reads > 5, "the reply should have come in several reads");
}

void TestNntpClient::bare_line_feeds_accepted()
{
    ScriptServer s;
    s.on("ARTICLE", ScriptServer::raw("220 1 <a@b>\nSubject: x\n\n..dot\nbody\n.\n"));
    QVERIFY(s.start());
    Client cl(s.setting());
    QVERIFY(cl.connect());
    const qsizetype n = cl.completed.count();
    cl.c.get_article(1);
    QVERIFY(cl.finish(n));
    QCOMPARE(cl.c.article_text(), QByteArray("Subject: x\r\n\r\n.dot\r\nbody\r\n"));
}

void TestNntpClient::long_article_in_random_reads()
{
    const WireArticle a = wire_article(9, 4000, 17);
    QList<qsizetype> cuts;
    QRandomGenerator rng(5);
    for (qsizetype at = 1; at < a.wire.size(); at += rng.bounded(1, 3000))
        cuts << at;
    ScriptServer s;
    s.on("ARTICLE", [&](ScriptConnection &c, const QByteArray &) { c.write_split(a.wire, cuts, 0); });
    QVERIFY(s.start());
    Client cl(s.setting());
    QVERIFY(cl.connect());
    const qsizetype n = cl.completed.count();
    cl.c.get_article(9);
    QVERIFY(cl.finish(n, 20000));
    QCOMPARE(cl.c.article_text(), a.text);
    QCOMPARE(cl.c.article_progress(), qint64(4002));
}

// An article asked for ahead: taken by get_article() of its number, passed
// over by anything else, its reply never mistaken for another's.
void TestNntpClient::article_asked_ahead()
{
    QHash<qint64, WireArticle> arts;
    for (qint64 n : {1, 2, 3, 5})
        arts.insert(n, wire_article(n, 3000, quint32(n)));
    ScriptServer s;
    s.on("ARTICLE", [&](ScriptConnection &c, const QByteArray &args) {
        const qint64 n = args.toLongLong();
        if (!arts.contains(n)) {
            c.write_line("430 No such article");
            return;
        }
        QList<qsizetype> cuts;
        for (qsizetype at = 4096; at < arts[n].wire.size(); at += 4096)
            cuts << at;
        c.write_split(arts[n].wire, cuts, 1);
    });
    s.on("XOVER", ScriptServer::block("224 overview", {"1\ta\tb\tc\t<1@x>\t\t5\t1\t"}));
    QVERIFY(s.start());
    Client cl(s.setting());
    QCOMPARE(cl.c.prefetch_article(1), qint64(NewsClient::ErrNotConnected));
    QVERIFY(cl.connect());

    qsizetype n = cl.completed.count();
    QCOMPARE(cl.c.get_article(1), qint64(0));
    QCOMPARE(cl.c.prefetch_article(2), qint64(0));
    QCOMPARE(cl.c.prefetch_article(3), qint64(NewsClient::ErrBusy));  // one at a time
    QVERIFY(cl.finish(n));
    QCOMPARE(cl.c.article_text(), arts[1].text);
    QCOMPARE(cl.c.prefetched(), qint64(2));
    QTest::qWait(100);  // its reply arrives meanwhile, unread
    QCOMPARE(s.commands.count("ARTICLE 2"), 1);

    n = cl.completed.count();
    QCOMPARE(cl.c.get_article(2), qint64(0));
    QCOMPARE(cl.c.prefetch_article(3), qint64(0));
    QVERIFY(cl.finish(n));
    QCOMPARE(cl.c.article_text(), arts[2].text);
    QCOMPARE(s.commands.count("ARTICLE 2"), 1);  // not asked twice

    // Another article wanted instead: the one asked ahead is passed over.
    n = cl.completed.count();
    cl.c.get_article(5);
    QVERIFY(cl.finish(n));
    QCOMPARE(cl.c.article_text(), arts[5].text);
    QCOMPARE(cl.c.prefetched(), qint64(-1));

    // A refusal asked ahead is told when the article is wanted.
    n = cl.completed.count();
    cl.c.prefetch_article(4);
    cl.c.get_article(4);
    QVERIFY(!cl.finish(n));
    QCOMPARE(cl.error_number(), qint64(NewsClient::ErrRefused));
    QVERIFY(cl.c.is_connected());

    // Any other command passes over it as well, while it is still coming.
    n = cl.completed.count();
    cl.c.prefetch_article(3);
    cl.c.xover(1, 1);
    QVERIFY(cl.finish(n));
    QCOMPARE(cl.c.overview_count(), qint64(1));
    QVERIFY(cl.c.overview_line(0).startsWith("1\ta\tb\tc"));

    // And so does QUIT.
    cl.c.prefetch_article(1);
    n = cl.completed.count();
    QCOMPARE(cl.c.disconnect_from_server(), qint64(0));
    QVERIFY(cl.finish(n));
    QVERIFY(grows(cl.closed, 0));
    QVERIFY(cl.closed.last().at(0).toBool());
    QCOMPARE(cl.errors.size(), 1);  // only the refusal above
}

void TestNntpClient::article_asked_ahead_faults()
{
    // The server forgets the login: both ARTICLEs get 480. The client logs
    // in after the first, passes over the second's 480 and asks again later.
    const WireArticle a1 = wire_article(1, 50, 1), a2 = wire_article(2, 50, 2);
    ScriptServer s;
    s.on("AUTHINFO", ScriptServer::login("user", "pw"));
    s.on("MODE", ScriptServer::reply("200 ok"));
    s.on("ARTICLE", [&](ScriptConnection &c, const QByteArray &args) {
        if (!c.state.value(QStringLiteral("authenticated")).toBool()) {
            c.write_line("480 Authentication required");
            return;
        }
        c.write(args == "1" ? a1.wire : a2.wire);
    });
    QVERIFY(s.start());
    {
        Client cl(s.setting(), QStringLiteral("user"), QStringLiteral("pw"));
        QVERIFY(cl.connect());
        QCOMPARE(s.commands.size(), 3);  // MODE READER and the login
        s.commands.clear();
        for (ScriptConnection *c : s.findChildren<ScriptConnection *>())
            c->state[QStringLiteral("authenticated")] = false;
        qsizetype n = cl.completed.count();
        cl.c.get_article(1);
        cl.c.prefetch_article(2);
        QVERIFY(cl.finish(n));
        QCOMPARE(cl.c.article_text(), a1.text);
        n = cl.completed.count();
        cl.c.get_article(2);
        QVERIFY(cl.finish(n));
        QCOMPARE(cl.c.article_text(), a2.text);
        QCOMPARE(s.commands, (QList<QByteArray>{"ARTICLE 1", "ARTICLE 2", "AUTHINFO USER user",
                                                "AUTHINFO PASS pw", "ARTICLE 1", "ARTICLE 2"}));
    }

    // A reply for another article than asked: the stream is out of step.
    ScriptServer wrong;
    wrong.on("ARTICLE", ScriptServer::raw("220 7 <7@x> article\r\nSubject: x\r\n\r\nbody\r\n.\r\n"));
    QVERIFY(wrong.start());
    Client cl(wrong.setting());
    QVERIFY(cl.connect());
    const qsizetype n = cl.completed.count();
    cl.c.get_article(2);
    QVERIFY(!cl.finish(n));
    QCOMPARE(cl.error_number(), qint64(NewsClient::ErrProtocol));
    QVERIFY(cl.error_text().contains(QStringLiteral("article 7 for article 2")));
    QVERIFY(grows(cl.closed, 0));
}

void TestNntpClient::empty_ranges_are_zero_lines()
{
    for (const QByteArray &answer : {QByteArray("423 No articles in that range\r\n"),
                                     QByteArray("420 No current article\r\n"),
                                     QByteArray("224 No articles in 4\r\n.\r\n")}) {
        ScriptServer s;
        s.on("XOVER", ScriptServer::raw(answer));
        QVERIFY(s.start());
        Client cl(s.setting());
        QVERIFY(cl.connect());
        const qsizetype n = cl.completed.count();
        cl.c.xover(4, 9);
        QVERIFY2(cl.finish(n), answer.constData());
        QCOMPARE(cl.c.overview_count(), qint64(0));
        QVERIFY(cl.errors.isEmpty());
    }
    // A range that ends before it begins is not even asked for.
    ScriptServer s;
    QVERIFY(s.start());
    Client cl(s.setting());
    QVERIFY(cl.connect());
    const qsizetype n = cl.completed.count();
    cl.c.xover(10, 9);
    QVERIFY(cl.finish(n));
    QCOMPARE(cl.c.overview_count(), qint64(0));
    QVERIFY(!s.commands.contains("XOVER 10-9"));
}

void TestNntpClient::xover_falls_back_to_over()
{
    ScriptServer s;
    s.on("XOVER", ScriptServer::reply("500 What?"));
    s.on("OVER", ScriptServer::block("224 overview", {"1\ta\tb\tc\t<1@x>\t\t5\t1\t"}));
    QVERIFY(s.start());
    Client cl(s.setting());
    QVERIFY(cl.connect());
    qsizetype n = cl.completed.count();
    cl.c.xover(1, 3);
    QVERIFY(cl.finish(n));
    QCOMPARE(cl.c.overview_count(), qint64(1));
    QVERIFY(s.commands.contains("XOVER 1-3"));
    QVERIFY(s.commands.contains("OVER 1-3"));

    // Remembered for the rest of the connection.
    n = cl.completed.count();
    const qsizetype sent = s.commands.size();
    cl.c.xover(4);
    QVERIFY(cl.finish(n));
    QCOMPARE(s.commands.mid(sent), QList<QByteArray>{"OVER 4-"});

    // Neither offered: refused, connection kept.
    ScriptServer none;
    none.on("XOVER", ScriptServer::reply("500 What?"));
    QVERIFY(none.start());
    Client c2(none.setting());
    QVERIFY(c2.connect());
    n = c2.completed.count();
    c2.c.xover(1, 3);
    QVERIFY(!c2.finish(n));
    QCOMPARE(c2.error_number(), qint64(NewsClient::ErrCommandFailed));
    QVERIFY(c2.c.is_connected());
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
        {"classic", classic_fmt, classic_line, classic_line},
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
    };
    for (const Case &k : cases) {
        ScriptServer s;
        if (k.fmt.isEmpty())
            s.on("LIST OVERVIEW.FMT", ScriptServer::reply("503 not here"));
        else
            s.on("LIST OVERVIEW.FMT", ScriptServer::block("215 fields", k.fmt));
        s.on("XOVER", ScriptServer::block("224 overview", {k.line}));
        QVERIFY(s.start());
        Client cl(s.setting());
        QVERIFY(cl.connect());
        qsizetype n = cl.completed.count();
        cl.c.xover(7, 7);
        QVERIFY2(cl.finish(n), k.name);
        QCOMPARE(cl.c.overview_line(0), k.expected);
        // Asked once per connection.
        n = cl.completed.count();
        cl.c.xover(7, 7);
        QVERIFY(cl.finish(n));
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
    QVERIFY(s.start());
    Client cl(s.setting(), QStringLiteral("user"), QStringLiteral("pw"));
    QVERIFY(cl.connect());
    QCOMPARE(s.commands, (QList<QByteArray>{"MODE READER", "AUTHINFO USER user", "AUTHINFO PASS pw",
                                            "MODE READER"}));
    const qsizetype n = cl.completed.count();
    cl.c.select_group(QStringLiteral("alt.x"));
    QVERIFY(cl.finish(n));
    QCOMPARE(s.commands.mid(4), (QList<QByteArray>{"GROUP alt.x", "AUTHINFO USER user",
                                                   "AUTHINFO PASS pw", "GROUP alt.x"}));
    QCOMPARE(cl.c.last_article(), qint64(1));

    // Without a user name a 480 is a refusal, not a loop.
    ScriptServer s2;
    s2.on("GROUP", ScriptServer::reply("480 Authentication required"));
    QVERIFY(s2.start());
    Client c2(s2.setting());
    QVERIFY(c2.connect());
    const qsizetype m = c2.completed.count();
    c2.c.select_group(QStringLiteral("alt.x"));
    QVERIFY(!c2.finish(m));
    QCOMPARE(c2.error_number(), qint64(NewsClient::ErrRefused));
    QCOMPARE(s2.commands.count("GROUP alt.x"), 1);
}

void TestNntpClient::login_refused()
{
    ScriptServer s;
    s.on("AUTHINFO", ScriptServer::login("user", "pw"));
    QVERIFY(s.start());
    Client cl(s.setting(), QStringLiteral("user"), QStringLiteral("wrong"));
    QVERIFY(!cl.connect());
    QCOMPARE(cl.error_text(), NewsClient::login_failed_text);
    QVERIFY(grows(cl.closed, 0));
    QVERIFY(!cl.c.is_connected());
}

void TestNntpClient::refusals_keep_connection()
{
    ScriptServer s;
    s.on("GROUP", ScriptServer::reply("502 Permission denied"));
    s.on("ARTICLE", ScriptServer::reply("430 No such article"));
    QVERIFY(s.start());
    Client cl(s.setting());
    QVERIFY(cl.connect());
    qsizetype n = cl.completed.count();
    cl.c.select_group(QStringLiteral("alt.secret"));
    QVERIFY(!cl.finish(n));
    QCOMPARE(cl.error_number(), qint64(NewsClient::ErrRefused));
    n = cl.completed.count();
    cl.c.get_article(5);
    QVERIFY(!cl.finish(n));
    QCOMPARE(cl.error_number(), qint64(NewsClient::ErrRefused));
    QVERIFY(cl.c.is_connected());
    QVERIFY(cl.closed.isEmpty());
}

void TestNntpClient::garbage_reply_drops_connection()
{
    ScriptServer s;
    s.on("GROUP", ScriptServer::reply("\x01\x02 garbage"));
    QVERIFY(s.start());
    Client cl(s.setting());
    QVERIFY(cl.connect());
    const qsizetype n = cl.completed.count();
    cl.c.select_group(QStringLiteral("alt.x"));
    QVERIFY(!cl.finish(n));
    QCOMPARE(cl.error_number(), qint64(NewsClient::ErrProtocol));
    QVERIFY(grows(cl.closed, 0));
    QVERIFY(!cl.c.is_connected());
    // A second operation is refused at once.
    QCOMPARE(cl.c.select_group(QStringLiteral("alt.x")), qint64(NewsClient::ErrNotConnected));
}

void TestNntpClient::over_long_line_is_an_error()
{
    ScriptServer s;
    const QByteArray long_line(300 * 1024, 'x');
    s.on("XOVER", ScriptServer::raw("224 overview\r\n" + long_line));
    s.on("ARTICLE", ScriptServer::raw("220 1 <a@b>\r\n" + long_line + "\r\n.\r\n"));
    QVERIFY(s.start());
    for (bool with_newline : {false, true}) {
        Client cl(s.setting());
        cl.c.set_max_line_length(64 * 1024);
        QVERIFY(cl.connect());
        const qsizetype n = cl.completed.count();
        if (with_newline)
            cl.c.get_article(1);
        else
            cl.c.xover(1, 2);
        QVERIFY(!cl.finish(n));
        QCOMPARE(cl.error_number(), qint64(NewsClient::ErrLineTooLong));
        QVERIFY(grows(cl.closed, 0));
    }
}

void TestNntpClient::close_inside_block_is_reset()
{
    ScriptServer s;
    s.on("ARTICLE", ScriptServer::close("220 1 <a@b>\r\nSubject: cut\r\n\r\nhalf of it"));
    s.on("XOVER", ScriptServer::reset("224 overview\r\n1\ta\tb"));
    QVERIFY(s.start());
    {
        Client cl(s.setting());
        QVERIFY(cl.connect());
        const qsizetype n = cl.completed.count();
        cl.c.get_article(1);
        QVERIFY(!cl.finish(n));
        QCOMPARE(cl.error_text(), NewsClient::reset_text);
        QCOMPARE(cl.errors.last().at(0).toLongLong(), qint64(NewsClient::ErrConnectionReset));
    }
    {
        Client cl(s.setting());
        QVERIFY(cl.connect());
        const qsizetype n = cl.completed.count();
        cl.c.xover(1, 2);
        QVERIFY(!cl.finish(n));
        QCOMPARE(cl.error_text(), NewsClient::reset_text);
    }
}

void TestNntpClient::stall_times_out()
{
    ScriptServer s;
    s.on("XOVER", ScriptServer::stall("224 overview\r\n1\ta\tb\tc\t<1@x>\t\t5\t1\t\r\n"));
    QVERIFY(s.start());
    Client cl(s.setting());
    QVERIFY(cl.connect());
    cl.c.set_timeout(300);
    const qsizetype n = cl.completed.count();
    cl.c.xover(1, 5);
    QVERIFY(!cl.finish(n));
    QCOMPARE(cl.error_number(), qint64(NewsClient::ErrTimedOut));
    QVERIFY(cl.error_text().contains(QStringLiteral("0.3 seconds")));
    QVERIFY(grows(cl.closed, 0));

    // A server that accepts but never greets.
    ScriptServer mute;
    mute.set_greeting({});
    QVERIFY(mute.start());
    Client c2(mute.setting());
    c2.c.set_timeout(300);
    QVERIFY(!c2.connect());
    QCOMPARE(c2.error_number(), qint64(NewsClient::ErrTimedOut));
}

void TestNntpClient::bad_arguments_refused()
{
    NewsClient c;
    c.set_host_name(QStringLiteral("127.0.0.1:99999"));
    QCOMPARE(c.connect_to_server(), qint64(NewsClient::ErrBadArgument));
    QVERIFY(c.error_string().contains(QStringLiteral("port")));

    ScriptServer s;
    QVERIFY(s.start());
    Client cl(s.setting());
    QVERIFY(cl.connect());
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
    struct Case {
        const char *text;
        bool ok;
        const char *host;
        int port;
        bool tls;
    };
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
