#pragma once
// An asynchronous NNTP reader client (RFC 3977, with AUTHINFO USER/PASS of
// RFC 4643) on one TCP or implicit-TLS connection. Nothing blocks: every
// operation returns at once and ends with one completed(failed) signal; a
// failure is told first by asyncError(number, description). One object
// serves one connection; make a new one to connect again.
//
// Certificates are checked against the system trust store, with SNI and
// host-name verification. Extra trusted CA certificates (PEM) can be given
// with set_ca_file() or the environment variable BRIVANE_CA_FILE; the tests
// use this for their own loopback certificates.
#include "session/linestore.h"
#include "session/serveraddress.h"

#include <QByteArray>
#include <QObject>
#include <QStringList>
#include <QTimer>

class QTcpSocket;

namespace brivane {

class NewsClient : public QObject {
    Q_OBJECT
public:
    // Error numbers of asyncError() and of the operations' return values.
    enum Error : qint64 {
        ErrRefused = -2146808286,  // 0x800A4E22: the server refused (no such article, no permission)
        ErrNoSocket = 10038,       // nothing to close
        ErrNetwork = 10050,        // another socket failure
        ErrConnectionReset = 10054,
        ErrNotConnected = 10057,
        ErrTimedOut = 10060,
        ErrConnectionRefused = 10061,
        ErrHostNotFound = 11001,
        ErrProtocol = 20001,       // a reply the protocol does not allow
        ErrLineTooLong = 20002,
        ErrTls = 20003,            // TLS unavailable, handshake or certificate refused
        ErrBusy = 20004,           // an operation is already running
        ErrBadArgument = 20005,    // the server setting or a command argument cannot be used
        ErrCommandFailed = 20400,  // refused with the connection still usable (no overview...)
        ErrNoSuchGroup = 20411,
        ErrNoSuchArticle = 20423,  // 423, 430 or 420 to ARTICLE: gone from the server
        ErrTooLarge = 20413,       // a reply beyond its size limit (dropped: no way to resync)
        ErrLoginFailed = 20481,
    };
    Q_ENUM(Error)

    // What action() reports, as the callers know it: 1 connecting,
    // 2 disconnecting, 3 fetching an article, 4 another operation.
    enum Action { ActionNone = 0, ActionConnect = 1, ActionDisconnect = 2, ActionArticle = 3,
                  ActionCommand = 4 };

    static const QString login_failed_text;  // "Login failed."
    static const QString tls_required_text;  // a 483 to AUTHINFO: log in over TLS only
    static const QString reset_text;         // "The current socket connection has been reset."

    explicit NewsClient(QObject *parent = nullptr);
    ~NewsClient() override;

    // The server setting: host, host:port, nntp://host[:port], nntps://host[:port].
    void set_host_name(const QString &server) { server_ = server; }
    const QString &host_name() const { return server_; }
    // The host part of the setting (valid once connect_to_server() ran).
    const QString &host() const { return address_.host; }
    void set_user_name(const QString &user) { user_ = user; }
    void set_password(const QString &password) { password_ = password; }
    void set_ca_file(const QString &path) { ca_file_ = path; }
    // Inactivity limit in milliseconds for the operation started next (0: none).
    void set_timeout(int ms) { timeout_ms_ = ms; }
    int timeout() const { return timeout_ms_; }
    // How long a polite QUIT may take before the socket is simply closed.
    void set_quit_timeout(int ms) { quit_timeout_ms_ = ms; }
    // Longest line accepted from the server; a longer one is an error.
    void set_max_line_length(qsizetype bytes) { max_line_ = bytes; }
    // Largest article the next get_article() takes (0: max_article); a
    // hostile or broken server could otherwise fill the memory.
    void set_article_limit(qint64 bytes) { article_limit_ = bytes > 0 ? bytes : max_article; }
    static constexpr qint64 max_article = 64LL << 20;
    // The largest article number a GROUP reply may give.
    static constexpr qint64 max_number = 1LL << 62;
    // Any other multi-line reply (overview chunk, group list).
    static constexpr qint64 max_block = 512LL << 20;

