#pragma once
// The life of the connection to the active server and the handlers of the
// news client's events. Callers follow one pattern: start an operation (which
// sets news_state to the operation's state), then wait(state) in the event
// loop until a handler moves news_state on: 8 (StateConnected) means the
// operation ended, 0 or 9 that the connection is gone and the caller gives up.
#include "shell/home.h"

#include <QObject>
#include <QString>
#include <memory>

namespace brivane {

class Frontend;
class Settings;
class NewsClient;

enum NewsState : qint16 {
    StateDisconnected = 0,
    StateGetGroups = 1,
    StateSelectGroup = 2,
    StateGetArticleIDs = 3,
    StateGetArticle = 4,
    StateGetHeader = 5,
    StateXOver = 6,
    StateConnecting = 7,
    StateConnected = 8,
    StateDisconnecting = 9,
};

class Session : public QObject {
    Q_OBJECT
public:
    Session(const Settings &settings, Frontend &ui, Paths paths, QObject *parent = nullptr);
    ~Session() override;

    qint16 news_state() const { return news_state_; }
    void set_news_state(qint16 state);

    // Opens the connection to the active server: "Connecting to server...",
    // a 10-second limit, the time-of-day "Connected!" line. Afterwards
    // news_state() is 8 when connected.
    void connect_to_server();
    // Closes it (also when there is none) and returns with news_state() 0.
    void disconnect_from_server();
    // The Stop button: "Stop button pressed......", then disconnect.
    void stop();

    // Operations; each sets news_state and the operation's time-out, then starts.
    void list_groups();                         // StateGetGroups, Timeout 1500
    void select_group(const QString &name);     // StateSelectGroup, Timeout 30
    void xover(qint64 first, qint64 last = -1); // StateXOver, Timeout 600; -1 = open range
    // StateGetArticle, Timeout 180. A longer article than `max_bytes` (0: the
    // client's ceiling) ends the connection and sets article_too_large, as
    // does a line in it longer than any line may be (and article_long_line).
    void get_article(qint64 number, qint64 max_bytes = 0);
    // Asks for the article the caller expects to want next, already now; the
    // news state does not change. A later get_article(number) takes its reply.
    void prefetch_article(qint64 number);
    // How many articles are asked for ahead and not yet taken.
    int prefetched_count() const;

    // Waits in the event loop (never busy) while news_state() == state;
    // returns the state it moved to.
    qint16 wait(qint16 state);

    // Results of the last operations.
    qint64 first_article() const;
    qint64 last_article() const;
    qint64 group_count() const;
    QString group_line(qint64 index) const;
    qint64 overview_count() const;
    // Tab-separated, always in the classic order: number, subject, from, date,
    // message-id, references, bytes, lines, xref (the client reorders the
    // fields when the server's LIST OVERVIEW.FMT differs).
    QString overview_line(qint64 index) const;
    const QByteArray &article_text() const;     // the whole article, dot-stuffing undone, CRLF lines
    qint64 article_progress() const;            // lines of the article received so far

    // How the last operation ended: false when it failed (the server answered
    // with an error code such as no such group or no overview, or the
    // connection broke); last_reply is that reply line or the failure's
    // description, for a status line. Its results are then not the server's data.
    bool last_ok = true;
    // Headers of the group already behind the overview being read: its
    // progress is drawn on top of them, on the bar scaled to the whole group.
    qint64 overview_progress_base = 0;
    QString last_reply;
    // The error number of that failure (NewsClient::Error), 0 when none.
    qint64 last_error = 0;
    // After a failed select_group(): whether the server lacks the group (411)
    // rather than refusing it (a login wanted, no permission), and the status
    // line that says so.
    bool group_missing() const;
    QString select_failure(const QString &group) const;

    // The news client of the connection in hand (none while disconnected).
    NewsClient *client() const;

    // Limits in milliseconds. The defaults are the program's; tests shorten them.
    struct Timeouts {
        int connect = 10000;     // the connect time limit ("Connect timed out!")
        int quit = 5000;         // a polite QUIT before the socket is just closed
        int select = 30000;      // inactivity limits of the operations
        int xover = 600000;
        int article = 180000;
        int list = 1500000;
    };
    Timeouts timeouts;
    // Extra trusted CA certificates (PEM) for nntps:// servers; empty: the
    // environment variable BRIVANE_CA_FILE, if set, else the system store only.
    QString ca_file;

    bool msg_expired = false;  // set when the article is no longer on the server
    // Set by stop(), cleared when a command starts: no new connection is made
    // meanwhile (Stop may come while one connection is closing).
    bool stop_requested = false;
    bool article_too_large = false;  // set when the article passed its size limit
    bool article_long_line = false;  // ... by a line too long to read
    bool server_unset = false;       // set when a connect found no server it can call
    qint64 total_bytes = 0;    // received text, shown in tot_bytes
    bool log_enabled = false;  // "/log": append every received text to log.txt

signals:
    void news_state_changed(qint16 state);

private:
    class Private;
    std::unique_ptr<Private> d;
    qint16 news_state_ = StateDisconnected;
};

// Empties the per-article boxes and sets the counters' boxes to "0" and
// both progress bars to 0.
void clear_display(Frontend &ui);

} // namespace brivane
