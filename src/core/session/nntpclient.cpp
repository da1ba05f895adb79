#include "session/nntpclient.h"

#include <QPointer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>
#include <QSslSocket>
#include <QTcpSocket>

#include <cctype>
#include <cstring>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace brivane {

const QString NewsClient::login_failed_text = QStringLiteral("Login failed.");
const QString NewsClient::tls_required_text = QStringLiteral("Login failed: the server wants an encrypted connection.");
const QString NewsClient::reset_text = QStringLiteral("The current socket connection has been reset.");

namespace {

// The classic overview order after the article number.
const char *const classic_fields[] = {"subject", "from", "date", "message-id",
                                      "references", "bytes", "lines", "xref"};
constexpr int classic_count = 8;
// More overview fields than any server lists: such a format is not
// followed (each line would be widened to all of them).
constexpr int max_format_fields = 100;
// What a kept line costs beyond its bytes (its end offset, list room), so a
// reply of empty lines is held to the reply limit as well.
constexpr qint64 kept_line_cost = 16;

bool has_line_break(const QString &s)
{
    return s.contains(QLatin1Char('\r')) || s.contains(QLatin1Char('\n'))
        || s.contains(QChar(0));
}

QString printable(const QByteArray &line)
{
    QByteArray shown = line.left(200);
    for (char &c : shown) {
        if (static_cast<unsigned char>(c) < 32)
            c = '?';
    }
    return QString::fromUtf8(shown);
}

// A "400" status line: the server ends the session (RFC 3977 3.2.1),
// whatever it was asked.
bool is_goodbye(QByteArrayView line)
{
    return line.startsWith("400") && (line.size() == 3 || line[3] == ' ');
}

// A status line to ARTICLE, HEAD or BODY that a block follows (220 to 222);
// anything else (430, 480, a 223 of STAT) is one line.
bool brings_block(QByteArrayView line)
{
    return line.size() >= 3 && line[0] == '2' && line[1] == '2' && line[2] >= '0' && line[2] <= '2';
}

QString seconds_text(int ms)
{
    return QString::number(ms / 1000.0, 'g', 6);
}

} // namespace

NewsClient::NewsClient(QObject *parent) : QObject(parent)
{
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &NewsClient::on_inactivity);
    if (qEnvironmentVariableIsSet("BRIVANE_CA_FILE"))
        ca_file_ = qEnvironmentVariable("BRIVANE_CA_FILE");
}

NewsClient::~NewsClient()
{
    if (socket_) {
        socket_->disconnect(this);
        socket_->abort();
    }
}

bool NewsClient::is_encrypted() const
{
    auto *ssl = qobject_cast<QSslSocket *>(socket_);
    return ssl && ssl->isEncrypted();
}

int NewsClient::action() const
{
    if (failing_action_ >= 0)
        return failing_action_;
    switch (op_) {
    case Op::None:
        return phase_ == Phase::Quitting ? ActionDisconnect : ActionNone;
    case Op::Connect:
        return ActionConnect;
    case Op::Article:
        return ActionArticle;
    default:
        return ActionCommand;
    }
}

// ---------------------------------------------------------------- connect

qint64 NewsClient::connect_to_server()
{
    if (phase_ != Phase::Idle) {
        error_ = QStringLiteral("This connection object was already used.");
        return ErrBusy;
    }
    QString why;
    if (!ServerAddress::parse(server_, &address_, &why)) {
        error_ = why;
        return ErrBadArgument;
    }
    if (has_line_break(user_) || has_line_break(password_)) {
        error_ = QStringLiteral("The user name or password contains a line break.");
        return ErrBadArgument;
    }

    if (address_.tls) {
        if (!QSslSocket::supportsSsl()) {
            error_ = QStringLiteral("TLS is not available on this system.");
            return ErrTls;
        }
        QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
        if (!ca_file_.isEmpty()) {
            const QList<QSslCertificate> extra = QSslCertificate::fromPath(ca_file_, QSsl::Pem);
            if (extra.isEmpty()) {
                error_ = QStringLiteral("Cannot read CA certificates from %1").arg(ca_file_);
                return ErrTls;
            }
            conf.addCaCertificates(extra);
        }
        conf.setPeerVerifyMode(QSslSocket::VerifyPeer);
        auto *ssl = new QSslSocket(this);
        ssl->setSslConfiguration(conf);
        connect(ssl, &QSslSocket::encrypted, this, &NewsClient::on_encrypted_or_connected);
        connect(ssl, &QSslSocket::sslErrors, this, [this](const QList<QSslError> &errors) {
            for (const QSslError &e : errors)
                tls_errors_ << e.errorString();
        });
        socket_ = ssl;
    } else {
        socket_ = new QTcpSocket(this);
        connect(socket_, &QTcpSocket::connected, this, &NewsClient::on_encrypted_or_connected);
    }
    connect(socket_, &QTcpSocket::readyRead, this, &NewsClient::on_ready_read);
    connect(socket_, &QTcpSocket::errorOccurred, this, &NewsClient::on_socket_error);
    connect(socket_, &QTcpSocket::disconnected, this, &NewsClient::on_peer_closed);

    phase_ = Phase::Connecting;
    op_ = Op::Connect;
    step_ = Step::Greeting;  // the server speaks first
    ++generation_;
    arm_timer();
    if (auto *ssl = qobject_cast<QSslSocket *>(socket_))
        ssl->connectToHostEncrypted(address_.host, address_.port, address_.host);
    else
        socket_->connectToHost(address_.host, address_.port);
    return 0;
}

