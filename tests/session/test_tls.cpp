// nntps:// against a loopback TLS endpoint with the tests' own certificates:
// accepted when its issuer is trusted and the name matches, refused with a
// clear error otherwise.
#include "session/nntpclient.h"
#include "session/session.h"
#include "sessionrig.h"
#include "support/scriptserver.h"

#include <QSslSocket>
#include <QTest>

using namespace brivane;
using namespace brivane::test;

namespace {

QString tls_file(const char *name)
{
    return QStringLiteral(BRIVANE_SOURCE_DIR "/tests/support/tls/") + QLatin1String(name);
}

} // namespace

class TestTls : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void trusted_certificate_accepted();
    void untrusted_certificate_refused();
    void wrong_host_name_refused();
    void ca_file_from_environment();
    void unreadable_ca_file();
};

void TestTls::initTestCase()
{
    if (!QSslSocket::supportsSsl())
        QFAIL("no TLS backend");
}

void TestTls::trusted_certificate_accepted()
{
    ScriptServer s;
    QVERIFY(s.start_tls(tls_file("localhost-cert.pem"), tls_file("localhost-key.pem")));
    for (const QString &host : {QStringLiteral("127.0.0.1"), QStringLiteral("localhost")}) {
        SessionRig r(s.setting(host));
        r.session.ca_file = tls_file("localhost-cert.pem");
        QVERIFY2(r.connect(), qPrintable(r.ui.messages.join(QLatin1Char('|'))));
        QVERIFY(r.session.client()->is_encrypted());
        r.session.disconnect_from_server();
        QVERIFY(r.ui.messages.isEmpty());
    }
    QVERIFY(s.commands.contains("MODE READER"));
}

void TestTls::untrusted_certificate_refused()
{
    ScriptServer s;
    QVERIFY(s.start_tls(tls_file("localhost-cert.pem"), tls_file("localhost-key.pem")));
    SessionRig r(s.setting());
    r.session.connect_to_server();
    QCOMPARE(r.session.news_state(), qint16(StateDisconnected));
    QCOMPARE(r.ui.messages.size(), 1);
    QVERIFY2(r.ui.messages.first().startsWith(QStringLiteral("Asyncerror: The certificate of 127.0.0.1 was refused: ")),
             qPrintable(r.ui.messages.first()));
    QVERIFY(r.ui.messages.first().contains(QStringLiteral("self"), Qt::CaseInsensitive));
    qInfo() << r.ui.messages.first();
    QCOMPARE(r.ui.status.last(), QStringLiteral("Could not connect!"));
    QVERIFY(s.commands.isEmpty());  // nothing was said over it
}

void TestTls::wrong_host_name_refused()
{
    ScriptServer s;
    QVERIFY(s.start_tls(tls_file("other-cert.pem"), tls_file("other-key.pem")));
    SessionRig r(s.setting());
    r.session.ca_file = tls_file("other-cert.pem");
    r.session.connect_to_server();
    QCOMPARE(r.session.news_state(), qint16(StateDisconnected));
    QCOMPARE(r.ui.messages.size(), 1);
    QVERIFY2(r.ui.messages.first().contains(QStringLiteral("host name"), Qt::CaseInsensitive),
             qPrintable(r.ui.messages.first()));
    qInfo() << r.ui.messages.first();
    QVERIFY(s.commands.isEmpty());
}

void TestTls::ca_file_from_environment()
{
    ScriptServer s;
    QVERIFY(s.start_tls(tls_file("localhost-cert.pem"), tls_file("localhost-key.pem")));
    qputenv("BRIVANE_CA_FILE", tls_file("localhost-cert.pem").toLocal8Bit());
    SessionRig r(s.setting());
    const bool ok = r.connect();
    qunsetenv("BRIVANE_CA_FILE");
    QVERIFY2(ok, qPrintable(r.ui.messages.join(QLatin1Char('|'))));
    r.session.disconnect_from_server();
}

void TestTls::unreadable_ca_file()
{
    ScriptServer s;
    QVERIFY(s.start_tls(tls_file("localhost-cert.pem"), tls_file("localhost-key.pem")));
    SessionRig r(s.setting());
    r.session.ca_file = r.home.file(QStringLiteral("missing.pem"));
    r.session.connect_to_server();
    QCOMPARE(r.session.news_state(), qint16(StateDisconnected));
    QCOMPARE(r.ui.messages.size(), 1);
    QVERIFY(r.ui.messages.first().contains(QStringLiteral("missing.pem")));
    QVERIFY(r.ui.enabled.value(int(Button::btnProc)));
}

QTEST_GUILESS_MAIN(TestTls)
#include "test_tls.moc"
