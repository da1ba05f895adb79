// The session against the scripted server: connecting and disconnecting,
// the status lines, lights and buttons, and where each fault leaves news_state.
#include "session/nntpclient.h"
#include "session/session.h"
#include "sessionrig.h"
#include "shell/textutil.h"
#include "support/scriptserver.h"

#include <QFile>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

using namespace brivane;
using namespace brivane::test;

namespace {

const QRegularExpression connected_line(QStringLiteral("^\\d{1,2}:\\d\\d:\\d\\d.* Connected!$"));
const QRegularExpression disconnected_line(QStringLiteral("^\\d{1,2}:\\d\\d:\\d\\d.* Disconnected$"));

bool proc_enabled(const SessionRig &r) { return r.ui.enabled.value(int(Button::btnProc)); }
bool disc_enabled(const SessionRig &r) { return r.ui.enabled.value(int(Button::btnDisc)); }

} // namespace

class TestSession : public QObject {
    Q_OBJECT
private slots:
    void server_not_set();
    void connect_and_disconnect();
    void disconnect_without_connection();
    void fresh_client_per_connection();
    void host_not_found();
    void connect_time_limit();
    void close_after_greeting();
    void connection_refused();
    void login_right_and_wrong();
    void expired_article();
    void no_such_group_is_reported_not_fatal();
    void reset_during_article();
    void stall_during_xover();
    void garbage_reply();
    void over_long_line();
    void idle_connection_dropped();
    void stop_during_waits();
    void operation_without_connection();
    void log_and_byte_count();
    void progress_and_results();
    void clear_display_boxes();
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
    QVERIFY(r.connect());
    QCOMPARE(r.ui.status.value(0), QStringLiteral("Connecting to server..."));
    QVERIFY2(connected_line.match(r.ui.status.value(1)).hasMatch(), qPrintable(r.ui.status.value(1)));
    QCOMPARE(r.ui.lights, (QList<int>{LightYellow, LightGreen}));
    QVERIFY(!proc_enabled(r));
    QVERIFY(disc_enabled(r));
    QVERIFY(r.session.client());

    r.session.disconnect_from_server();
    QCOMPARE(r.session.news_state(), qint16(StateDisconnected));
    QVERIFY2(disconnected_line.match(r.ui.status.last()).hasMatch(), qPrintable(r.ui.status.last()));
    QCOMPARE(r.ui.lights.last(), int(LightRed));
    QVERIFY(proc_enabled(r));
    QVERIFY(!disc_enabled(r));
    QVERIFY(!r.session.client());
    QCOMPARE(s.commands.last(), QByteArray("QUIT"));
    QVERIFY(r.ui.messages.isEmpty());
}

void TestSession::disconnect_without_connection()
{
    SessionRig r(QStringLiteral("127.0.0.1:1"));
    r.session.disconnect_from_server();
    r.session.disconnect_from_server();
    QCOMPARE(r.session.news_state(), qint16(StateDisconnected));
    QVERIFY(r.ui.status.isEmpty());  // nothing to say when there was nothing to close
    QVERIFY(r.ui.messages.isEmpty());
    QVERIFY(proc_enabled(r));
    QVERIFY(!disc_enabled(r));
}

void TestSession::fresh_client_per_connection()
{
    ScriptServer s;
    QVERIFY(s.start());
    SessionRig r(s.setting());
    QVERIFY(r.connect());
    r.session.disconnect_from_server();
    QVERIFY(r.connect());
    r.session.disconnect_from_server();
    QCOMPARE(s.connections, 2);
    QCOMPARE(s.commands.count("MODE READER"), 2);
}

void TestSession::host_not_found()
{
    // Empty labels are refused by the resolver itself, no query leaves the machine.
    SessionRig r(QStringLiteral("a..b"));
    r.session.connect_to_server();
    QCOMPARE(r.session.news_state(), qint16(StateDisconnected));
    QCOMPARE(r.ui.status, (QStringList{QStringLiteral("Connecting to server..."),
                                       QStringLiteral("Host not found: a..b"),
                                       QStringLiteral("Could not connect!")}));
    QVERIFY(proc_enabled(r));
    QVERIFY(!disc_enabled(r));
    QVERIFY(r.ui.messages.isEmpty());
    QVERIFY(!r.session.client());
}

