// The session against the scripted server: connecting and disconnecting,
// the status lines, lights and buttons, and where each fault leaves news_state.
#include "session/nntpclient.h"
#include "session/session.h"
#include "sessionrig.h"
#include "shell/textutil.h"
#include "support/scriptserver.h"

#include <QFile>
#include <QRegularExpression>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

using namespace brivane;
using namespace brivane::test;

namespace {

const QRegularExpression connected_line(QStringLiteral("^\\d{1,2}:\\d\\d:\\d\\d.* Connected!$"));
const QRegularExpression disconnected_line(QStringLiteral("^\\d{1,2}:\\d\\d:\\d\\d.* Disconnected$"));

} // namespace

class TestSession : public QObject {
    Q_OBJECT
private slots:
    void server_not_set();
    void connect_and_disconnect();
    void connect_faults_data();
    void connect_faults();
    void login_right_and_wrong();
    void expired_article();
    void no_such_group_is_reported_not_fatal();
    void faults_drop_connection_data();
    void faults_drop_connection();
    void goodbye_while_idle();
    void stop_during_waits();
    void operation_without_connection();
    void log_and_byte_count();
    void progress_and_results();
};

void TestSession::server_not_set()
{
    for (const QString &server : {QString(), QStringLiteral("   "), QStringLiteral("<Put your server here>")}) {
        SessionRig r(server);
        r.session.connect_to_server();
        QCOMPARE(r.ui.messages, QStringList{QStringLiteral("News Server is not set!")});
        QCOMPARE(r.session.news_state(), qint16(StateDisconnected));
        QVERIFY(r.ui.status.isEmpty());
    }
}

void TestSession::connect_and_disconnect()
{
    ScriptServer s;
    QVERIFY(s.start());
    SessionRig r(s.setting());
    // Nothing to say when there is nothing to close.
    r.session.disconnect_from_server();
    r.session.disconnect_from_server();
    QCOMPARE(r.at_rest(), QString());
    QVERIFY(r.ui.status.isEmpty());

    QVERIFY(r.connect());
    QCOMPARE(r.ui.status.value(0), QStringLiteral("Connecting to server..."));
    QVERIFY2(connected_line.match(r.ui.status.value(1)).hasMatch(), qPrintable(r.ui.status.value(1)));
    QCOMPARE(r.ui.lights, (QList<int>{LightYellow, LightGreen}));
    QVERIFY(!r.ui.enabled.value(int(Button::btnProc)));
    QVERIFY(r.ui.enabled.value(int(Button::btnDisc)));
    QVERIFY(r.session.client());

    r.session.disconnect_from_server();
    QCOMPARE(r.at_rest(), QString());
    QVERIFY2(disconnected_line.match(r.ui.status.last()).hasMatch(), qPrintable(r.ui.status.last()));
    QCOMPARE(r.ui.lights.last(), int(LightRed));
    QCOMPARE(s.commands.last(), QByteArray("QUIT"));
    QVERIFY(r.ui.messages.isEmpty());
    QVERIFY(r.session.total_bytes > 0);
    QVERIFY(!QFile::exists(r.home.file(QStringLiteral("log.txt"))));  // only with /log

    // Each connection gets a fresh client.
    QVERIFY(r.connect());
    r.session.disconnect_from_server();
    QCOMPARE(s.connections, 2);
    QCOMPARE(s.commands.count("MODE READER"), 2);

    // A fault in the goodbye (here a line past the limit) ends the close at
    // once: no message, no waiting out the quit time limit.
    s.on("QUIT", ScriptServer::raw(QByteArray(1100 * 1024, 'y')));
    r.session.timeouts.quit = 30000;
    QVERIFY(r.connect());
    QElapsedTimer clock;
    clock.start();
    r.session.disconnect_from_server();
    QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(r.at_rest(), QString());
    QVERIFY2(r.ui.messages.isEmpty(), qPrintable(r.ui.messages.join('|')));
}

