// The client and the session against a real INN2 on 127.0.0.1: logging in,
// the group list, GROUP, XOVER and ARTICLE as a real server sends them, and
// a cancelled article.
#include "db/database.h"
#include "session/grouplist.h"
#include "session/nntpclient.h"
#include "session/session.h"
#include "sessionrig.h"
#include "support/inn2.h"

#include <QSqlQuery>
#include <QTest>

using namespace brivane;
using namespace brivane::test;

class TestInn2 : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void authenticate();
    void group_low_high();
    void xover_lines_with_xref();
    void article_text_identical();
    void large_article();
    void cancelled_article_expired();
};

void TestInn2::initTestCase()
{
    BRIVANE_REQUIRE_INN2(inn);
    Q_UNUSED(inn);
}

void TestInn2::authenticate()
{
    BRIVANE_REQUIRE_INN2(inn);
    const QString group = inn.new_group();
    QVERIFY2(!group.isEmpty(), qPrintable(inn.error()));
    {
        SessionRig r(inn.auth_setting(), Inn2Server::user(), Inn2Server::password());
        QVERIFY2(r.connect(), qPrintable(r.ui.status.join(QLatin1Char('|')) + r.ui.messages.join(QLatin1Char('|'))));
        QCOMPARE(r.select(group), qint16(StateConnected));
        QVERIFY2(r.session.last_ok, qPrintable(r.session.last_reply));
        r.session.disconnect_from_server();
        QVERIFY(r.ui.messages.isEmpty());
    }
    {
        SessionRig r(inn.auth_setting(), Inn2Server::user(), QStringLiteral("wrong"));
        r.session.connect_to_server();
        QCOMPARE(r.session.news_state(), qint16(StateDisconnected));
        QVERIFY(r.has_status(QStringLiteral("Authentication failed....not connected.")));
        QCOMPARE(r.ui.status.last(), QStringLiteral("Could not connect!"));
    }
    {
        // No login at all: the daemon greets, then answers 480 to the group.
        SessionRig r(inn.auth_setting());
        QVERIFY(r.connect());
        QCOMPARE(r.select(group), qint16(StateConnected));
        QVERIFY(!r.session.last_ok);
        QVERIFY2(r.session.last_reply.contains(QStringLiteral("480")), qPrintable(r.session.last_reply));
        QVERIFY(r.has_status(QStringLiteral("Permission denied....not connected.")));
        r.session.disconnect_from_server();
    }
}

void TestInn2::group_low_high()
{
    BRIVANE_REQUIRE_INN2(inn);
    const QString group = inn.new_group();
    QVERIFY2(!group.isEmpty(), qPrintable(inn.error()));
    SessionRig r(inn.setting());
    QVERIFY2(r.connect(), qPrintable(r.ui.status.join(QLatin1Char('|')) + r.ui.messages.join(QLatin1Char('|'))));
    QCOMPARE(r.select(group), qint16(StateConnected));
    QVERIFY(r.session.last_ok);
    QVERIFY(r.session.last_article() < r.session.first_article());  // empty: "211 0 1 0"

    for (int i = 1; i <= 3; ++i)
        QVERIFY2(!inn.post({group}, QStringLiteral("picture %1 of 3").arg(i), QStringLiteral("p@example.invalid"),
                           "line one\nline two\n").isEmpty(), qPrintable(inn.error()));
    QCOMPARE(r.select(group), qint16(StateConnected));
    QCOMPARE(r.session.first_article(), qint64(1));
    QCOMPARE(r.session.last_article(), qint64(3));

    QCOMPARE(r.select(group + QStringLiteral(".nothere")), qint16(StateConnected));
    QVERIFY(!r.session.last_ok);
    QVERIFY(r.session.last_reply.startsWith(QStringLiteral("411")));
}

void TestInn2::xover_lines_with_xref()
{
    BRIVANE_REQUIRE_INN2(inn);
    const QString g1 = inn.new_group();
    const QString g2 = inn.new_group();
    QVERIFY2(!g1.isEmpty() && !g2.isEmpty(), qPrintable(inn.error()));
    const QString id = inn.post({g1, g2}, QStringLiteral("cat.jpg (1/1)"), QStringLiteral("Poster <poster@example.invalid>"),
                                "begin 644 cat.jpg\nM____\nend\n");
    QVERIFY2(!id.isEmpty(), qPrintable(inn.error()));
    inn.post({g1}, QStringLiteral("second"), QStringLiteral("p@example.invalid"), "x\n");

    SessionRig r(inn.setting());
    QVERIFY(r.connect());
    QCOMPARE(r.select(g1), qint16(StateConnected));
    QCOMPARE(r.xover(r.session.first_article(), r.session.last_article()), qint16(StateConnected));
    QVERIFY(r.session.last_ok);
    QCOMPARE(r.session.overview_count(), qint64(2));
    const QStringList f = r.session.overview_line(0).split(QLatin1Char('\t'));
    QVERIFY2(f.size() >= 9, qPrintable(r.session.overview_line(0)));
    QCOMPARE(f.mid(0, 3), (QStringList{QStringLiteral("1"), QStringLiteral("cat.jpg (1/1)"),
                                       QStringLiteral("Poster <poster@example.invalid>")}));
    QCOMPARE(f.at(4), id);
    bool numeric = false;
    QVERIFY(f.at(6).toLongLong(&numeric) > 0 && numeric);
    QCOMPARE(f.at(7), QStringLiteral("3"));
    QVERIFY2(f.at(8).startsWith(QStringLiteral("Xref: ")), qPrintable(f.at(8)));
    QVERIFY(f.at(8).contains(g1 + QStringLiteral(":1")));
    QVERIFY(f.at(8).contains(g2 + QStringLiteral(":1")));

    // A range past the end: zero lines, no error.
    QCOMPARE(r.xover(r.session.last_article() + 1, r.session.last_article() + 10), qint16(StateConnected));
    QVERIFY(r.session.last_ok);
    QCOMPARE(r.session.overview_count(), qint64(0));
    QVERIFY(r.ui.messages.isEmpty());
}