void TestSession::connect_time_limit()
{
    ScriptServer s;
    s.set_greeting({});  // accepts, never speaks
    QVERIFY(s.start());
    SessionRig r(s.setting());
    r.session.timeouts.connect = 400;
    r.session.connect_to_server();
    QCOMPARE(r.session.news_state(), qint16(StateDisconnected));
    QCOMPARE(r.ui.status.last(), QStringLiteral("Connect timed out!"));
    QVERIFY(r.ui.messages.isEmpty());
    QVERIFY(proc_enabled(r));
    QVERIFY(!disc_enabled(r));
    QVERIFY(!r.session.client());
}

void TestSession::close_after_greeting()
{
    ScriptServer s;
    s.set_close_after_greeting(true);
    QVERIFY(s.start());
    SessionRig r(s.setting());
    r.session.connect_to_server();
    QCOMPARE(r.session.news_state(), qint16(StateDisconnected));
    QVERIFY(r.has_status(QStringLiteral("Socket connection reset....not connected.")));
    QCOMPARE(r.ui.status.last(), QStringLiteral("Could not connect!"));
    QVERIFY(proc_enabled(r));
    QVERIFY(!r.session.client());
}

void TestSession::connection_refused()
{
    SessionRig r(QStringLiteral("127.0.0.1:1"));
    r.session.connect_to_server();
    QCOMPARE(r.session.news_state(), qint16(StateDisconnected));
    QCOMPARE(r.ui.messages.size(), 1);
    QVERIFY(r.ui.messages.first().startsWith(QStringLiteral("Asyncerror: Connection refused")));
    QCOMPARE(r.ui.status.last(), QStringLiteral("Could not connect!"));
    QVERIFY(proc_enabled(r));

    SessionRig bad(QStringLiteral("host:notaport"));
    bad.session.connect_to_server();
    QCOMPARE(bad.session.news_state(), qint16(StateDisconnected));
    QCOMPARE(bad.ui.messages.size(), 1);
    QVERIFY(bad.ui.messages.first().contains(QStringLiteral("port")));
    QVERIFY(proc_enabled(bad));
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
    {
        SessionRig r(s.setting(), QStringLiteral("user"), QStringLiteral("nope"));
        r.session.connect_to_server();
        QCOMPARE(r.session.news_state(), qint16(StateDisconnected));
        QVERIFY(r.has_status(QStringLiteral("Authentication failed....not connected.")));
        QCOMPARE(r.ui.status.last(), QStringLiteral("Could not connect!"));
        QVERIFY(r.ui.messages.isEmpty());
    }
    {
        // No user name for a server that wants one.
        SessionRig r(s.setting());
        r.session.connect_to_server();
        QCOMPARE(r.session.news_state(), qint16(StateDisconnected));
        QVERIFY(r.has_status(QStringLiteral("Permission denied....not connected.")));
        QCOMPARE(r.ui.status.last(), QStringLiteral("Could not connect!"));
    }
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
        r.session.get_article(n);
        QCOMPARE(r.session.wait(StateGetArticle), qint16(StateConnected));
        QVERIFY(r.session.msg_expired);
        QCOMPARE(r.ui.status.last(), QStringLiteral("    Message expired from server!"));
        QVERIFY(!r.session.last_ok);
    }
    QVERIFY(r.ui.messages.isEmpty());
    // The connection goes on.
    r.session.msg_expired = false;
    r.session.get_article(7);
    QCOMPARE(r.session.wait(StateGetArticle), qint16(StateConnected));
    QVERIFY(!r.session.msg_expired);
    QVERIFY(r.session.last_ok);
    QCOMPARE(r.session.article_text(), QByteArray("Subject: here\r\n\r\nbody\r\n"));
    r.session.disconnect_from_server();
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
    r.session.select_group(QStringLiteral("alt.gone"));
    QCOMPARE(r.session.wait(StateSelectGroup), qint16(StateConnected));
    QVERIFY(!r.session.last_ok);
    QCOMPARE(r.session.last_reply, QStringLiteral("411 No such group alt.gone"));
    QCOMPARE(r.ui.status.size(), lines);  // the caller says it, with the group's name
    QVERIFY(r.ui.messages.isEmpty());

    r.session.select_group(QStringLiteral("alt.here"));
    QCOMPARE(r.session.wait(StateSelectGroup), qint16(StateConnected));
    QVERIFY(r.session.last_ok);
    QCOMPARE(r.session.first_article(), qint64(10));
    QCOMPARE(r.session.last_article(), qint64(12));
    r.session.disconnect_from_server();
}

