// Fuzz target: the NNTP client against a server whose every reply is the
// fuzzer's. The input is split at 0xFE bytes into pieces: the first is sent
// when the client connects, each further one when a command line arrives,
// itself in two writes (cut at a place its own first byte picks) so replies
// also end mid-line and mid-block. After the last piece the server closes.
// The client meanwhile connects, selects a group, reads an overview, reads
// an article and one asked for ahead of its turn, asks for a third ahead
// and reads the group list instead, and quits, each step waiting for its end. Any crash, sanitizer report or
// a step that never ends (the client must always report back) is a finding.
#include "session/nntpclient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

using namespace brivane;

namespace {

// Sends the next piece when a command line arrives. A reply cut short
// ends with the client's time limit, kept short here.
struct Server {
    QTcpServer listener;
    QList<QByteArray> pieces;
    qsizetype next = 0;
    QTcpSocket *peer = nullptr;
    QByteArray heard;

    void send_next()
    {
        if (!peer)
            return;
        if (next >= pieces.size()) {
            peer->disconnectFromHost();
            return;
        }
        const QByteArray &p = pieces.at(next++);
        const qsizetype cut = p.isEmpty() ? 0 : qsizetype(uchar(p.at(0))) % (p.size() + 1);
        peer->write(p.left(cut));
        peer->flush();
        peer->write(p.mid(cut));
    }
};

Server *server()
{
    static Server *s = [] {
        auto *s = new Server;
        if (!s->listener.listen(QHostAddress::LocalHost, 0))
            std::abort();

        QObject::connect(&s->listener, &QTcpServer::newConnection, [s] {
            while (QTcpSocket *c = s->listener.nextPendingConnection()) {
                if (s->peer) {  // one client at a time
                    c->abort();
                    c->deleteLater();
                    continue;
                }
                s->peer = c;
                QObject::connect(c, &QTcpSocket::readyRead, c, [s, c] {
                    s->heard += c->readAll();
                    for (qsizetype lf; (lf = s->heard.indexOf('\n')) >= 0;) {
                        s->heard.remove(0, lf + 1);
                        s->send_next();
                    }
                });
                s->send_next();
            }
        });
        return s;
    }();
    return s;
}

QCoreApplication *app()
{
    static int argc = 1;
    static char name[] = "fuzz_nntpclient";
    static char *argv[] = {name, nullptr};
    static QCoreApplication *a = new QCoreApplication(argc, argv);
    return a;
}

// Runs events until the client ends the operation it started; false when
// it never does.
bool wait_for(bool *ended, qint64 started)
{
    if (started != 0)
        return true;  // refused at once: nothing follows
    QElapsedTimer clock;
    clock.start();
    while (!*ended) {
        if (clock.elapsed() > 5000)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    *ended = false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    app();
    Server *s = server();
    s->pieces = QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)).split(char(0xfe));
    s->next = 0;
    s->heard.clear();

    {
        auto c = std::make_unique<NewsClient>();
        c->set_host_name(QStringLiteral("127.0.0.1:%1").arg(s->listener.serverPort()));
        c->set_user_name(QStringLiteral("user"));
        c->set_password(QStringLiteral("secret"));
        c->set_timeout(100);
        c->set_quit_timeout(200);
        c->set_max_line_length(4096);
        c->set_article_limit(64 * 1024);
        bool ended = false;
        QObject::connect(c.get(), &NewsClient::completed, [&ended] { ended = true; });
        QObject::connect(c.get(), &NewsClient::dataReceived, [](const QByteArray &t) { (void)t.size(); });

        static const bool verbose = std::getenv("FUZZ_VERBOSE") != nullptr;
        if (!wait_for(&ended, c->connect_to_server()))
            std::abort();
        if (verbose)
            std::fprintf(stderr, "connected %d, error %s\n", c->is_connected(), qPrintable(c->error_string()));
        if (c->is_connected()) {
            auto step = [&](qint64 started) {
                if (!wait_for(&ended, started))
                    std::abort();
                if (verbose)
                    std::fprintf(stderr, "started %lld, connected %d, error %s\n", (long long)started,
                                 c->is_connected(), qPrintable(c->error_string()));
            };
            step(c->select_group(QStringLiteral("alt.test")));
            step(c->xover(c->first_article(), c->last_article()));
            for (qint64 i = 0; i < c->overview_count(); ++i)
                (void)c->overview_line(i).size();
            step(c->get_article(1));
            (void)c->article_text().size();
            c->prefetch_article(2);
            c->prefetch_article(3);
            step(c->get_article(3));  // the reply to 2 passed over
            (void)c->article_text().size();
            c->prefetch_article(4);
            c->prefetch_article(5);
            step(c->get_article(4));
            (void)c->article_text().size();
            c->prefetch_article(6);  // passed over by the list, with 5
            step(c->list_groups());
            for (qint64 i = 0; i < c->group_count(); ++i)
                (void)c->group_line(i).size();
            if (c->disconnect_from_server() == 0) {
                QElapsedTimer clock;
                clock.start();
                while (!ended && clock.elapsed() < 2000)
                    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
            }
        }
    }
    // The server's side of this connection goes before the next input.
    if (s->peer) {
        s->peer->abort();
        delete s->peer;
        s->peer = nullptr;
    }
    QCoreApplication::processEvents();
    return 0;
}
