#include "support/scriptserver.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

namespace brivane::test {

// ---------------------------------------------------------------- connection

ScriptConnection::ScriptConnection(ScriptServer *server, QTcpSocket *socket)
    : QObject(server), server_(server), socket_(socket)
{
    socket->setParent(this);
    connect(socket, &QTcpSocket::readyRead, this, &ScriptConnection::on_ready_read);
    connect(socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
}

void ScriptConnection::write(const QByteArray &bytes)
{
    if (!queue_.isEmpty()) {
        // Behind a reply still going out piece by piece: replies stay in order.
        queue_.append({bytes, 0});
        return;
    }
    if (socket_ && socket_->state() == QAbstractSocket::ConnectedState)
        socket_->write(bytes);
}

void ScriptConnection::pump()
{
    if (queue_.isEmpty())
        return;
    const QByteArray piece = queue_.takeFirst().first;
    if (socket_ && socket_->state() == QAbstractSocket::ConnectedState) {
        socket_->write(piece);
        socket_->flush();
    }
    if (!queue_.isEmpty())
        QTimer::singleShot(queue_.first().second, this, &ScriptConnection::pump);
    else if (end_ == End::Close)
        close();
    else if (end_ == End::Reset)
        reset();
}

void ScriptConnection::write_line(const QByteArray &line)
{
    write(line + "\r\n");
}

void ScriptConnection::write_block(const QByteArray &status, const QList<QByteArray> &lines)
{
    QByteArray out = status + "\r\n";
    for (const QByteArray &l : lines) {
        if (l.startsWith('.'))
            out += '.';
        out += l + "\r\n";
    }
    out += ".\r\n";
    write(out);
}

void ScriptConnection::write_split(const QByteArray &bytes, const QList<qsizetype> &cuts, int delay_ms)
{
    QList<QByteArray> pieces;
    qsizetype from = 0;
    for (qsizetype cut : cuts) {
        if (cut <= from || cut >= bytes.size())
            continue;
        pieces << bytes.mid(from, cut - from);
        from = cut;
    }
    pieces << bytes.mid(from);
    const bool idle = queue_.isEmpty();
    for (const QByteArray &piece : pieces)
        queue_.append({piece, delay_ms});
    if (idle)
        pump();
}

void ScriptConnection::reset()
{
    if (!socket_)
        return;
    if (!queue_.isEmpty()) {
        end_ = End::Reset;
        return;
    }
    socket_->flush();
    const qintptr fd = socket_->socketDescriptor();
    if (fd >= 0) {
        struct linger l = {1, 0};
        ::setsockopt(int(fd), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    socket_->abort();
    deleteLater();
}

void ScriptConnection::close()
{
    if (!socket_)
        return;
    if (!queue_.isEmpty()) {
        end_ = End::Close;
        return;
    }
    socket_->flush();
    socket_->disconnectFromHost();
}

void ScriptConnection::on_ready_read()
{
    if (!socket_)
        return;
    in_ += socket_->readAll();
    qsizetype nl;
    while (socket_ && (nl = in_.indexOf('\n')) >= 0) {
        QByteArray line = in_.left(nl);
        in_.remove(0, nl + 1);
        if (line.endsWith('\r'))
            line.chop(1);
        server_->dispatch(*this, line);
    }
}

// ---------------------------------------------------------------- server

ScriptServer::ScriptServer(QObject *parent) : QObject(parent)
{
    on("MODE", reply("200 reader mode, posting prohibited"));
    on("QUIT", [](ScriptConnection &c, const QByteArray &) {
        c.write_line("205 bye");
        c.close();
    });
    on("AUTHINFO", [](ScriptConnection &c, const QByteArray &args) {
        c.write_line(args.toUpper().startsWith("USER") ? "381 password please" : "281 welcome");
    });
    on("LIST OVERVIEW.FMT", block("215 order of fields in overview database",
                                  {"Subject:", "From:", "Date:", "Message-ID:", "References:",
                                   "Bytes:", "Lines:", "Xref:full"}));
}

ScriptServer::~ScriptServer() = default;

bool ScriptServer::start()
{
    server_ = new QTcpServer(this);
    connect(server_, &QTcpServer::newConnection, this, &ScriptServer::on_new_connection);
    return server_->listen(QHostAddress::LocalHost, 0);
}

bool ScriptServer::start_tls(const QString &cert_file, const QString &key_file)
{
    QFile cf(cert_file), kf(key_file);
    if (!cf.open(QIODevice::ReadOnly) || !kf.open(QIODevice::ReadOnly))
        return false;
    const QSslCertificate cert(&cf, QSsl::Pem);
    const QSslKey key(&kf, QSsl::Rsa, QSsl::Pem);
    if (cert.isNull() || key.isNull())
        return false;
    QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
    conf.setLocalCertificate(cert);
    conf.setPrivateKey(key);
    conf.setPeerVerifyMode(QSslSocket::VerifyNone);
    auto *ssl = new QSslServer(this);
    ssl->setSslConfiguration(conf);
    ssl->setHandshakeTimeout(5000);
    server_ = ssl;
    tls_ = true;
    // A TLS connection is handed over once its handshake is done.
    connect(server_, &QTcpServer::pendingConnectionAvailable, this, &ScriptServer::on_new_connection);
    return server_->listen(QHostAddress::LocalHost, 0);
}

quint16 ScriptServer::port() const
{
    return server_ ? server_->serverPort() : 0;
}

QString ScriptServer::setting(const QString &host) const
{
    return (tls_ ? QStringLiteral("nntps://") : QString()) + host + QLatin1Char(':')
        + QString::number(port());
}

void ScriptServer::on(const QByteArray &verb, Handler handler)
{
    handlers_.insert(verb.toUpper(), std::move(handler));
}

void ScriptServer::on_new_connection()
{
    while (server_->hasPendingConnections()) {
        QTcpSocket *s = server_->nextPendingConnection();
        if (!s)
            break;
        ++connections;
        auto *c = new ScriptConnection(this, s);
        if (!greeting_.isEmpty())
            c->write_line(greeting_);
        if (close_after_greeting_)
            c->close();
    }
}

void ScriptServer::dispatch(ScriptConnection &c, const QByteArray &line)
{
    commands << line;
    emit command_received(line);
    const QList<QByteArray> words = line.split(' ');
    const QByteArray one = words.value(0).toUpper();
    const QByteArray two = words.size() > 1 ? one + ' ' + words.at(1).toUpper() : QByteArray();
    if (!two.isEmpty() && handlers_.contains(two)) {
        handlers_.value(two)(c, line.mid(two.size()).trimmed());
        return;
    }
    if (handlers_.contains(one)) {
        handlers_.value(one)(c, line.mid(one.size()).trimmed());
        return;
    }
    c.write_line("500 What?");
}

// ---------------------------------------------------------------- canned

ScriptServer::Handler ScriptServer::reply(const QByteArray &text)
{
    return [text](ScriptConnection &c, const QByteArray &) { c.write_line(text); };
}

ScriptServer::Handler ScriptServer::raw(const QByteArray &bytes)
{
    return [bytes](ScriptConnection &c, const QByteArray &) { c.write(bytes); };
}

ScriptServer::Handler ScriptServer::block(const QByteArray &status, const QList<QByteArray> &lines)
{
    return [status, lines](ScriptConnection &c, const QByteArray &) { c.write_block(status, lines); };
}

ScriptServer::Handler ScriptServer::reset(const QByteArray &partial)
{
    return [partial](ScriptConnection &c, const QByteArray &) {
        c.write(partial);
        // Give the partial reply a moment to leave before the reset.
        QTimer::singleShot(50, &c, [&c] { c.reset(); });
    };
}

ScriptServer::Handler ScriptServer::close(const QByteArray &partial)
{
    return [partial](ScriptConnection &c, const QByteArray &) {
        c.write(partial);
        c.close();
    };
}

ScriptServer::Handler ScriptServer::stall(const QByteArray &partial)
{
    return [partial](ScriptConnection &c, const QByteArray &) { c.write(partial); };
}

ScriptServer::Handler ScriptServer::needs_login(Handler then)
{
    return [then](ScriptConnection &c, const QByteArray &args) {
        if (c.state.value(QStringLiteral("authenticated")).toBool())
            then(c, args);
        else
            c.write_line("480 Authentication required");
    };
}

ScriptServer::Handler ScriptServer::login(const QByteArray &user, const QByteArray &password)
{
    return [user, password](ScriptConnection &c, const QByteArray &args) {
        const QList<QByteArray> w = args.split(' ');
        const QByteArray kind = w.value(0).toUpper();
        const QByteArray value = args.mid(kind.size()).trimmed();
        if (kind == "USER") {
            c.state[QStringLiteral("user")] = value;
            c.write_line("381 password please");
        } else if (kind == "PASS" && c.state.value(QStringLiteral("user")).toByteArray() == user
                   && value == password) {
            c.state[QStringLiteral("authenticated")] = true;
            c.write_line("281 welcome");
        } else if (kind == "PASS") {
            c.write_line("481 Authentication failed");
        } else {
            c.write_line("501 syntax");
        }
    };
}

} // namespace brivane::test
