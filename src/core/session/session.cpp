#include "session/session.h"

#include "session/nntpclient.h"
#include "shell/frontend.h"
#include "shell/settings.h"
#include "shell/textutil.h"

#include <QEventLoop>
#include <QFile>
#include <QLocale>
#include <QStringDecoder>
#include <QTime>
#include <QTimer>

#include <functional>

namespace brivane {

namespace {

const QString unset_server = QStringLiteral("<Put your server here>");

// The time of day in the system's long format, without a time-zone name.
QString time_of_day()
{
    const QLocale locale = QLocale::system();
    const QString format = locale.timeFormat(QLocale::LongFormat);
    QString cleaned;
    bool quoted = false;
    for (QChar c : format) {
        if (c == QLatin1Char('\''))
            quoted = !quoted;
        if (!quoted && c == QLatin1Char('t'))
            continue;
        cleaned += c;
    }
    cleaned = cleaned.trimmed();
    if (cleaned.isEmpty())
        cleaned = QStringLiteral("HH:mm:ss");
    return locale.toString(QTime::currentTime(), cleaned);
}

// Server text as the run sees it: UTF-8 when it is valid, else Latin-1, so
// no byte of a subject is lost to a replacement character.
QString text_of(const QByteArray &bytes)
{
    bool ascii = true;
    for (char c : bytes) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            ascii = false;
            break;
        }
    }
    if (ascii)
        return QString::fromLatin1(bytes);
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8(bytes);
    if (utf8.hasError())
        return QString::fromLatin1(bytes);
    return text;
}

// An overview line field by field: a subject in UTF-8 beside a sender in
// Latin-1 keeps both readable (fields are split on tabs, which no UTF-8
// sequence holds).
QString overview_text(const QByteArray &bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString whole = utf8(bytes);
    if (!utf8.hasError())
        return whole;
    QString text;
    text.reserve(bytes.size());
    qsizetype from = 0;
    while (true) {
        const qsizetype tab = bytes.indexOf('\t', from);
        const qsizetype to = tab < 0 ? bytes.size() : tab;
        text += text_of(bytes.mid(from, to - from));
        if (tab < 0)
            return text;
        text += QLatin1Char('\t');
        from = tab + 1;
    }
}

} // namespace

void clear_display(Frontend &ui)
{
    for (Box b : {Box::Combo1, Box::lo_msg, Box::hi_msg, Box::Text4, Box::sender_box, Box::Text3})
        ui.set_text(b, QString());
    for (Box b : {Box::num_lines, Box::tot_msg, Box::files_this, Box::lskip, Box::dupes_this,
                  Box::non_bin})
        ui.set_text(b, QStringLiteral("0"));
    ui.draw_progress(1, 0);
    ui.draw_progress(2, 0);
}

class Session::Private {
public:
    Private(Session *session, const Settings &s, Frontend &f, Paths p)
        : q(session), settings(s), ui(f), paths(std::move(p))
    {
    }

    void set_light(int n)
    {
        if (n >= LightRed && n <= LightGreen)
            ui.set_light(n);
    }
    void buttons(bool proc, bool disc)
    {
        ui.set_enabled(Button::btnProc, proc);
        ui.set_enabled(Button::btnDisc, disc);
    }

    void make_client();
    void drop_client();
    void start(qint16 state, int timeout_ms, const std::function<qint64(NewsClient &)> &op);

    // The handlers of the client's events.
    void on_data(const QByteArray &text);
    void on_async_error(qint64 number, const QString &description);
    void on_completed(bool failed);
    void on_progress();
    void on_closed(bool expected);

    void host_not_found();
    void expired();
    void common_ending();
    void connection_gone();

    Session *q;
    const Settings &settings;
    Frontend &ui;
    Paths paths;
    NewsClient *client = nullptr;
    bool connect_timed_out = false;
    QString host;
    const QByteArray no_article;
};

void Session::Private::make_client()
{
    client = new NewsClient(q);
    // Each handler runs inside the client's reading of a reply.
    const auto held = [this](auto handler) {
        return [this, handler](const auto &...args) {
            const Frontend::EventHold hold(ui);
            (this->*handler)(args...);
        };
    };
    QObject::connect(client, &NewsClient::dataReceived, q, held(&Private::on_data));
    QObject::connect(client, &NewsClient::asyncError, q, held(&Private::on_async_error));
    QObject::connect(client, &NewsClient::completed, q, held(&Private::on_completed));
    QObject::connect(client, &NewsClient::progress, q, held(&Private::on_progress));
    QObject::connect(client, &NewsClient::closed, q, held(&Private::on_closed));
}