void TestSession::connect_faults_data()
{
    QTest::addColumn<QString>("server");  // "mute", "close": a scripted server that does so
    QTest::addColumn<QStringList>("status");
    QTest::addColumn<QString>("message");
    const QString connecting = QStringLiteral("Connecting to server...");
    const QString failed = QStringLiteral("Could not connect!");
    // Empty labels are refused by the resolver itself, no query leaves the machine.
    QTest::newRow("host not found") << QStringLiteral("a..b")
                                    << QStringList{connecting, QStringLiteral("Host not found: a..b"), failed}
                                    << QString();
    QTest::newRow("time limit") << QStringLiteral("mute")
                                << QStringList{connecting, QStringLiteral("Connect timed out!")} << QString();
    QTest::newRow("close after greeting")
        << QStringLiteral("close")
        << QStringList{connecting, QStringLiteral("Socket connection reset....not connected."), failed} << QString();
    QTest::newRow("refused") << QStringLiteral("127.0.0.1:1") << QStringList{connecting, failed}
                             << QStringLiteral("Asyncerror: Connection refused by 127.0.0.1:1");
    QTest::newRow("bad port")
        << QStringLiteral("host:notaport") << QStringList{connecting}
        << QStringLiteral("Invalid news server \"host:notaport\": the port must be a number from 1 to 65535");
}

void TestSession::connect_faults()
{
    QFETCH(QString, server);
    QFETCH(QStringList, status);
    QFETCH(QString, message);
    ScriptServer s;
    if (server == QLatin1String("mute") || server == QLatin1String("close")) {
        if (server == QLatin1String("mute"))
            s.set_greeting({});
        s.set_close_after_greeting(server == QLatin1String("close"));
        QVERIFY(s.start());
        server = s.setting();
    }
    SessionRig r(server);
    r.session.timeouts.connect = 400;
    r.session.connect_to_server();
    QCOMPARE(r.at_rest(), QString());
    QCOMPARE(r.ui.status, status);
    QCOMPARE(r.ui.messages, message.isEmpty() ? QStringList() : QStringList{message});
}

void TestSession::login_right_and_wrong()
{
    ScriptServer s;
    s.on("AUTHINFO", ScriptServer::login("user", "pw"));
    s.on("MODE", ScriptServer::needs_login(ScriptServer::reply("200 ok")));
    QVERIFY(s.start());
    {
        SessionRig r(s.setting(), QStringLiteral("user"), QStringLiteral("pw"));
        QVERIFY(r.connect());
        r.session.disconnect_from_server();
    }
    // A wrong password, and no user name for a server that wants one: each
    // said with the server's own words (a wrong password reads unlike a
    // connection limit or an expired account).
    const QList<std::tuple<QString, QString, QString>> cases = {
        {QStringLiteral("nope"), QStringLiteral("Authentication failed....not connected."),
         QStringLiteral("    The server said: 481 Authentication failed")},
        {QString(), QStringLiteral("Permission denied....not connected."),
         QStringLiteral("    The server requires a login: 480 Authentication required")},
    };
    for (const auto &[password, line, words] : cases) {
        SessionRig r(s.setting(), password.isEmpty() ? QString() : QStringLiteral("user"), password);
        r.session.connect_to_server();
        QCOMPARE(r.session.news_state(), qint16(StateDisconnected));
        QVERIFY2(r.has_status(line), qPrintable(r.ui.status.join(QLatin1Char('|'))));
        QCOMPARE(r.ui.status.value(r.ui.status.indexOf(line) + 1), words);
        QCOMPARE(r.ui.status.last(), QStringLiteral("Could not connect!"));
        QVERIFY(r.ui.messages.isEmpty());
    }
    // A server that takes no password in the clear says so, and the user is told how.
    ScriptServer tls_only;
    tls_only.on("AUTHINFO", ScriptServer::reply("483 Encryption or stronger authentication required"));
    tls_only.on("MODE", ScriptServer::needs_login(ScriptServer::reply("200 ok")));
    QVERIFY(tls_only.start());
    SessionRig r(tls_only.setting(), QStringLiteral("user"), QStringLiteral("pw"));
    r.session.connect_to_server();
    QCOMPARE(r.session.news_state(), qint16(StateDisconnected));
    const QStringList &st = r.ui.status;
    // One that wants TLS for reading at all says so too.
    ScriptServer tls_for_all;
    tls_for_all.on("MODE", ScriptServer::reply("483 TLS required"));
    QVERIFY(tls_for_all.start());
    {
        SessionRig all(tls_for_all.setting());
        all.session.connect_to_server();
        QCOMPARE(all.session.news_state(), qint16(StateDisconnected));
        QVERIFY2(all.has_status(QStringLiteral("    The server wants an encrypted connection (set it as nntps://host): "
                                               "483 TLS required")),
                 qPrintable(all.ui.status.join(QLatin1Char('|'))));
        QVERIFY(all.ui.messages.isEmpty());
    }
    const qsizetype at = st.indexOf(QStringLiteral("Authentication failed....not connected."));
    QVERIFY2(at >= 0, qPrintable(st.join(QLatin1Char('|'))));
    QCOMPARE(st.value(at + 1), QStringLiteral("    The server said: 483 Encryption or stronger authentication required"));
    QVERIFY(st.value(at + 2).contains(QStringLiteral("nntps://")));
}