void NewsClient::on_encrypted_or_connected()
{
    if (phase_ == Phase::Connecting)
        arm_timer();
}

void NewsClient::handle_connect_status(int code, const QByteArray &line)
{
    switch (step_) {
    case Step::Greeting:
        if (code == 200 || code == 201) {
            send("MODE READER", Step::ModeReader);
        } else if (code == 400 || code == 502) {
            fail(ErrRefused, QStringLiteral("The server refused the connection: %1").arg(printable(line)),
                 true);
        } else {
            unexpected(line);
        }
        return;
    case Step::ModeReader:
        if (code == 200 || code == 201 || code == 500 || code == 501) {
            // 500/501: a server without MODE READER is a reader already.
            if (!user_.isEmpty() && !authenticated_)
                start_auth(false);
            else
                finish_connect();
        } else if (code == 502) {
            fail(ErrRefused, QStringLiteral("The server does not allow reading: %1").arg(printable(line)),
                 true);
        } else {
            unexpected(line);
        }
        return;
    default:
        unexpected(line);
    }
}

void NewsClient::finish_connect()
{
    phase_ = Phase::Ready;
    op_ = Op::None;
    step_ = Step::None;
    timer_.stop();
    emit completed(false);
}

// ---------------------------------------------------------------- login

void NewsClient::start_auth(bool resume_command)
{
    auth_resume_ = resume_command;
    send("AUTHINFO USER " + user_.toUtf8(), Step::AuthUser);
}

void NewsClient::handle_auth_status(int code, const QByteArray &line)
{
    if (code != 281 && code != 381)
        refusal_ = printable(line);  // a wrong password, a connection limit, an expired account...
    if (code == 483) {
        // The server takes no password in the clear; it is not a wrong one.
        fail(ErrLoginFailed, tls_required_text, true);
        return;
    }
    if (step_ == Step::AuthUser) {
        if (code == 281) {
            auth_done();
        } else if (code == 381) {
            send("AUTHINFO PASS " + password_.toUtf8(), Step::AuthPass);
        } else if ((code == 500 || code == 501) && !auth_resume_) {
            // The server has no AUTHINFO; go on without and see whether it asks.
            finish_connect();
        } else if (code >= 400 && code < 600) {
            fail(ErrLoginFailed, login_failed_text, true);
        } else {
            unexpected(line);
        }
        return;
    }
    if (code == 281)
        auth_done();
    else if (code >= 400 && code < 600)
        fail(ErrLoginFailed, login_failed_text, true);
    else
        unexpected(line);
}

void NewsClient::auth_done()
{
    authenticated_ = true;
    if (!auth_resume_) {
        finish_connect();
        return;
    }
    send(command_, command_step_);
}

// ---------------------------------------------------------------- disconnect

qint64 NewsClient::disconnect_from_server()
{
    if (!socket_ || phase_ == Phase::Idle || phase_ == Phase::Closed)
        return ErrNoSocket;
    if (phase_ == Phase::Quitting)
        return 0;
    ++generation_;
    if (phase_ == Phase::Ready && op_ == Op::None && held_.isEmpty() && !skipping()) {
        phase_ = Phase::Quitting;
        send("QUIT", Step::Quit);
        timer_.start(quit_timeout_ms_);
        return 0;
    }
    // Still connecting, in the middle of a reply, or replies asked for ahead
    // still to come (megabytes, perhaps, on a slow link): nothing to finish politely.
    op_ = Op::None;
    step_ = Step::None;
    finish_quit();
    return 0;
}

