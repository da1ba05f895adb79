// nntps:// against a loopback TLS endpoint with the tests' own certificates:
// accepted when its issuer is trusted and the name matches, refused with a
// clear error otherwise.
#include "session/nntpclient.h"
#include "session/session.h"
#include "sessionrig.h"
#include "support/scriptserver.h"

#include <QRegularExpression>
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
    void refused_data();
    void refused();
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
    // By address and by name; the CA named by the session or by BRIVANE_CA_FILE.
    for (const auto &[host, from_env] : {qMakePair(QStringLiteral("127.0.0.1"), false),
                                         qMakePair(QStringLiteral("localhost"), false),
                                         qMakePair(QStringLiteral("127.0.0.1"), true)}) {
        SessionRig r(s.setting(host));
        if (from_env)
            qputenv("BRIVANE_CA_FILE", tls_file("localhost-cert.pem").toLocal8Bit());
        else
            r.session.ca_file = tls_file("localhost-cert.pem");
        const bool ok = r.connect();
        qunsetenv("BRIVANE_CA_FILE");
        QVERIFY2(ok, qPrintable(host + QLatin1Char(' ') + r.ui.messages.join(QLatin1Char('|'))));
        QVERIFY(r.session.client()->is_encrypted());
        r.session.disconnect_from_server();
        QVERIFY(r.ui.messages.isEmpty());
    }
    QVERIFY(s.commands.contains("MODE READER"));
}

void TestTls::refused_data()
{
    QTest::addColumn<QString>("cert");
    QTest::addColumn<QString>("ca_file");
    QTest::addColumn<QString>("message");  // a pattern
    QTest::addColumn<QString>("status");   // the last status line
    QTest::newRow("untrusted") << QStringLiteral("localhost") << QString()
                               << QStringLiteral("^Asyncerror: The certificate of 127\\.0\\.0\\.1 was refused: (?i).*self")
                               << QStringLiteral("Could not connect!");
    QTest::newRow("wrong host name") << QStringLiteral("other") << tls_file("other-cert.pem")
                                     << QStringLiteral("^Asyncerror: The certificate of 127\\.0\\.0\\.1 was refused: (?i).*host name")
                                     << QStringLiteral("Could not connect!");
    QTest::newRow("unreadable CA file") << QStringLiteral("localhost") << tls_file("missing.pem")
                                        << QStringLiteral("missing\\.pem") << QStringLiteral("Connecting to server...");
}

void TestTls::refused()
{
    QFETCH(QString, cert);
    QFETCH(QString, ca_file);
    QFETCH(QString, message);
    QFETCH(QString, status);
    ScriptServer s;
    QVERIFY(s.start_tls(tls_file(qPrintable(cert + QStringLiteral("-cert.pem"))),
                        tls_file(qPrintable(cert + QStringLiteral("-key.pem")))));
    SessionRig r(s.setting());
    r.session.ca_file = ca_file;
    r.session.connect_to_server();
    QCOMPARE(r.at_rest(), QString());
    QCOMPARE(r.ui.messages.size(), 1);
    QVERIFY2(r.ui.messages.first().contains(QRegularExpression(message)), qPrintable(r.ui.messages.first()));
    QCOMPARE(r.ui.status.last(), status);
    QVERIFY(s.commands.isEmpty());  // nothing was said over it
}

QTEST_GUILESS_MAIN(TestTls)
#include "test_tls.moc"