void TestSession::expired_article()
{
    ScriptServer s;
    s.on("ARTICLE", [](ScriptConnection &c, const QByteArray &args) {
        if (args == "5")
            c.write_line("423 No such article number 5");
        else if (args == "6")
            c.write_line("430 No such article");
        else
            c.write_block("220 " + args + " <x@y> article", {"Subject: here", "", "body"});
    });
    QVERIFY(s.start());
    SessionRig r(s.setting());
    QVERIFY(r.connect());
    for (qint64 n : {5, 6}) {
        r.session.msg_expired = false;
        QCOMPARE(r.article(n), qint16(StateConnected));
        QVERIFY(r.session.msg_expired);
        QCOMPARE(r.ui.status.last(), QStringLiteral("    Message expired from server!"));
        QVERIFY(!r.session.last_ok);
    }
    QVERIFY(r.ui.messages.isEmpty());
    // The connection goes on.
    r.session.msg_expired = false;
    QCOMPARE(r.article(7), qint16(StateConnected));
    QVERIFY(!r.session.msg_expired);
    QVERIFY(r.session.last_ok);
    QCOMPARE(r.session.article_text(), QByteArray("Subject: here\r\n\r\nbody\r\n"));
}

void TestSession::no_such_group_is_reported_not_fatal()
{
    ScriptServer s;
    s.on("GROUP", [](ScriptConnection &c, const QByteArray &args) {
        c.write_line(args == "alt.gone" ? "411 No such group alt.gone" : "211 3 10 12 " + args);
    });
    QVERIFY(s.start());
    SessionRig r(s.setting());
    QVERIFY(r.connect());
    const qsizetype lines = r.ui.status.size();
    QCOMPARE(r.select(QStringLiteral("alt.gone")), qint16(StateConnected));
    QVERIFY(!r.session.last_ok);
    QCOMPARE(r.session.last_reply, QStringLiteral("411 No such group alt.gone"));
    QCOMPARE(r.ui.status.size(), lines);  // the caller says it, with the group's name
    QVERIFY(r.ui.messages.isEmpty());

    QCOMPARE(r.select(QStringLiteral("alt.here")), qint16(StateConnected));
    QVERIFY(r.session.last_ok);
    QCOMPARE(r.session.first_article(), qint64(10));
    QCOMPARE(r.session.last_article(), qint64(12));
}

void TestSession::faults_drop_connection_data()
{
    QTest::addColumn<QByteArray>("verb");
    QTest::addColumn<ScriptServer::Handler>("handler");
    QTest::addColumn<QString>("status");   // a status line it must give, if any
    QTest::addColumn<QString>("message");  // its message box, if any
    // The time limit of XOVER and ARTICLE: short only where it is what ends
    // the connection; elsewhere a busy machine must not reach it first.
    QTest::addColumn<int>("limit");
    const int generous = 30000;
    QTest::newRow("reset during article")
        << QByteArray("ARTICLE") << ScriptServer::reset("220 2 <a@b> article\r\nSubject: big\r\n\r\nbegin 644 x.jpg\r\n")
        << QStringLiteral("Socket connection reset....not connected.") << QString() << generous;
    QTest::newRow("stall during xover")
        << QByteArray("XOVER") << ScriptServer::stall("224 overview follows\r\n1\ts\tf\td\t<1@x>\t\t10\t1\t\r\n")
        << QString() << QStringLiteral("Asyncerror: No reply from the server for 0.3 seconds.") << 300;
    // Not an expired article: the connection is gone.
    QTest::newRow("stall during article")
        << QByteArray("ARTICLE") << ScriptServer::stall("220 2 <a@b>\r\nSubject: x\r\n") << QString()
        << QStringLiteral("Asyncerror: No reply from the server for 0.3 seconds.") << 300;
    QTest::newRow("garbage reply") << QByteArray("GROUP") << ScriptServer::reply("OK whatever you say") << QString()
                                   << QStringLiteral("Asyncerror: Unexpected reply from the server: OK whatever you say")
                                   << generous;
    QTest::newRow("over-long line")
        << QByteArray("XOVER") << ScriptServer::raw("224 overview\r\n" + QByteArray(1100 * 1024, 'y')) << QString()
        << QStringLiteral("Asyncerror: The server sent a line longer than 1048576 bytes.") << generous;
    // 400 may answer any command: the server ends the session. That is a
    // lost connection with the server's words, not a protocol fault (whose
    // message box would hold up an unattended run).
    QTest::newRow("idle connection dropped")
        << QByteArray("GROUP") << ScriptServer::close("400 idle for too long\r\n")
        << QStringLiteral("    The server said: 400 idle for too long") << QString() << generous;
    QTest::newRow("shutting down, connection left open")
        << QByteArray("XOVER") << ScriptServer::stall("400 Server shutting down\r\n")
        << QStringLiteral("    The server said: 400 Server shutting down") << QString() << generous;
}