void NewsClient::finish_quit()
{
    drop_socket();
    QPointer<NewsClient> self(this);
    emit completed(false);
    if (self)
        emit closed(true);
}

void NewsClient::abort()
{
    ++generation_;
    op_ = Op::None;
    step_ = Step::None;
    drop_socket();
}

void NewsClient::clear_results()
{
    groups_.clear();
    overview_.clear();
    article_.clear();
    article_.squeeze();
    buffer_.clear();
    buffer_.squeeze();
    article_lines_ = 0;
}

void NewsClient::drop_socket()
{
    timer_.stop();
    phase_ = Phase::Closed;
    in_block_ = false;
    held_.clear();
    skip_ = Skip::None;
    skips_pending_ = 0;
    if (!socket_)
        return;
    QTcpSocket *s = socket_;
    socket_ = nullptr;
    s->disconnect(this);
    s->abort();
    s->deleteLater();
}

// ---------------------------------------------------------------- operations

qint64 NewsClient::check_ready()
{
    if (phase_ != Phase::Ready) {
        error_ = QStringLiteral("Not connected.");
        return ErrNotConnected;
    }
    if (op_ != Op::None) {
        error_ = QStringLiteral("Another operation is still running.");
        return ErrBusy;
    }
    return 0;
}

void NewsClient::start_op(Op op, const QByteArray &command, Step step, bool sent_ahead)
{
    op_ = op;
    ++generation_;
    auth_asked_ = false;
    long_line_in_article_ = false;
    command_ = command;
    command_step_ = step;
    if (sent_ahead)
        expect(step);
    else
        send(command, step);
}

void NewsClient::send(const QByteArray &command, Step step)
{
    // Replies come in order: those sent ahead come before this one's.
    drop_held();
    expect(step);
    if (socket_)
        socket_->write(command + "\r\n");
}

void NewsClient::expect(Step step)
{
    step_ = step;
    in_block_ = false;
    arm_timer();
}

qint64 NewsClient::list_groups()
{
    if (qint64 e = check_ready())
        return e;
    groups_.clear();
    start_op(Op::List, "LIST", Step::List);
    return 0;
}

qint64 NewsClient::select_group(const QString &name)
{
    if (qint64 e = check_ready())
        return e;
    if (name.isEmpty() || has_line_break(name) || name.contains(QLatin1Char(' '))
        || name.contains(QLatin1Char('\t'))) {
        error_ = QStringLiteral("Invalid group name: %1").arg(printable(name.toUtf8()));
        return ErrBadArgument;
    }
    group_ = name;
    first_ = last_ = estimate_ = 0;
    start_op(Op::Group, "GROUP " + name.toUtf8(), Step::Group);
    return 0;
}

qint64 NewsClient::xover(qint64 first, qint64 last)
{
    if (qint64 e = check_ready())
        return e;
    if (first < 0) {
        error_ = QStringLiteral("Invalid article range.");
        return ErrBadArgument;
    }
    overview_.clear();
    range_ = QByteArray::number(first) + '-';
    if (last >= 0)
        range_ += QByteArray::number(last);
    op_ = Op::XOver;
    ++generation_;
    auth_asked_ = false;
    if (last >= 0 && last < first) {
        // An empty range: nothing to ask for. Articles asked for ahead are
        // not wanted any more, as when another command goes out.
        drop_held();
        QTimer::singleShot(0, this, [this, gen = generation_] {
            if (gen == generation_ && op_ == Op::XOver)
                finish_op();
        });
        return 0;
    }
    if (!overview_fmt_known_) {
        command_ = "LIST OVERVIEW.FMT";
        command_step_ = Step::OverviewFmt;
        fmt_fields_.clear();
        send(command_, command_step_);
    } else {
        send_overview_command();
    }
    return 0;
}

void NewsClient::send_overview_command()
{
    auth_asked_ = false;
    command_ = (xover_refused_ ? "OVER " : "XOVER ") + range_;
    command_step_ = xover_refused_ ? Step::Over : Step::XOver;
    send(command_, command_step_);
}