    // Action 1: connect, read the greeting, MODE READER, log in when a user
    // name is set. Returns 0, or an error number when it cannot even start.
    qint64 connect_to_server();
    // Action 2: QUIT and close. ErrNoSocket when there is no connection;
    // otherwise completed(false) follows (at once when nothing is to be said).
    qint64 disconnect_from_server();
    // Closes the connection at once; no signal follows.
    void abort();
    // Frees the results of the operations (a retired client keeps no memory).
    void clear_results();

    int action() const;
    bool is_connected() const { return phase_ == Phase::Ready; }
    bool is_encrypted() const;
    // The description of the last failure.
    const QString &error_string() const { return error_; }
    // A 400 reply (the server ending the session), which the close after it
    // would otherwise hide; empty when none came.
    const QString &farewell() const { return farewell_; }
    // The server's own line when it refused the login; empty when none.
    const QString &refusal() const { return refusal_; }
    // Whether the line too long (ErrLineTooLong) lay in the body of the
    // article asked for: that article is unreadable, the server is not at fault.
    bool long_line_in_article() const { return long_line_in_article_; }

    // Operations; each returns 0 when started, else ErrNotConnected, ErrBusy
    // or ErrBadArgument (see error_string()) and nothing follows.
    qint64 list_groups();
    qint64 select_group(const QString &name);
    qint64 xover(qint64 first, qint64 last = -1);  // last -1: open range
    qint64 get_article(qint64 number);
    // Sends ARTICLE `number` ahead of its turn, also while another operation
    // runs, so the server works on it while the caller is busy with the one
    // before. Its reply waits unread until get_article(number) asks for it
    // (passing over the replies of those sent ahead before it); any other
    // command first passes over them all. Up to max_prefetch are outstanding,
    // in rising order; those asked for in one go leave in one packet. 0 when
    // sent (or sent already), else ErrNotConnected, ErrBusy or ErrBadArgument.
    qint64 prefetch_article(qint64 number);
    static constexpr int max_prefetch = 4;
    // The first article sent ahead and not yet asked for (-1: none), and how many.
    qint64 prefetched() const { return held_.isEmpty() ? -1 : held_.first(); }
    int prefetched_count() const { return int(held_.size()); }

    // Results of the last operations.
    qint64 group_count() const { return groups_.count(); }
    QByteArray group_line(qint64 index) const { return groups_.line(index); }
    const QString &group_name() const { return group_; }
    qint64 first_article() const { return first_; }
    qint64 last_article() const { return last_; }
    qint64 article_estimate() const { return estimate_; }
    // Overview lines in the classic order: number, subject, from, date,
    // message-id, references, bytes, lines, xref (then any further fields).
    qint64 overview_count() const { return overview_.count(); }
    QByteArray overview_line(qint64 index) const { return overview_.line(index); }
    // The whole article, dot-stuffing undone, each line ended by CR LF.
    const QByteArray &article_text() const { return article_; }
    qint64 article_progress() const { return article_lines_; }

signals:
    // The bytes just read; valid only while the signal is delivered.
    void dataReceived(const QByteArray &text);
    void asyncError(qint64 number, const QString &description);
    void completed(bool failed);
    void progress();
    // The connection ended; `expected` when disconnect_from_server() ended it.
    void closed(bool expected);

private:
    enum class Phase { Idle, Connecting, Ready, Quitting, Closed };
    enum class Op { None, Connect, List, Group, XOver, Article };
    enum class Step { None, Greeting, ModeReader, AuthUser, AuthPass, OverviewFmt, List, Group,
                      XOver, Over, Article, Quit };

    void on_encrypted_or_connected();
    void on_ready_read();
    void ack_now();
    bool near_reply_start() const;  // within the first bytes of the reply being read
    QString held_goodbye() const;   // a goodbye among the replies held unread, or empty
    void on_socket_error();
    void on_peer_closed();
    void on_inactivity();

