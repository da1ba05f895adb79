#pragma once
// A real news server for the tests: INN2 on 127.0.0.1. The first use starts
// innd (through rc.news, unless it already runs) and three nnrpd reader
// daemons of this test process on free loopback ports:
//   port()       plain, open to localhost (read and post)
//   auth_port()  plain, every command needs AUTHINFO user() / password()
//   tls_port()   implicit TLS with a certificate made for this process
//                (CN localhost, SAN DNS:localhost and IP:127.0.0.1); trust
//                it with ca_file()
// Groups get a random suffix, so no test depends on what an earlier run
// left in the spool. At the end of the process the daemons are stopped by
// their PIDs; innd is shut down only when this fixture started it and no
// other test process still uses it.
//
// INN2 is installed and configured by tests/support/inn2-setup.sh. Without it
// BRIVANE_REQUIRE_INN2 skips the test, or fails it when CI is set.
#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

namespace brivane::test {

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

// One article to post.
struct NewsArticle {
    QStringList groups;
    QString subject;
    QString from = QStringLiteral("Tester <tester@example.invalid>");
    QByteArray body;        // lines ended by "\n" or "\r\n"; dot-stuffed on the way
    HeaderList headers;     // further header lines (name, value)
    QString message_id;     // made up when empty
};

class Inn2Server {
public:
    // The process-wide server, started on first use.
    static Inn2Server &instance();

    bool available() const { return available_; }
    const QString &error() const { return error_; }

    QString host() const { return QStringLiteral("127.0.0.1"); }
    quint16 port() const { return port_; }
    quint16 auth_port() const { return auth_port_; }
    quint16 tls_port() const { return tls_port_; }
    // Server settings for Brivane: "127.0.0.1:port", "nntps://localhost:port".
    QString setting() const;
    QString auth_setting() const;
    QString tls_setting(const QString &host = QStringLiteral("localhost")) const;
    // The TLS daemon's certificate (self-signed: it is its own CA).
    QString ca_file() const { return ca_file_; }
    static QString user() { return QStringLiteral("tester"); }
    static QString password() { return QStringLiteral("secret"); }

    // Creates the group prefix + "." + a random suffix; empty on failure.
    QString new_group(const QString &prefix = QStringLiteral("alt.binaries.brivane"));
    // Posts one article; returns its Message-ID, empty on failure (see error()).
    QString post(const QStringList &groups, const QString &subject, const QString &from,
                 const QByteArray &body, const HeaderList &extra_headers = {});
    // Posts many over one connection; the Message-IDs in order, empty on failure.
    QStringList post_all(const QList<NewsArticle> &articles);
    // Cancels an article (ctlinnd cancel); afterwards ARTICLE gives 423.
    bool cancel(const QString &message_id);
    // GROUP as the plain reader daemon answers it.
    bool group_range(const QString &group, qint64 *count, qint64 *low, qint64 *high);

    // Stops what this process started; also run automatically at exit.
    void shutdown();

    Inn2Server(const Inn2Server &) = delete;
    Inn2Server &operator=(const Inn2Server &) = delete;

private:
    Inn2Server();
    ~Inn2Server();
    bool start();
    bool start_innd();
    bool make_files();
    qint64 start_nnrpd(quint16 port, const QStringList &extra, const QString &innconf);
    bool wait_for_greeting(quint16 port, bool tls, int ms);
    bool fail(const QString &why);

    bool available_ = false;
    bool shut_down_ = false;
    QString error_;
    quint16 port_ = 0, auth_port_ = 0, tls_port_ = 0;
    QList<qint64> nnrpd_pids_;
    QString dir_;       // this process's files (certificate, readers file, inn.conf copy)
    QString ca_file_;
};

} // namespace brivane::test

// Puts the INN2 fixture into `server`, or skips the test (fails it under CI)
// when INN2 cannot be used here.
#define BRIVANE_REQUIRE_INN2(server)                                                        \
    auto &server = ::brivane::test::Inn2Server::instance();                                 \
    do {                                                                                    \
        if (!server.available()) {                                                          \
            if (!qEnvironmentVariable("CI").isEmpty())                                      \
                QFAIL(qPrintable(QStringLiteral("INN2 unavailable: ") + server.error()));    \
            else                                                                            \
                QSKIP(qPrintable(QStringLiteral("INN2 unavailable: ") + server.error()));    \
        }                                                                                   \
    } while (false)