qint64 NewsClient::get_article(qint64 number)
{
    if (qint64 e = check_ready())
        return e;
    if (number < 0) {
        error_ = QStringLiteral("Invalid article number.");
        return ErrBadArgument;
    }
    article_.truncate(0);  // keeps its capacity: the next article is about as big
    article_lines_ = 0;
    article_number_ = number;
    // Sent ahead: the replies before its own are passed over (those
    // articles are no longer wanted), those after it wait.
    const qsizetype at = held_.indexOf(number);
    const bool sent_ahead = at >= 0;
    if (sent_ahead) {
        skips_pending_ += int(at);
        held_.remove(0, at + 1);
    }
    start_op(Op::Article, article_command(number), Step::Article, sent_ahead);
    if (sent_ahead) {
        // Its reply is (partly) in hand or on its way.
        QTimer::singleShot(0, this, [this, gen = generation_] {
            if (gen == generation_ && op_ == Op::Article)
                resume_held();
        });
    }
    return 0;
}

qint64 NewsClient::prefetch_article(qint64 number)
{
    if (phase_ != Phase::Ready) {
        error_ = QStringLiteral("Not connected.");
        return ErrNotConnected;
    }
    if (number < 0) {
        error_ = QStringLiteral("Invalid article number.");
        return ErrBadArgument;
    }
    if (held_.contains(number))
        return 0;  // asked for already
    if (held_.size() >= max_prefetch || step_ == Step::AuthUser || step_ == Step::AuthPass) {
        error_ = QStringLiteral("As many articles as may be are asked for ahead already.");
        return ErrBusy;
    }
    if (!held_.isEmpty() && number < held_.last()) {
        // Taken in the order asked: a smaller one would pass over the rest.
        error_ = QStringLiteral("Articles are asked for ahead in rising order.");
        return ErrBadArgument;
    }
    held_.append(number);
    if (socket_)
        socket_->write(article_command(number) + "\r\n");
    return 0;
}

void NewsClient::drop_held()
{
    skips_pending_ += int(held_.size());
    held_.clear();
}

QByteArray NewsClient::article_command(qint64 number)
{
    return "ARTICLE " + QByteArray::number(number);
}

void NewsClient::resume_held()
{
    // What came while nobody asked, then whatever the socket holds now.
    if (socket_ && socket_->bytesAvailable() > 0) {
        on_ready_read();
        return;
    }
    QPointer<NewsClient> self(this);
    process_buffer();
    // What came was read while nobody asked: its acknowledgement may still wait.
    if (self && socket_ && near_reply_start())
        ack_now();
}

void NewsClient::finish_op()
{
    op_ = Op::None;
    step_ = Step::None;
    in_block_ = false;
    timer_.stop();
    QPointer<NewsClient> self(this);
    if (progress_pending_) {
        progress_pending_ = false;
        emit progress();
        if (!self)
            return;
    }
    emit completed(false);
}

void NewsClient::fail(qint64 number, const QString &description, bool drop)
{
    if (phase_ == Phase::Quitting) {
        // Closing anyway: a fault in the goodbye (or in a reply asked for
        // ahead and being passed over) only ends the close sooner.
        finish_quit();
        return;
    }
    const bool had_op = op_ != Op::None;
    failing_action_ = action();
    error_ = description;
    op_ = Op::None;
    step_ = Step::None;
    in_block_ = false;
    progress_pending_ = false;
    timer_.stop();
    if (drop)
        drop_socket();
    const quint64 gen = ++generation_;
    QPointer<NewsClient> self(this);
    emit asyncError(number, description);
    if (!self)
        return;
    failing_action_ = -1;
    if (gen != generation_)
        return;  // the listener started something else meanwhile
    if (had_op) {
        emit completed(true);
        if (!self || gen != generation_)
            return;
    }
    if (drop)
        emit closed(false);
}

void NewsClient::said_goodbye(const QByteArray &line)
{
    // A shutdown, an idle or connection limit: the connection is lost,
    // nothing was refused.
    farewell_ = printable(line);
    fail(ErrConnectionReset, reset_text, true);
}

void NewsClient::unexpected(const QByteArray &line)
{
    fail(ErrProtocol, QStringLiteral("Unexpected reply from the server: %1").arg(printable(line)), true);
}

// ---------------------------------------------------------------- input

void NewsClient::arm_timer()
{
    if (timeout_ms_ > 0)
        timer_.start(timeout_ms_);
    else
        timer_.stop();
}

void NewsClient::on_ready_read()
{
    if (!socket_)
        return;
    // Read straight onto the end of the buffer: articles are most of what
    // comes, and every extra copy of them costs.
    const qint64 available = socket_->bytesAvailable();
    if (available <= 0)
        return;
    const qsizetype old = buffer_.size();
    buffer_.resize(old + available);
    const qint64 got = socket_->read(buffer_.data() + old, available);
    buffer_.truncate(old + qMax<qint64>(got, 0));
    if (got <= 0)
        return;
    if (op_ != Op::None)
        arm_timer();
    QPointer<NewsClient> self(this);
    // Only valid during the signal: receivers copy what they keep.
    emit dataReceived(QByteArray::fromRawData(buffer_.constData() + old, got));
    if (!self)
        return;
    if (!socket_) {
        buffer_.truncate(old);
        return;
    }
    process_buffer();
    if (self && socket_ && got < quick_ack_below && near_reply_start())
        ack_now();
}

