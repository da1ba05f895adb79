// brivane-cli run against the two kinds of server a user meets besides the
// open one: implicit TLS (certificate checked against the CA named in
// BRIVANE_CA_FILE) and a server that wants a login for every command.
#include "test_run_support.h"

#include "support/inn2.h"

#include <QDir>
#include <QTest>

using namespace brivane;
using namespace brivane::test;

class TestRunServers : public QObject {
    Q_OBJECT
private slots:
    void run_data();
    void run();
};

void TestRunServers::run_data()
{
    QTest::addColumn<bool>("tls");
    QTest::newRow("tls") << true;
    QTest::newRow("login") << false;
}

void TestRunServers::run()
{
    QFETCH(bool, tls);
    BRIVANE_REQUIRE_INN2(inn);
    const QList<QByteArray> pics = noisy_jpegs(3, tls ? 6000 : 6100);
    TempHome home;
    QString why;
    const QString dl = posted_picture_home(inn, home, pics, QStringLiteral("s"), &why);
    QVERIFY2(!dl.isEmpty(), qPrintable(why));

    // The subscription moves to the server under test.
    const QString server = tls ? inn.tls_setting() : inn.auth_setting();
    {
        Database db;
        QVERIFY(db.open(home.file(QStringLiteral("brivane.mdb"))));
        QVERIFY(db.exec(QStringLiteral("update groups set server = ?"), {server}));
    }
    Settings s(home.file(QStringLiteral("Brivane.ini")));
    s.news_server = server;
    s.save(QStringLiteral("news_server"));
    if (tls) {
        qputenv("BRIVANE_CA_FILE", inn.ca_file().toLocal8Bit());
    } else {
        s.userid = Inn2Server::user();
        s.password = Inn2Server::password();
        s.save(QStringLiteral("userid"));
        s.save(QStringLiteral("password"));
    }

    QByteArray out, err;
    const int code = run_cli(home.path(), {QStringLiteral("run")}, &out, &err);
    qunsetenv("BRIVANE_CA_FILE");
    QVERIFY2(code == 0, (out + err).constData());
    QVERIFY2(out.contains("Processed all groups"), out.constData());
    QVERIFY(out.contains("Total Pictures: 3"));
    QStringList names;
    for (int i = 1; i <= pics.size(); ++i) {
        names << QStringLiteral("s%1.jpg").arg(i);
        QCOMPARE(read_file(dl + QStringLiteral("/s%1.jpg").arg(i)), pics.at(i - 1));
    }
    QCOMPARE(QDir(dl).entryList(QDir::Files | QDir::Hidden), names);
    QCOMPARE(query_number(home, QStringLiteral("select last_msg from groups")), qint64(pics.size()));
}

QTEST_MAIN(TestRunServers)
#include "test_run_servers.moc"