void TestSession::faults_drop_connection()
{
    QFETCH(QByteArray, verb);
    QFETCH(ScriptServer::Handler, handler);
    QFETCH(QString, status);
    QFETCH(QString, message);
    QFETCH(int, limit);
    ScriptServer s;
    s.on(verb, handler);
    QVERIFY(s.start());
    SessionRig r(s.setting());
    r.session.timeouts.xover = r.session.timeouts.article = limit;
    QVERIFY(r.connect());
    const qint16 end = verb == "GROUP" ? r.select(QStringLiteral("alt.x"))
                       : verb == "XOVER" ? r.xover(1, 10)
                                         : r.article(2);
    QCOMPARE(end, qint16(StateDisconnected));
    QCOMPARE(r.at_rest(), QString());
    QVERIFY(!r.session.last_ok);
    QVERIFY(!r.session.msg_expired);
    QCOMPARE(r.ui.lights.last(), int(LightRed));
    QCOMPARE(r.ui.text(Box::num_lines), QStringLiteral("0"));  // the display was cleared
    if (!status.isEmpty())
        QVERIFY2(r.has_status(status), qPrintable(r.ui.status.join(QLatin1Char('|'))));
    QCOMPARE(r.ui.messages, message.isEmpty() ? QStringList() : QStringList{message});
    // Disconnecting afterwards is quiet and quick.
    r.session.disconnect_from_server();
    QCOMPARE(r.at_rest(), QString());
}

// A goodbye while nothing is asked (an idle limit), then the close: the
// lost connection comes with the server's words.
void TestSession::goodbye_while_idle()
{
    ScriptServer s;
    s.on("MODE", [](ScriptConnection &c, const QByteArray &) {
        c.write_line("200 ok");
        c.write_split("400 idle timeout\r\n", {1}, 300);
        c.close();
    });
    QVERIFY(s.start());
    SessionRig r(s.setting());
    QVERIFY(r.connect());
    QTRY_VERIFY_WITH_TIMEOUT(r.has_status(QStringLiteral("Socket connection reset....not connected.")), 30000);
    QVERIFY2(r.has_status(QStringLiteral("    The server said: 400 idle timeout")),
             qPrintable(r.ui.status.join(QLatin1Char('|'))));
    QVERIFY(r.ui.messages.isEmpty());
}

void TestSession::stop_during_waits()
{
    ScriptServer s;
    s.on("XOVER", ScriptServer::stall());
    QVERIFY(s.start());
    SessionRig r(s.setting());
    r.session.timeouts.xover = 60000;
    QVERIFY(r.connect());
    QTimer::singleShot(100, &r.session, [&] { r.session.stop(); });
    const qint16 end = r.xover(1, 10);
    QVERIFY(end == StateDisconnected || end == StateDisconnecting);
    QCOMPARE(r.session.news_state(), qint16(StateDisconnected));
    QVERIFY(r.has_status(QStringLiteral("Stop button pressed......")));
    QVERIFY(disconnected_line.match(r.ui.status.last()).hasMatch());
    QVERIFY(r.ui.messages.isEmpty());
    // Stop may come while a connection closes: the run's next group must not connect again.
    r.session.connect_to_server();
    QCOMPARE(r.at_rest(), QString());
    QCOMPARE(s.connections, 1);

    // Stop while still connecting.
    ScriptServer mute;
    mute.set_greeting({});
    QVERIFY(mute.start());
    SessionRig r2(mute.setting());
    r2.session.timeouts.connect = 60000;
    QTimer::singleShot(100, &r2.session, [&] { r2.session.stop(); });
    r2.session.connect_to_server();
    QCOMPARE(r2.at_rest(), QString());
    QVERIFY(!r2.has_status(QStringLiteral("Connect timed out!")));
}