bool NewsClient::near_reply_start() const
{
    // Only near a reply's start: on a slow link every read is short, and a
    // server sending a big reply sends whole segments, which need no help.
    if (skip_ != Skip::None)
        return skipped_bytes_ < quick_ack_below;
    if (skips_pending_ > 0)
        return true;
    if (op_ != Op::None)
        return !in_block_ || block_bytes_ < quick_ack_below;
    // Replies sent ahead wait unread, the first from the buffer's start;
    // only its status line alone needs the help.
    return !held_.isEmpty() && buffer_.size() < 1024;
}

void NewsClient::ack_now()
{
#ifdef TCP_QUICKACK
    // A short piece of a reply (a status line, most often) left to the
    // delayed acknowledgement holds the rest back at a server that waits for
    // it before sending more small writes (Nagle): 40 ms a reply.
    const int fd = int(socket_->socketDescriptor());
    const int one = 1;
    if (fd >= 0)
        ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
#endif
}

void NewsClient::process_buffer()
{
    if (processing_)
        return;
    processing_ = true;
    QPointer<NewsClient> self(this);
    qsizetype pos = 0;
    while (phase_ != Phase::Closed && !holding()) {
        if (in_block_ && step_ == Step::Article && !skipping())
            pos = take_article_run(pos);
        if (block_too_large()) {
            processing_ = false;
            fail(ErrTooLarge,
                 step_ == Step::Article
                     ? QStringLiteral("The article is larger than %1 bytes.").arg(article_limit_)
                     : QStringLiteral("The server sent more than %1 bytes in one reply.").arg(max_block),
                 true);
            if (self)
                buffer_.clear();
            return;
        }
        const qsizetype nl = buffer_.indexOf('\n', pos);
        if (nl < 0)
            break;
        qsizetype len = nl - pos;
        const char *line = buffer_.constData() + pos;
        if (len > 0 && line[len - 1] == '\r')
            --len;
        pos = nl + 1;
        if (len > max_line_) {
            processing_ = false;
            fail_long_line();
            if (self)
                buffer_.clear();
            return;
        }
        // handle_line copies what it keeps before it tells anyone.
        handle_line(line, len);
        if (!self)
            return;
    }
    processing_ = false;
    if (phase_ == Phase::Closed) {
        buffer_.clear();
        return;
    }
    buffer_.remove(0, pos);
    if (holding()) {
        if (buffer_.size() <= max_held)
            return;
        // Too big to keep unread: pass over them; get_article() asks again.
        drop_held();
        process_buffer();
        return;
    }
    if (buffer_.size() > max_line_ + 1) {  // an unfinished line may hold its CR already
        fail_long_line();
        if (self)
            buffer_.clear();
        return;
    }
    if (progress_pending_ && op_ != Op::None) {
        progress_pending_ = false;
        emit progress();
    }
}

void NewsClient::fail_long_line()
{
    long_line_in_article_ = in_block_ && step_ == Step::Article && !skipping();
    fail(ErrLineTooLong, QStringLiteral("The server sent a line longer than %1 bytes.").arg(max_line_), true);
}

// An article is nearly all ordinary lines: no leading dot, ended by CR LF,
// kept exactly as they came. Those go over a run at a time; the first other
// line (dot-stuffed, the end, a bare LF, too long, incomplete) is left to
// handle_line(). Returns where that line starts.
qsizetype NewsClient::take_article_run(qsizetype pos)
{
    const char *base = buffer_.constData();
    const qsizetype size = buffer_.size();
    qsizetype at = pos;
    qint64 lines = 0;
    while (at < size && base[at] != '.') {
        const void *hit = std::memchr(base + at, '\n', size_t(size - at));
        if (!hit)
            break;
        const qsizetype nl = static_cast<const char *>(hit) - base;
        if (nl == at || base[nl - 1] != '\r' || nl - 1 - at > max_line_)
            break;
        at = nl + 1;
        ++lines;
    }
    if (lines > 0) {
        block_bytes_ += at - pos;
        article_.append(base + pos, at - pos);
        article_lines_ += lines;
        progress_pending_ = true;
    }
    return at;
}