void TestSession::reset_during_article()
{
    ScriptServer s;
    s.on("ARTICLE", ScriptServer::reset("220 3 <a@b> article\r\nSubject: big\r\n\r\nbegin 644 x.jpg\r\n"));
    QVERIFY(s.start());
    SessionRig r(s.setting());
    QVERIFY(r.connect());
    r.session.get_article(3);
    QCOMPARE(r.session.wait(StateGetArticle), qint16(StateDisconnected));
    QVERIFY(r.has_status(QStringLiteral("Socket connection reset....not connected.")));
    QVERIFY(!r.session.msg_expired);
    QVERIFY(r.ui.messages.isEmpty());
    QVERIFY(proc_enabled(r));
    QVERIFY(!disc_enabled(r));
    QCOMPARE(r.ui.lights.last(), int(LightRed));
    // Disconnecting afterwards is quiet and quick.
    r.session.disconnect_from_server();
    QCOMPARE(r.session.news_state(), qint16(StateDisconnected));
}

void TestSession::stall_during_xover()
{
    ScriptServer s;
    s.on("XOVER", ScriptServer::stall("224 overview follows\r\n1\ts\tf\td\t<1@x>\t\t10\t1\t\r\n"));
    QVERIFY(s.start());
    SessionRig r(s.setting());
    r.session.timeouts.xover = 300;
    QVERIFY(r.connect());
    r.session.xover(1, 10);
    QCOMPARE(r.session.wait(StateXOver), qint16(StateDisconnected));
    QCOMPARE(r.ui.messages, QStringList{QStringLiteral("Asyncerror: No reply from the server for 0.3 seconds.")});
    QVERIFY(!r.session.last_ok);
    QVERIFY(proc_enabled(r));
    QVERIFY(!r.session.client());

    // A stall while fetching an article is a time-out too, not an expired article.
    ScriptServer s2;
    s2.on("ARTICLE", ScriptServer::stall("220 1 <a@b>\r\nSubject: x\r\n"));
    QVERIFY(s2.start());
    SessionRig r2(s2.setting());
    r2.session.timeouts.article = 300;
    QVERIFY(r2.connect());
    r2.session.get_article(1);
    QCOMPARE(r2.session.wait(StateGetArticle), qint16(StateDisconnected));
    QVERIFY(!r2.session.msg_expired);
    QCOMPARE(r2.ui.messages.size(), 1);
}

void TestSession::garbage_reply()
{
    ScriptServer s;
    s.on("GROUP", ScriptServer::reply("OK whatever you say"));
    QVERIFY(s.start());
    SessionRig r(s.setting());
    QVERIFY(r.connect());
    r.session.select_group(QStringLiteral("alt.x"));
    QCOMPARE(r.session.wait(StateSelectGroup), qint16(StateDisconnected));
    QCOMPARE(r.ui.messages, QStringList{QStringLiteral("Asyncerror: Unexpected reply from the server: OK whatever you say")});
    QCOMPARE(r.ui.text(Box::num_lines), QStringLiteral("0"));  // the display was cleared
}

void TestSession::over_long_line()
{
    ScriptServer s;
    s.on("XOVER", ScriptServer::raw("224 overview\r\n" + QByteArray(1100 * 1024, 'y')));
    QVERIFY(s.start());
    SessionRig r(s.setting());
    QVERIFY(r.connect());
    r.session.xover(1, 2);
    QCOMPARE(r.session.wait(StateXOver), qint16(StateDisconnected));
    QCOMPARE(r.ui.messages.size(), 1);
    QVERIFY(r.ui.messages.first().startsWith(QStringLiteral("Asyncerror: The server sent a line longer than")));
}

void TestSession::idle_connection_dropped()
{
    ScriptServer s;
    s.on("GROUP", ScriptServer::close("400 idle for too long"));
    QVERIFY(s.start());
    SessionRig r(s.setting());
    QVERIFY(r.connect());
    r.session.select_group(QStringLiteral("alt.x"));
    // 400 is no answer to GROUP; either way the connection is gone.
    QCOMPARE(r.session.wait(StateSelectGroup), qint16(StateDisconnected));
    QVERIFY(proc_enabled(r));
}