    void process_buffer();
    qsizetype take_article_run(qsizetype pos);
    void handle_line(const char *data, qsizetype size);
    void handle_status(int code, const QByteArray &line);
    void handle_connect_status(int code, const QByteArray &line);
    void handle_auth_status(int code, const QByteArray &line);
    void block_line(const char *data, qsizetype size);
    void block_end();

    qint64 check_ready();
    // `sent_ahead`: the command went out already (prefetch_article()).
    void start_op(Op op, const QByteArray &command, Step step, bool sent_ahead = false);
    void send(const QByteArray &command, Step step);
    void expect(Step step);  // the reply to wait for next
    static QByteArray article_command(qint64 number);
    void begin_block()
    {
        in_block_ = true;
        block_bytes_ = 0;
    }
    bool block_too_large() const
    {
        return in_block_ && block_bytes_ > (step_ == Step::Article ? article_limit_ : max_block);
    }
    bool holding() const { return !held_.isEmpty() && op_ == Op::None; }
    void drop_held();  // the replies sent ahead are passed over when they come
    bool skipping() const { return skip_ != Skip::None || skips_pending_ > 0; }
    void resume_held();
    void skip_line(const char *data, qsizetype size);
    void start_auth(bool resume_command);
    void auth_done();
    void finish_connect();
    void finish_op();
    void fail(qint64 number, const QString &description, bool drop);
    void fail_long_line();
    void unexpected(const QByteArray &line);
    void said_goodbye(const QByteArray &line);  // a 400: the session ends
    void finish_quit();
    void drop_socket();
    void arm_timer();
    void send_overview_command();
    void set_overview_format(const QList<QByteArray> &fields);

    // Settings.
    QString server_, user_, password_, ca_file_;
    ServerAddress address_;
    int timeout_ms_ = 60000;
    int quit_timeout_ms_ = 5000;
    qsizetype max_line_ = 1024 * 1024;
    qint64 article_limit_ = max_article;

    // Connection.
    QTcpSocket *socket_ = nullptr;
    QTimer timer_;
    Phase phase_ = Phase::Idle;
    Op op_ = Op::None;
    Step step_ = Step::None;
    quint64 generation_ = 0;  // bumped whenever an operation starts or ends abnormally
    int failing_action_ = -1; // action() while asyncError() is being told
    QByteArray buffer_;
    bool in_block_ = false;
    qint64 block_bytes_ = 0;  // of the block being read
    bool long_line_in_article_ = false;
    bool processing_ = false;
    bool progress_pending_ = false;
    QStringList tls_errors_;
    QString error_;
    QString farewell_;
    QString refusal_;

    // Protocol state of this connection.
    QByteArray command_;      // the operation's command, sent again after a login
    Step command_step_ = Step::None;
    bool auth_resume_ = false;
    bool authenticated_ = false;
    bool auth_asked_ = false;  // a 480 was already answered for this command
    bool overview_fmt_known_ = false;
    bool xover_refused_ = false;
    QList<int> overview_order_;  // server field per output field; empty: as received
    QList<QByteArray> fmt_fields_;
    QByteArray range_;

    // Results.
    LineStore groups_;
    LineStore overview_;
    QString group_;
    qint64 first_ = 0, last_ = 0, estimate_ = 0;
    QByteArray article_;
    qint64 article_lines_ = 0;
    qint64 article_number_ = 0;

    // Pipelining: the ARTICLEs sent ahead, in order, and the replies nobody
    // wants any more: the one being passed over (its status line, then its
    // block) and how many more follow it.
    QList<qint64> held_;
    enum class Skip { None, Status, Block };
    Skip skip_ = Skip::None;
    int skips_pending_ = 0;
    qint64 skipped_bytes_ = 0;  // of the reply being passed over
    // Replies sent ahead bigger than this together are passed over rather than kept.
    static constexpr qsizetype max_held = 16 * 1024 * 1024;
    // Reads shorter than this, within this much of an unfinished reply's
    // start, are acknowledged at once.
    static constexpr qint64 quick_ack_below = 16 * 1024;
};

} // namespace brivane