void NewsClient::skip_line(const char *data, qsizetype size)
{
    if (skip_ == Skip::None) {
        skip_ = Skip::Status;
        --skips_pending_;
        skipped_bytes_ = 0;
    }
    // A reply passed over is read to its end, but not for ever.
    skipped_bytes_ += size + 2;
    if (skipped_bytes_ > max_article) {
        fail(ErrProtocol, QStringLiteral("The server sent more than %1 bytes in a reply not asked for any more.")
                              .arg(max_article),
             true);
        return;
    }
    if (skip_ == Skip::Status) {
        skip_ = brings_block(QByteArrayView(data, size)) ? Skip::Block : Skip::None;
        // Said in answer to the reply passed over: nothing else it was asked
        // will be answered.
        if (is_goodbye(QByteArrayView(data, size)))
            said_goodbye(QByteArray(data, size));
        return;
    }
    if (size == 1 && data[0] == '.')
        skip_ = Skip::None;
}

void NewsClient::handle_line(const char *data, qsizetype size)
{
    if (skipping()) {
        skip_line(data, size);
        return;
    }
    if (in_block_) {
        if (size == 1 && data[0] == '.') {
            in_block_ = false;
            block_end();
            return;
        }
        if (size > 0 && data[0] == '.') {  // dot-stuffing
            ++data;
            --size;
        }
        block_line(data, size);
        return;
    }
    const QByteArray line(data, size);
    if (step_ == Step::None) {
        // Nothing asked: a server may say goodbye before it closes, and its
        // words are for the user when the close comes.
        if (is_goodbye(line))
            farewell_ = printable(line);
        return;
    }
    if (step_ == Step::Quit) {
        // Whatever the goodbye says, the connection is being closed: a
        // malformed one is no reason to complain or to wait for the time limit.
        if (socket_)
            socket_->disconnectFromHost();
        return;
    }
    if (size < 3 || !std::isdigit(static_cast<unsigned char>(data[0]))
        || !std::isdigit(static_cast<unsigned char>(data[1]))
        || !std::isdigit(static_cast<unsigned char>(data[2]))
        || (size > 3 && data[3] != ' ')) {
        unexpected(line);
        return;
    }
    handle_status((data[0] - '0') * 100 + (data[1] - '0') * 10 + (data[2] - '0'), line);
}