// The old connection is never reused: its object goes, the next connect makes a new one.
void Session::Private::drop_client()
{
    if (!client)
        return;
    NewsClient *c = client;
    client = nullptr;
    c->disconnect(q);
    c->abort();
    c->clear_results();
    c->deleteLater();  // it may be telling us something right now
}

void Session::Private::on_data(const QByteArray &text)
{
    if (q->log_enabled) {
        QFile log(paths.log_file());
        if (log.open(QIODevice::WriteOnly | QIODevice::Append)) {
            log.write(text);
            log.write("\r\n", 2);
        }
    }
    q->total_bytes += text.size();
    ui.set_text(Box::tot_bytes, format_thousands(q->total_bytes, false));
}

void Session::Private::host_not_found()
{
    ui.add_status(QStringLiteral("Host not found: ") + host);
    q->set_news_state(StateDisconnected);
    buttons(true, false);
    ui.add_status(QStringLiteral("Could not connect!"));
    drop_client();
}

void Session::Private::expired()
{
    q->msg_expired = true;
    ui.add_status(QStringLiteral("    Message expired from server!"));
    // The connection is still there, unless something ended it meanwhile.
    if (q->news_state() == StateGetArticle)
        q->set_news_state(StateConnected);
}

void Session::Private::common_ending()
{
    buttons(true, false);
    clear_display(ui);
}

// The connection ended without being asked to: nothing waits on it any more.
void Session::Private::connection_gone()
{
    const bool was_connecting = q->news_state() == StateConnecting;
    if (q->news_state() == StateDisconnecting || q->news_state() == StateDisconnected)
        return;
    set_light(LightRed);
    buttons(true, false);
    if (was_connecting)
        ui.add_status(QStringLiteral("Could not connect!"));
    q->set_news_state(StateDisconnected);
}

void Session::Private::on_async_error(qint64 number, const QString &description)
{
    q->last_ok = false;
    q->last_reply = description;
    q->last_error = number;
    if (number == NewsClient::ErrHostNotFound) {
        host_not_found();
        return;
    }
    if (number == NewsClient::ErrNoSuchArticle) {
        expired();
        return;
    }
    if (number == NewsClient::ErrRefused) {
        ui.add_status(QStringLiteral("Permission denied....not connected."));
        ui.add_status(QStringLiteral("    ") + description);  // with the server's own words
        common_ending();
        return;
    }
    if (description == NewsClient::login_failed_text || description == NewsClient::tls_required_text) {
        ui.add_status(QStringLiteral("Authentication failed....not connected."));
        if (client && !client->refusal().isEmpty())
            ui.add_status(QStringLiteral("    The server said: ") + client->refusal());
        if (description == NewsClient::tls_required_text)
            ui.add_status(QStringLiteral("    The server takes a password over TLS only: set it as nntps://host"));
        common_ending();
        return;
    }
    if (description == NewsClient::reset_text) {
        ui.add_status(QStringLiteral("Socket connection reset....not connected."));
        if (client && !client->farewell().isEmpty())
            ui.add_status(QStringLiteral("    The server said: ") + client->farewell());
        common_ending();
        return;
    }
    if (number == NewsClient::ErrNoSuchGroup || number == NewsClient::ErrCommandFailed) {
        // The connection is fine; the caller reports it from last_reply.
        return;
    }
    const bool unreadable = client && client->action() == NewsClient::ActionArticle
                            && (number == NewsClient::ErrTooLarge
                                || (number == NewsClient::ErrLineTooLong && client->long_line_in_article()));
    if (unreadable) {
        // The run says so and passes over the article.
        q->article_too_large = true;
        q->article_long_line = number == NewsClient::ErrLineTooLong;
    }
    else
        ui.message(QStringLiteral("Asyncerror: ") + description);
    common_ending();
    // The connection is ended the hard way; whoever waits on it must give up.
    drop_client();
    connection_gone();
}

void Session::Private::on_completed(bool failed)
{
    if (failed)
        q->last_ok = false;
    switch (q->news_state()) {
    case StateConnecting:
        if (!failed) {
            q->set_news_state(StateConnected);
            set_light(LightGreen);
            buttons(false, true);
            ui.add_status(time_of_day() + QStringLiteral(" Connected!"));
        }
        break;
    case StateDisconnecting:
        set_light(LightRed);
        q->set_news_state(StateDisconnected);
        buttons(true, false);
        ui.add_status(time_of_day() + QStringLiteral(" Disconnected"));
        break;
    case StateDisconnected:
    case StateGetHeader:
        break;
    default:
        q->set_news_state(StateConnected);
    }
}

