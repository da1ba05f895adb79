#pragma once
// A small scripted NNTP server on 127.0.0.1 for the faults a real server
// will not make on demand: a reset in the middle of a reply, a stall, a
// garbage reply, an over-long line, a close right after the greeting.
//
// Each command is answered by the handler registered for its verb (the
// first two words are tried first, so "LIST OVERVIEW.FMT" can differ from
// "LIST"). The canned handlers cover the usual cases:
//
//     ScriptServer server;
//     QVERIFY(server.start());
//     server.on("GROUP", ScriptServer::reply("211 3 1 3 alt.test"));
//     server.on("XOVER", ScriptServer::stall());          // never answers
//     server.on("ARTICLE", ScriptServer::reset("220 1 <a@b> article\r\nPart"));
//     settings.news_server = server.setting();
//
// Everything runs in the test's own event loop; the client under test never
// blocks, so the two take turns.
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpSocket>
#include <QVariantMap>
#include <functional>

class QTcpServer;

namespace brivane::test {

class ScriptServer;

// One client connection of the scripted server.
class ScriptConnection : public QObject {
    Q_OBJECT
public:
    ScriptConnection(ScriptServer *server, QTcpSocket *socket);

    void write(const QByteArray &bytes);
    // `line` and CR LF.
    void write_line(const QByteArray &line);
    // A status line, the lines dot-stuffed, and the closing ".".
    void write_block(const QByteArray &status, const QList<QByteArray> &lines);
    // `bytes` in pieces cut at the given offsets, `delay_ms` apart, so the
    // client sees them in separate reads. Whatever is written meanwhile
    // follows the last piece.
    void write_split(const QByteArray &bytes, const QList<qsizetype> &cuts, int delay_ms = 30);
    // Sends what is buffered or queued, then a TCP reset (SO_LINGER 0).
    void reset();
    // Sends what is buffered or queued, then closes politely.
    void close();

    // Free for handlers: per-connection state such as "authenticated".
    QVariantMap state;

private:
    void on_ready_read();
    void pump();
    ScriptServer *server_;
    QPointer<QTcpSocket> socket_;
    QByteArray in_;
    QList<QPair<QByteArray, int>> queue_;  // pieces still to send, each with its delay
    enum class End { None, Close, Reset } end_ = End::None;  // waiting for the queue
};

class ScriptServer : public QObject {
    Q_OBJECT
public:
    // A handler gets the connection and the text after the verb.
    using Handler = std::function<void(ScriptConnection &, const QByteArray &args)>;

    explicit ScriptServer(QObject *parent = nullptr);
    ~ScriptServer() override;

    // Listens on 127.0.0.1 and a free port.
    bool start();
    // The same with implicit TLS (the certificate and key in PEM files).
    bool start_tls(const QString &cert_file, const QString &key_file);
    quint16 port() const;
    // The server setting that reaches it: "127.0.0.1:port" (or nntps://).
    QString setting(const QString &host = QStringLiteral("127.0.0.1")) const;

    // The greeting; default "200 scripted news server ready". Empty: none.
    void set_greeting(const QByteArray &line) { greeting_ = line; }
    // Close (FIN) each connection right after the greeting.
    void set_close_after_greeting(bool on) { close_after_greeting_ = on; }
    // Registers the handler of a verb ("GROUP", "LIST OVERVIEW.FMT", ...).
    void on(const QByteArray &verb, Handler handler);

    // Canned handlers.
    static Handler reply(const QByteArray &text);  // text + CR LF (text may hold several lines)
    static Handler raw(const QByteArray &bytes);   // exactly these bytes
    static Handler block(const QByteArray &status, const QList<QByteArray> &lines);
    static Handler reset(const QByteArray &partial = {});  // partial bytes, then a reset
    static Handler close(const QByteArray &partial = {});  // partial bytes, then a polite close
    static Handler stall(const QByteArray &partial = {});  // partial bytes, then silence
    // 480 until the connection logged in with user/password, then `then`.
    static Handler needs_login(Handler then);
    // AUTHINFO USER/PASS accepting only user/password (281), else 481.
    static Handler login(const QByteArray &user, const QByteArray &password);

    // Every command line received, all connections, in order.
    QList<QByteArray> commands;
    int connections = 0;

signals:
    void command_received(const QByteArray &line);

private:
    friend class ScriptConnection;
    void on_new_connection();
    void dispatch(ScriptConnection &c, const QByteArray &line);
    QTcpServer *server_ = nullptr;
    bool tls_ = false;
    QByteArray greeting_ = "200 scripted news server ready";
    bool close_after_greeting_ = false;
    QHash<QByteArray, Handler> handlers_;
};

} // namespace brivane::test