void NewsClient::handle_status(int code, const QByteArray &line)
{
    if (code == 400 && step_ != Step::Greeting) {
        said_goodbye(line);
        return;
    }
    if (code == 483 && step_ != Step::AuthUser && step_ != Step::AuthPass) {
        // Reading at all wants TLS here (RFC 4642), not only the password;
        // over TLS already, it wants a stronger login.
        fail(ErrRefused,
             (is_encrypted() ? QStringLiteral("The server wants stronger authentication: %1")
                             : QStringLiteral("The server wants an encrypted connection (set it as nntps://host): %1"))
                 .arg(printable(line)),
             true);
        return;
    }
    switch (step_) {
    case Step::Greeting:
    case Step::ModeReader:
        if (step_ == Step::ModeReader && code == 480) {
            if (user_.isEmpty() || authenticated_) {
                fail(ErrRefused, QStringLiteral("The server requires a login: %1").arg(printable(line)),
                     true);
            } else {
                // Log in, then ask again.
                command_ = "MODE READER";
                command_step_ = Step::ModeReader;
                start_auth(true);
            }
            return;
        }
        handle_connect_status(code, line);
        return;
    case Step::AuthUser:
    case Step::AuthPass:
        handle_auth_status(code, line);
        return;
    default:
        break;
    }
    // A login may be asked for before any command.
    if (code == 480) {
        if (user_.isEmpty() || auth_asked_) {
            fail(ErrRefused, QStringLiteral("The server requires a login: %1").arg(printable(line)), false);
        } else {
            auth_asked_ = true;
            start_auth(true);
        }
        return;
    }
    if (code == 502 && step_ != Step::OverviewFmt) {
        fail(ErrRefused, QStringLiteral("Permission denied: %1").arg(printable(line)), false);
        return;
    }

    switch (step_) {
    case Step::OverviewFmt:
        if (code == 215)
            begin_block();
        else if (code >= 400 && code < 600) {
            set_overview_format({});  // not offered: the classic order is assumed
            send_overview_command();
        } else
            unexpected(line);
        return;
    case Step::List:
        if (code == 215)
            begin_block();
        else
            unexpected(line);
        return;
    case Step::Group:
        if (code == 211) {
            const QList<QByteArray> f = line.simplified().split(' ');
            bool ok1 = false, ok2 = false, ok3 = false;
            if (f.size() >= 4) {
                estimate_ = f.at(1).toLongLong(&ok1);
                first_ = f.at(2).toLongLong(&ok2);
                last_ = f.at(3).toLongLong(&ok3);
            }
            // Numbers far past any real server's (2^62) would leave no room for
            // the run's counting on from them.
            if (!ok1 || !ok2 || !ok3 || first_ < 0 || last_ < 0 || first_ > max_number
                || last_ > max_number) {
                first_ = last_ = estimate_ = 0;
                fail(ErrProtocol, QStringLiteral("Malformed GROUP reply: %1").arg(printable(line)), true);
                return;
            }
            finish_op();
        } else if (code == 411) {
            fail(ErrNoSuchGroup, printable(line), false);
        } else {
            unexpected(line);
        }
        return;
    case Step::XOver:
    case Step::Over:
        if (code == 224) {
            begin_block();
        } else if (code == 420 || code == 423) {
            finish_op();  // no article in the range
        } else if (step_ == Step::XOver && (code == 500 || code == 501)) {
            xover_refused_ = true;
            send_overview_command();
        } else if (code == 500 || code == 501 || code == 412 || code == 503) {
            // No overview, or no group selected: the connection stays usable.
            fail(ErrCommandFailed, printable(line), false);
        } else {
            unexpected(line);
        }
        return;
    case Step::Article:
        if (code == 220) {
            // Replies are matched to commands by order alone; the number in
            // the reply tells when that went wrong (0 or none: not told).
            const QList<QByteArray> f = line.simplified().split(' ');
            bool numeric = false;
            const qint64 n = f.value(1).toLongLong(&numeric);
            if (numeric && n != 0 && n != article_number_) {
                fail(ErrProtocol, QStringLiteral("The server sent article %1 for article %2.")
                                      .arg(n).arg(article_number_),
                     true);
                return;
            }
            begin_block();
        } else if (code == 423 || code == 430 || code == 420) {
            fail(ErrNoSuchArticle,
                 QStringLiteral("No such article %1: %2").arg(article_number_).arg(printable(line)), false);
        } else if (code >= 400 && code < 500) {
            // Not a missing article (no group selected, busy, ...): the
            // connection may go on, but the article was not fetched.
            fail(ErrCommandFailed, printable(line), false);
        } else {
            unexpected(line);
        }
        return;
    default:
        unexpected(line);
    }
}

void NewsClient::block_line(const char *data, qsizetype size)
{
    block_bytes_ += size + 2 + (step_ == Step::Article ? 0 : kept_line_cost);
    switch (step_) {
    case Step::OverviewFmt:
        if (fmt_fields_.size() <= max_format_fields)
            fmt_fields_.append(QByteArray(data, size));
        return;
    case Step::List:
        groups_.append(data, size);
        progress_pending_ = true;
        return;
    case Step::XOver:
    case Step::Over:
        if (overview_order_.isEmpty()) {
            overview_.append(data, size);
        } else {
            QList<QByteArrayView> in;
            qsizetype b = 0;
            for (qsizetype i = 0; i <= size; ++i) {
                if (i == size || data[i] == '\t') {
                    in.append(QByteArrayView(data + b, i - b));
                    b = i + 1;
                }
            }
            QByteArray out;
            out.reserve(size + classic_count);
            out.append(in.value(0));
            for (int src : overview_order_) {
                out.append('\t');
                if (src >= 0 && src < in.size())
                    out.append(in.at(src));
            }
            block_bytes_ += out.size() - size;  // kept as widened
            overview_.append(out);
        }
        progress_pending_ = true;
        return;
    case Step::Article:
        article_.append(data, size);
        article_.append("\r\n", 2);
        ++article_lines_;
        progress_pending_ = true;
        return;
    default:
        return;
    }
}

void NewsClient::block_end()
{
    if (step_ == Step::OverviewFmt) {
        set_overview_format(fmt_fields_);
        send_overview_command();
        return;
    }
    finish_op();
}