void Session::Private::on_progress()
{
    if (!client)
        return;
    switch (q->news_state()) {
    case StateGetGroups: {
        const qint64 n = client->group_count();
        ui.set_text(Box::Combo1,
                    QStringLiteral("Groups received: ") + (n == 0 ? QString() : QString::number(n)));
        break;
    }
    case StateGetArticle:
        ui.draw_progress(1, client->article_progress());
        break;
    case StateXOver:
        ui.draw_progress(2, q->overview_progress_base + client->overview_count());
        break;
    default:
        break;
    }
}

void Session::Private::on_closed(bool expected)
{
    if (expected)
        return;  // disconnect_from_server() ends through the Completed event
    drop_client();
    connection_gone();
}

void Session::Private::start(qint16 state, int timeout_ms,
                             const std::function<qint64(NewsClient &)> &op)
{
    q->last_ok = true;
    q->last_reply.clear();
    q->last_error = 0;
    q->set_news_state(state);
    if (!client) {
        q->last_ok = false;
        q->last_reply = QStringLiteral("Not connected.");
        q->set_news_state(StateDisconnected);  // no connection to work on
        return;
    }
    client->set_timeout(timeout_ms);
    const qint64 e = op(*client);
    if (e == 0)
        return;
    if (e == NewsClient::ErrNotConnected) {
        q->last_ok = false;
        q->last_reply = client->error_string();
        q->set_news_state(StateDisconnected);
        return;
    }
    if (e == NewsClient::ErrBadArgument) {
        // Nothing was sent: only this operation failed, the connection is as it was.
        q->last_ok = false;
        q->last_reply = client->error_string();
        q->last_error = e;
        on_completed(true);
        return;
    }
    // Refused before anything was sent: told like a failure of the operation.
    on_async_error(e, client ? client->error_string() : QString());
    if (q->news_state() == state)
        on_completed(true);
}

// ---------------------------------------------------------------- Session

Session::Session(const Settings &settings, Frontend &ui, Paths paths, QObject *parent)
    : QObject(parent), d(std::make_unique<Private>(this, settings, ui, std::move(paths)))
{
}

Session::~Session()
{
    if (d->client) {
        d->client->disconnect(this);
        delete d->client;
        d->client = nullptr;
    }
}

void Session::set_news_state(qint16 state)
{
    if (state == news_state_)
        return;
    news_state_ = state;
    emit news_state_changed(state);
}

NewsClient *Session::client() const
{
    return d->client;
}

void Session::connect_to_server()
{
    server_unset = false;
    if (stop_requested)
        return;
    const QString server = trim_text(d->settings.news_server);
    if (server.isEmpty() || server == unset_server) {
        server_unset = true;
        d->ui.message(QStringLiteral("News Server is not set!"));
        return;
    }
    const QString cut = d->settings.login_too_long();
    if (!cut.isEmpty()) {
        server_unset = true;  // a message, like no server at all: nothing was lost
        d->ui.message(cut);
        return;
    }
    d->ui.add_status(QStringLiteral("Connecting to server..."));
    if (stop_requested)
        return;  // Stop (or the window closed) while that line was drawn
    d->set_light(LightYellow);
    d->buttons(false, false);

    d->drop_client();
    d->make_client();
    NewsClient *c = d->client;
    c->set_host_name(server);
    c->set_user_name(trim_text(d->settings.userid));
    c->set_password(d->settings.password);
    if (!ca_file.isEmpty())
        c->set_ca_file(ca_file);
    // The session's own limit ends a slow connect; the client's is only a backstop.
    c->set_timeout(timeouts.connect * 2);
    c->set_quit_timeout(timeouts.quit);

    d->connect_timed_out = false;
    set_news_state(StateConnecting);
    const qint64 e = c->connect_to_server();
    d->host = c->host().isEmpty() ? server : c->host();
    if (e != 0) {
        // Nothing was started (an unusable setting, no TLS): say why.
        const QString why = c->error_string();
        server_unset = true;  // a message, like no server at all: nothing was lost
        d->drop_client();
        set_news_state(StateDisconnected);
        d->set_light(LightRed);
        d->buttons(true, false);
        d->ui.message(why);
        return;
    }

    if (news_state_ == StateConnecting) {
        QEventLoop loop;
        QTimer limit;
        limit.setSingleShot(true);
        connect(&limit, &QTimer::timeout, &loop, [&] {
            d->connect_timed_out = true;
            loop.quit();
        });
        connect(this, &Session::news_state_changed, &loop, [&](qint16 s) {
            if (s != StateConnecting)
                loop.quit();
        });
        limit.start(timeouts.connect);
        while (news_state_ == StateConnecting && !d->connect_timed_out) {
            if (loop.exec() < 0) {
                // The program is quitting: no event loop runs any more.
                d->drop_client();
                d->connection_gone();
            }
        }
    }

    if (news_state_ != StateConnecting) {
        if (news_state_ == StateConnected)
            d->buttons(false, true);
        return;
    }
    // The time limit.
    set_news_state(StateDisconnected);
    d->buttons(true, false);
    d->ui.add_status(QStringLiteral("Connect timed out!"));
    d->set_light(LightRed);
    d->drop_client();
}