void TestInn2::article_text_identical()
{
    BRIVANE_REQUIRE_INN2(inn);
    const QString group = inn.new_group();
    QVERIFY2(!group.isEmpty(), qPrintable(inn.error()));
    const QByteArray body = ".starts with a dot\n..two dots\n.\nmiddle line\n...\nlast line.\n";
    const QString id = inn.post({group}, QStringLiteral("dots"), QStringLiteral("p@example.invalid"), body,
                                {{"X-Test", "kept"}});
    QVERIFY2(!id.isEmpty(), qPrintable(inn.error()));

    SessionRig r(inn.setting());
    QVERIFY(r.connect());
    QCOMPARE(r.select(group), qint16(StateConnected));
    QCOMPARE(r.article(r.session.last_article()), qint16(StateConnected));
    QVERIFY(!r.session.msg_expired);
    const QByteArray text = r.session.article_text();
    const qsizetype split = text.indexOf("\r\n\r\n");
    QVERIFY(split > 0);
    const QByteArray headers = text.left(split + 2);
    QVERIFY(headers.contains("Subject: dots\r\n"));
    QVERIFY(headers.contains("Message-ID: " + id.toUtf8() + "\r\n"));
    QVERIFY(headers.contains("X-Test: kept\r\n"));
    QCOMPARE(text.mid(split + 4), QByteArray(body).replace("\n", "\r\n"));
    QCOMPARE(r.session.article_progress(), qint64(text.count("\r\n")));
}

void TestInn2::large_article()
{
    BRIVANE_REQUIRE_INN2(inn);
    const QString group = inn.new_group();
    QVERIFY2(!group.isEmpty(), qPrintable(inn.error()));
    QByteArray body;
    for (int i = 0; i < 35000; ++i)
        body += (i % 7 == 0 ? "." : "M") + QByteArray::number(i).rightJustified(60, 'x') + '\n';
    QVERIFY(body.size() > 2000000);
    QVERIFY2(!inn.post({group}, QStringLiteral("big.jpg (1/1)"), QStringLiteral("p@example.invalid"), body).isEmpty(),
             qPrintable(inn.error()));

    SessionRig r(inn.setting());
    QVERIFY(r.connect());
    QCOMPARE(r.select(group), qint16(StateConnected));
    QCOMPARE(r.article(1), qint16(StateConnected));
    QVERIFY(r.session.article_text().endsWith("\r\n\r\n" + QByteArray(body).replace("\n", "\r\n")));
    QVERIFY(r.session.total_bytes > body.size());
}

void TestInn2::cancelled_article_expired()
{
    BRIVANE_REQUIRE_INN2(inn);
    const QString group = inn.new_group();
    QVERIFY2(!group.isEmpty(), qPrintable(inn.error()));
    const QString id = inn.post({group}, QStringLiteral("soon gone"), QStringLiteral("p@example.invalid"), "bye\n");
    QVERIFY2(!id.isEmpty(), qPrintable(inn.error()));
    inn.post({group}, QStringLiteral("stays"), QStringLiteral("p@example.invalid"), "here\n");
    QVERIFY2(inn.cancel(id), qPrintable(inn.error()));

    SessionRig r(inn.setting());
    QVERIFY(r.connect());
    QCOMPARE(r.select(group), qint16(StateConnected));
    QCOMPARE(r.article(1), qint16(StateConnected));
    QVERIFY(r.session.msg_expired);
    QCOMPARE(r.ui.status.last(), QStringLiteral("    Message expired from server!"));
    QVERIFY(r.ui.messages.isEmpty());

    r.session.msg_expired = false;
    QCOMPARE(r.article(2), qint16(StateConnected));
    QVERIFY(!r.session.msg_expired);
    QVERIFY(r.session.article_text().contains("\r\n\r\nhere\r\n"));
}

QTEST_GUILESS_MAIN(TestInn2)
#include "test_inn2.moc"