void NewsClient::set_overview_format(const QList<QByteArray> &fields)
{
    overview_fmt_known_ = true;
    overview_order_.clear();
    if (fields.size() > max_format_fields)
        return;  // no real format: the classic order is assumed
    QList<QByteArray> names;
    for (QByteArray f : fields) {
        f = f.trimmed().toLower();
        if (f.startsWith(':'))
            f.remove(0, 1);
        if (f.endsWith(":full"))
            f.chop(5);
        if (f.endsWith(':'))
            f.chop(1);
        names << f;
    }
    bool classic = names.size() >= classic_count || names.isEmpty();
    for (int k = 0; classic && k < classic_count && k < names.size(); ++k)
        classic = names.at(k) == classic_fields[k];
    if (classic)
        return;
    // Line field i (1-based after the number) holds names[i-1]. A classic
    // field the format leaves out is taken from the fields after the listed
    // ones, in the classic order: a server listing only the seven required
    // fields still sends its Xref there, and the cross-post count needs it.
    QList<bool> used(names.size(), false);
    int unlisted = int(names.size()) + 1;
    for (int k = 0; k < classic_count; ++k) {
        const qsizetype at = names.indexOf(QByteArray(classic_fields[k]));
        overview_order_ << (at >= 0 ? int(at) + 1 : unlisted++);
        if (at >= 0)
            used[at] = true;
    }
    for (int i = 0; i < names.size(); ++i) {
        if (!used.at(i))
            overview_order_ << i + 1;
    }
}

// ---------------------------------------------------------------- failures

void NewsClient::on_socket_error()
{
    if (!socket_)
        return;
    const auto err = socket_->error();
    if (err == QAbstractSocket::RemoteHostClosedError) {
        on_peer_closed();
        return;
    }
    const QString where = QStringLiteral("%1:%2").arg(address_.host).arg(address_.port);
    switch (err) {
    case QAbstractSocket::HostNotFoundError:
        fail(ErrHostNotFound, QStringLiteral("Host not found: %1").arg(address_.host), true);
        break;
    case QAbstractSocket::ConnectionRefusedError:
        fail(ErrConnectionRefused, QStringLiteral("Connection refused by %1").arg(where), true);
        break;
    case QAbstractSocket::SocketTimeoutError:
        fail(ErrTimedOut, QStringLiteral("The connection to %1 timed out.").arg(where), true);
        break;
    case QAbstractSocket::SslHandshakeFailedError:
    case QAbstractSocket::SslInternalError:
    case QAbstractSocket::SslInvalidUserDataError:
        if (!tls_errors_.isEmpty())
            fail(ErrTls, QStringLiteral("The certificate of %1 was refused: %2")
                             .arg(address_.host, tls_errors_.join(QStringLiteral("; "))),
                 true);
        else
            fail(ErrTls, QStringLiteral("The secure connection to %1 failed: %2")
                             .arg(where, socket_->errorString()),
                 true);
        break;
    default:
        fail(ErrNetwork, QStringLiteral("Network error with %1: %2").arg(where, socket_->errorString()),
             true);
    }
}

void NewsClient::on_peer_closed()
{
    if (!socket_ || phase_ == Phase::Closed || phase_ == Phase::Idle)
        return;
    if (processing_) {
        // Finish the lines in hand first.
        QTimer::singleShot(0, this, &NewsClient::on_peer_closed);
        return;
    }
    // The last reply may have come with the close.
    QPointer<NewsClient> self(this);
    if (socket_->bytesAvailable() > 0)
        on_ready_read();
    if (!self || !socket_ || phase_ == Phase::Closed)
        return;
    if (phase_ == Phase::Quitting) {
        finish_quit();
        return;
    }
    // Replies to articles asked for ahead are still unread: one may be the
    // server's goodbye.
    if (holding() && farewell_.isEmpty())
        farewell_ = held_goodbye();
    fail(ErrConnectionReset, reset_text, true);
}

QString NewsClient::held_goodbye() const
{
    // Status lines in order, each article's block passed over to its end.
    bool in_article = false;
    qsizetype pos = 0;
    while (pos < buffer_.size()) {
        qsizetype nl = buffer_.indexOf('\n', pos);
        if (nl < 0)
            nl = buffer_.size();
        const QByteArray line = buffer_.mid(pos, nl - pos).trimmed();
        pos = nl + 1;
        if (in_article) {
            in_article = line != ".";
        } else if (is_goodbye(line)) {
            return printable(line);
        } else {
            in_article = brings_block(line);
        }
    }
    return QString();
}

void NewsClient::on_inactivity()
{
    if (phase_ == Phase::Quitting) {
        finish_quit();
        return;
    }
    if (op_ == Op::None)
        return;
    fail(ErrTimedOut,
         QStringLiteral("No reply from the server for %1 seconds.").arg(seconds_text(timeout_ms_)), true);
}

} // namespace brivane