void Session::disconnect_from_server()
{
    d->buttons(true, false);
    set_news_state(StateDisconnecting);
    const qint64 e = d->client ? d->client->disconnect_from_server() : qint64(NewsClient::ErrNoSocket);
    if (e != 0)
        set_news_state(StateDisconnected);  // nothing to close

    if (news_state_ == StateDisconnecting) {
        // The client ends every disconnect within its QUIT limit; the guard
        // only makes sure no wait outlives it.
        QEventLoop loop;
        QTimer guard;
        guard.setSingleShot(true);
        auto give_up = [&] {
            d->set_light(LightRed);
            set_news_state(StateDisconnected);
        };
        connect(&guard, &QTimer::timeout, &loop, give_up);
        connect(this, &Session::news_state_changed, &loop, [&](qint16 s) {
            if (s != StateDisconnecting)
                loop.quit();
        });
        guard.start(timeouts.quit + 2000);
        while (news_state_ == StateDisconnecting) {
            if (loop.exec() < 0)
                give_up();  // quitting: the socket goes with the client
        }
    }
    d->buttons(true, false);
    d->drop_client();
}

void Session::stop()
{
    stop_requested = true;
    d->ui.add_status(QStringLiteral("Stop button pressed......"));
    disconnect_from_server();
}

void Session::list_groups()
{
    d->start(StateGetGroups, timeouts.list, [](NewsClient &c) { return c.list_groups(); });
}

void Session::select_group(const QString &name)
{
    d->start(StateSelectGroup, timeouts.select, [&](NewsClient &c) { return c.select_group(name); });
}

void Session::xover(qint64 first, qint64 last)
{
    d->start(StateXOver, timeouts.xover, [&](NewsClient &c) { return c.xover(first, last); });
}

void Session::get_article(qint64 number, qint64 max_bytes)
{
    article_too_large = false;
    article_long_line = false;
    d->start(StateGetArticle, timeouts.article, [&](NewsClient &c) {
        c.set_article_limit(max_bytes);
        return c.get_article(number);
    });
}

void Session::prefetch_article(qint64 number)
{
    // Only a hint: when it cannot be sent, get_article() simply asks later.
    if (d->client)
        d->client->prefetch_article(number);
}

int Session::prefetched_count() const
{
    return d->client ? d->client->prefetched_count() : 0;
}

qint16 Session::wait(qint16 state)
{
    if (news_state_ != state)
        return news_state_;
    QEventLoop loop;
    connect(this, &Session::news_state_changed, &loop, [&](qint16 s) {
        if (s != state)
            loop.quit();
    });
    while (news_state_ == state) {
        if (loop.exec() < 0) {
            // The program is quitting: the operation cannot end any more.
            last_ok = false;
            d->drop_client();
            d->connection_gone();
        }
    }
    return news_state_;
}

qint64 Session::first_article() const
{
    return d->client ? d->client->first_article() : 0;
}

qint64 Session::last_article() const
{
    return d->client ? d->client->last_article() : 0;
}

qint64 Session::group_count() const
{
    return d->client ? d->client->group_count() : 0;
}

QString Session::group_line(qint64 index) const
{
    return d->client ? text_of(d->client->group_line(index)) : QString();
}

qint64 Session::overview_count() const
{
    return d->client ? d->client->overview_count() : 0;
}

bool Session::group_missing() const
{
    // A name no server can carry (a blank in it) is passed over like one
    // this server does not have.
    return last_error == NewsClient::ErrNoSuchGroup || last_error == NewsClient::ErrBadArgument;
}

QString Session::select_failure(const QString &group) const
{
    return QStringLiteral("Cannot select group: ") + group + QStringLiteral(" (") + last_reply
           + QLatin1Char(')');
}

QString Session::overview_line(qint64 index) const
{
    return d->client ? overview_text(d->client->overview_line(index)) : QString();
}

const QByteArray &Session::article_text() const
{
    return d->client ? d->client->article_text() : d->no_article;
}

qint64 Session::article_progress() const
{
    return d->client ? d->client->article_progress() : 0;
}

} // namespace brivane