void TestSession::operation_without_connection()
{
    SessionRig r(QStringLiteral("127.0.0.1:1"));
    QCOMPARE(r.select(QStringLiteral("alt.x")), qint16(StateDisconnected));
    QVERIFY(!r.session.last_ok);
    r.session.xover(1, 2);
    QCOMPARE(r.session.news_state(), qint16(StateDisconnected));
    QCOMPARE(r.session.overview_count(), qint64(0));
    QCOMPARE(r.session.article_text(), QByteArray());
}

void TestSession::log_and_byte_count()
{
    ScriptServer s;
    QVERIFY(s.start());
    SessionRig r(s.setting());
    r.session.log_enabled = true;
    r.session.total_bytes = 1199990;
    QVERIFY(r.connect());
    r.session.disconnect_from_server();
    const QByteArray log = r.home.read(QStringLiteral("log.txt"));
    QVERIFY(log.contains("200 scripted news server ready\r\n\r\n"));
    QVERIFY(log.contains("205 bye\r\n\r\n"));
    QCOMPARE(r.ui.text(Box::tot_bytes), format_thousands(r.session.total_bytes, false));
    QVERIFY(r.session.total_bytes > 1200000);
    QVERIFY(r.ui.text(Box::tot_bytes).startsWith(QStringLiteral("1,200,")));
}

void TestSession::progress_and_results()
{
    ScriptServer s;
    QList<QByteArray> groups;
    for (int i = 0; i < 2000; ++i)
        groups << "alt.group" + QByteArray::number(i) + " 1 1 y";
    s.on("LIST", ScriptServer::block("215 list", groups));
    // A UTF-8 subject beside a Latin-1 sender: each field read as what it is.
    s.on("XOVER", ScriptServer::block("224 overview", {"1\tS\tF\tD\t<1@x>\t\t5\t1\t", "2\tS\tF\tD\t<2@x>\t\t5\t1\t",
                                                        "3\tcaf\xc3\xa9\tJos\xe9\tD\t<3@x>\t\t5\t1\t"}));
    // Latin-1 bytes in a subject survive as Latin-1, UTF-8 as UTF-8.
    s.on("ARTICLE", ScriptServer::block("220 1 <1@x>", {"Subject: caf\xe9", "", "body"}));
    QVERIFY(s.start());
    SessionRig r(s.setting());
    QVERIFY(r.connect());
    r.session.list_groups();
    QCOMPARE(r.session.wait(StateGetGroups), qint16(StateConnected));
    QCOMPARE(r.session.group_count(), qint64(2000));
    QCOMPARE(r.session.group_line(1999), QStringLiteral("alt.group1999 1 1 y"));
    QCOMPARE(r.session.group_line(2000), QString());
    QVERIFY(r.ui.text(Box::Combo1).startsWith(QStringLiteral("Groups received: ")));

    QCOMPARE(r.xover(1, 3), qint16(StateConnected));
    QCOMPARE(r.session.overview_count(), qint64(3));
    QCOMPARE(r.session.overview_line(1), QStringLiteral("2\tS\tF\tD\t<2@x>\t\t5\t1\t"));
    QCOMPARE(r.session.overview_line(2), QString::fromUtf8("3\tcaf\u00e9\tJos\u00e9\tD\t<3@x>\t\t5\t1\t"));

    QCOMPARE(r.article(1), qint16(StateConnected));
    QCOMPARE(r.session.article_progress(), qint64(3));
    QCOMPARE(r.session.article_text(), QByteArray("Subject: caf\xe9\r\n\r\nbody\r\n"));
}

QTEST_GUILESS_MAIN(TestSession)
#include "test_session.moc"