void TestSession::stop_during_waits()
{
    ScriptServer s;
    s.on("XOVER", ScriptServer::stall());
    QVERIFY(s.start());
    SessionRig r(s.setting());
    r.session.timeouts.xover = 60000;
    QVERIFY(r.connect());
    r.session.xover(1, 10);
    QTimer::singleShot(100, &r.session, [&] { r.session.stop(); });
    const qint16 end = r.session.wait(StateXOver);
    QVERIFY(end == StateDisconnected || end == StateDisconnecting);
    QCOMPARE(r.session.news_state(), qint16(StateDisconnected));
    QVERIFY(r.has_status(QStringLiteral("Stop button pressed......")));
    QVERIFY(disconnected_line.match(r.ui.status.last()).hasMatch());
    QVERIFY(r.ui.messages.isEmpty());

    // Stop while still connecting.
    ScriptServer mute;
    mute.set_greeting({});
    QVERIFY(mute.start());
    SessionRig r2(mute.setting());
    r2.session.timeouts.connect = 60000;
    QTimer::singleShot(100, &r2.session, [&] { r2.session.stop(); });
    r2.session.connect_to_server();
    QCOMPARE(r2.session.news_state(), qint16(StateDisconnected));
    QVERIFY(!r2.has_status(QStringLiteral("Connect timed out!")));
    QVERIFY(proc_enabled(r2));
    QVERIFY(!disc_enabled(r2));
}

void TestSession::operation_without_connection()
{
    SessionRig r(QStringLiteral("127.0.0.1:1"));
    r.session.select_group(QStringLiteral("alt.x"));
    QCOMPARE(r.session.wait(StateSelectGroup), qint16(StateDisconnected));
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
    {
        SessionRig r(s.setting());
        QVERIFY(r.connect());
        r.session.disconnect_from_server();
        QVERIFY(!QFile::exists(r.home.file(QStringLiteral("log.txt"))));
        QVERIFY(r.session.total_bytes > 0);
    }
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
    s.on("XOVER", ScriptServer::block("224 overview", {"1\tS\tF\tD\t<1@x>\t\t5\t1\t", "2\tS\tF\tD\t<2@x>\t\t5\t1\t"}));
    // Latin-1 bytes in a subject survive as Latin-1, UTF-8 as UTF-8.
    s.on("ARTICLE", ScriptServer::block("220 1 <1@x>", {"Subject: caf\xe9", "", "body"}));
    QVERIFY(s.start());
    SessionRig r(s.setting());
    QVERIFY(r.connect());
    r.session.list_groups();
    QCOMPARE(r.session.wait(StateGetGroups), qint16(StateConnected));
    QCOMPARE(r.session.group_count(), qint64(2000));
    QCOMPARE(r.session.group_line(1999), QStringLiteral("alt.group1999 1 1 y"));
    QVERIFY(r.ui.text(Box::Combo1).startsWith(QStringLiteral("Groups received: ")));

    r.session.xover(1, 2);
    QCOMPARE(r.session.wait(StateXOver), qint16(StateConnected));
    QCOMPARE(r.session.overview_count(), qint64(2));
    QCOMPARE(r.session.overview_line(1), QStringLiteral("2\tS\tF\tD\t<2@x>\t\t5\t1\t"));

    r.session.get_article(1);
    QCOMPARE(r.session.wait(StateGetArticle), qint16(StateConnected));
    QCOMPARE(r.session.article_progress(), qint64(3));
    QCOMPARE(r.session.article_text(), QByteArray("Subject: caf\xe9\r\n\r\nbody\r\n"));
    r.session.disconnect_from_server();
}

void TestSession::clear_display_boxes()
{
    RecordingFrontend ui;
    for (Box b : {Box::Combo1, Box::lo_msg, Box::hi_msg, Box::Text4, Box::sender_box, Box::Text3,
                  Box::num_lines, Box::tot_msg, Box::files_this, Box::lskip, Box::dupes_this, Box::non_bin})
        ui.set_text(b, QStringLiteral("x"));
    clear_display(ui);
    for (Box b : {Box::Combo1, Box::lo_msg, Box::hi_msg, Box::Text4, Box::sender_box, Box::Text3})
        QCOMPARE(ui.text(b), QString());
    for (Box b : {Box::num_lines, Box::tot_msg, Box::files_this, Box::lskip, Box::dupes_this, Box::non_bin})
        QCOMPARE(ui.text(b), QStringLiteral("0"));
}

QTEST_GUILESS_MAIN(TestSession)
#include "test_session.moc"
