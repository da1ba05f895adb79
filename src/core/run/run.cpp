#include "run/run.h"

#include "db/database.h"
#include "run/article.h"
#include "run/files.h"
#include "run/filters.h"
#include "run/headerstep.h"
#include "session/nntpclient.h"
#include "session/session.h"
#include "shell/frontend.h"
#include "shell/settings.h"
#include "shell/textutil.h"

#include <QCoreApplication>

#include <limits>
#include <utility>

namespace brivane {

namespace {

const QString indent = QStringLiteral("    ");

// An overview line's article number; `numeric` false when it holds none.
qint64 header_number(const QString &line, bool *numeric)
{
    return get_field(line, QLatin1Char('\t'), 1).trimmed().toLongLong(numeric);
}

bool gone(qint16 state)
{
    return state == StateDisconnected || state == StateDisconnecting;
}

// The database's locks kept for the run's length and given back however it
// ends. Not holding them only makes each pointer commit slower.
class HeldLocks {
public:
    explicit HeldLocks(Database &db) : db_(db) { db_.hold_locks(true); }
    ~HeldLocks() { db_.hold_locks(false); }
    HeldLocks(const HeldLocks &) = delete;
    HeldLocks &operator=(const HeldLocks &) = delete;

private:
    Database &db_;
};

} // namespace

Run::Run(Settings &settings, Database &db, Session &session, Frontend &ui, Paths paths,
         RunShared &shared)
    : settings_(settings), db_(db), session_(session), ui_(ui), paths_(std::move(paths)),
      shared_(shared)
{
}

Outcome Run::fail(const QString &text)
{
    end_connection();
    if (!pointer_written_) {
        ui_.message(trim_text(text));
        return Outcome::Message;
    }
    ui_.add_status(text);
    return Outcome::Stopped;
}

void Run::end_connection()
{
    if (session_.news_state() != StateDisconnected)
        session_.disconnect_from_server();
}

Outcome Run::btnProc_Click()
{
    session_.stop_requested = false;
    // A group picked while no run went on asks nothing of this one: followed,
    // it would skip every group listed before it.
    shared_.group_jump = false;
    shared_.picked_group.clear();
    if (is_blank(settings_.news_server)) {
        ui_.message(QStringLiteral("No news server  selected!"));
        return Outcome::Message;
    }
    // Cut short, the name would find another server's rows (and host).
    if (const QString cut = settings_.login_too_long(); !cut.isEmpty()) {
        ui_.message(cut);
        return Outcome::Message;
    }
    if (settings_.xposts == 0) {
        ui_.message(QStringLiteral("Set Xposts in Preferences!"));
        return Outcome::Message;
    }
    if (settings_.min_lines == 0 || settings_.max_lines == 0) {
        ui_.message(QStringLiteral("Set Min/Max Lines in Preferences!"));
        return Outcome::Message;
    }
    if (is_blank(settings_.dlpath)) {
        ui_.message(QStringLiteral("Set Download path in preferences!"));
        return Outcome::Message;
    }
    if (settings_.dlpath_too_long()) {
        // Cut to 49 characters it would name another folder: never file there.
        ui_.message(QStringLiteral("Download path is longer than 49 characters!"));
        return Outcome::Message;
    }
    if (!dir_exists(settings_.dlpath)) {
        ui_.message(QStringLiteral("Download Path does not exist!"));
        return Outcome::Message;
    }

    clear_display(ui_);
    counters_ = RunCounters();
    session_.total_bytes = 0;
    pointer_written_ = false;
    shown_group_.clear();
    ui_.draw_progress(1, 0);
    if (shared_.auto_run)
        ui_.add_status(QStringLiteral("Autostarting!"));

    const std::optional<QList<GroupRow>> groups = db_.groups_of(settings_.news_server);
    if (!groups)
        return fail(db_.last_error());
    shared_.preview_path.clear();
    if (groups->isEmpty()) {
        ui_.message(QStringLiteral("No subscribed groups for this server!"));
        return Outcome::Message;
    }
    group_names_.clear();
    group_pointers_.clear();
    for (const GroupRow &row : *groups) {
        // A group subscribed twice (names compare without case) is walked
        // once: a second pass from its old pointer would fetch it all again.
        if (group_names_.contains(row.name, Qt::CaseInsensitive))
            continue;
        group_names_ << row.name;
        // A pointer edited to the largest number must not wrap round to the
        // group's start.
        constexpr qint64 largest = std::numeric_limits<qint64>::max();
        group_pointers_ << (row.last_msg < largest ? row.last_msg + 1 : largest);
    }
    ui_.set_groups(group_names_);

    const std::optional<QStringList> masks = db_.masks();
    if (!masks)
        return fail(db_.last_error());
    if (masks->isEmpty()) {
        ui_.message(QStringLiteral("No file masks defined!"));
        return Outcome::Message;
    }
    masks_ = *masks;

    for (Box b : {Box::Text3, Box::Text4, Box::sender_box})
        ui_.set_text(b, QString());
    ui_.set_text(Box::num_lines, QStringLiteral("0"));
    ui_.set_text(Box::file_size, QStringLiteral("0"));

    HeaderStep headers(settings_, db_, ui_, counters_, masks_, shared_.ignore_list,
                       shared_.current_sender);
    ArticleStep articles(settings_, db_, session_, ui_, paths_, shared_, counters_, masks_);
    // Before the first group: a run with nothing new to file clears them too.
    articles.sweep_left_overs(group_names_);

    const HeldLocks held(db_);
    int promoted = -1;
    for (int g = 0; g < group_names_.size(); ++g) {
        if (promoted >= 0) {
            g = promoted;
            promoted = -1;
        } else if (shared_.group_jump) {
            // Picked between two groups: go there now.
            const int target = promotion_target();
            if (target >= 0) {
                g = target;
                ui_.add_status(QStringLiteral("Promoted group: ") + group_names_[g]);
            }
        }
        switch (process_group(g, headers, articles, &promoted)) {
        case GroupEnd::Done:
        case GroupEnd::Promoted:
            break;
        case GroupEnd::Stopped:
            end_connection();
            return Outcome::Stopped;
        case GroupEnd::Failed:
            return fail(error_);
        case GroupEnd::NoServer:
            return Outcome::Message;  // the session said so
        }
    }

    ui_.draw_progress(1, 0);
    ui_.draw_progress(2, 0);
    ui_.add_status(QStringLiteral("Processed all groups"));
    ui_.add_status(QStringLiteral("Total Pictures: ") + format_thousands(counters_.files_this_count));
    ui_.add_status(QStringLiteral("Total Articles: ") + format_thousands(counters_.articles_count));
    ui_.add_status(QStringLiteral(" Total Skipped: ")
                   + format_thousands(counters_.dupes_this_count + counters_.non_bin_count
                                      + counters_.lskip_count));
    ui_.add_status(QStringLiteral("   Total Btyes: ") + format_thousands(session_.total_bytes));
    ui_.set_text(Box::Combo1, QString());
    ui_.set_text(Box::lo_msg, QString());
    ui_.set_text(Box::hi_msg, QString());
    ui_.set_busy(false);
    return Outcome::Done;
}

QList<qint64> Run::next_wanted(const HeaderStep &headers, qint64 i, qint64 last, qint64 number)
{
    // Topped up only when this one and the next are all that is left: each
    // article asked for wakes the server, those asked for together wake it
    // once, and the next has been asked for early enough to be there.
    QList<qint64> wanted;
    if (session_.prefetched_count() > 2)
        return wanted;
    if (ahead_.next <= i)
        ahead_ = {i + 1, number, {}};
    while (!ahead_.passed.isEmpty() && ahead_.passed.first() <= i)
        ahead_.passed.removeFirst();
    // The next headers of this range that would be fetched as things stand.
    // Saving the article in hand may still change that (a duplicate name):
    // then their replies are passed over unused. No further than the lines
    // the header step keeps: a sparse group is not read through for it.
    const qint64 horizon = qMin(session_.overview_count(), i + 1 + HeaderStep::kept_lines);
    qint64 bytes = 0;
    Header h;
    for (qsizetype c = 0; wanted.size() < NewsClient::max_prefetch;) {
        qint64 at;
        if (c < ahead_.passed.size()) {
            at = ahead_.passed[c];
        } else if (ahead_.next < horizon) {
            // Numbers out of order are skipped by the loop, as the loop
            // does: after any header of a higher number, wanted or not.
            at = ahead_.next++;
            const QString line = session_.overview_line(at);
            bool numeric = false;
            const qint64 n = header_number(line, &numeric);
            if (numeric && (n <= ahead_.number || n > last))
                continue;
            if (numeric)
                ahead_.number = n;
            if (!headers.passes_fixed_tests(at, line))
                continue;
            ahead_.passed << at;
        } else {
            break;
        }
        if (!headers.still_accepted(at, &h)) {
            // A duplicate or a sender locked out nearly always stays so:
            // not looked at again here. Its turn in the loop judges it.
            ahead_.passed.remove(c);
            continue;
        }
        ++c;
        // Very big ones are left to be asked for in their turn: kept unread
        // meanwhile they would only take memory. One of no known size may
        // be of any: it is the last asked for.
        bytes += h.size > 0 ? h.size : max_ahead_bytes;
        if (bytes > max_ahead_bytes)
            break;
        wanted << h.number;
    }
    return wanted;
}

bool Run::store_pointer(int g, qint64 number)
{
    // One statement, committed on its own: the pointer is on disk before
    // the next header.
    if (!db_.set_last_msg(settings_.news_server, group_names_[g], number)) {
        error_ = indent + QStringLiteral("Cannot store the message pointer: ") + db_.last_error();
        return false;
    }
    pointer_written_ = true;
    // The next one to examine: a group taken up again in this run (a
    // promotion back to it) must not repeat this header.
    group_pointers_[g] = number + 1;
    return true;
}

int Run::promotion_target()
{
    shared_.group_jump = false;
    const QString picked = std::exchange(shared_.picked_group, QString());
    // The group in hand picked again, or a name that is no group: nothing to do.
    if (picked == shown_group_)
        return -1;
    return int(group_names_.indexOf(picked));
}

Run::GroupEnd Run::process_group(int g, HeaderStep &headers, ArticleStep &articles,
                                 int *promoted_index)
{
    const QString &name = group_names_[g];

    session_.connect_to_server();
    if (session_.news_state() != StateConnected)
        return session_.server_unset ? GroupEnd::NoServer : GroupEnd::Stopped;

    session_.select_group(name);
    if (gone(session_.wait(StateSelectGroup)))
        return GroupEnd::Stopped;
    if (!session_.last_ok) {
        const QString why = session_.select_failure(name);
        if (!session_.group_missing()) {
            // Refused (a login wanted, no permission): not a group the
            // server lacks. Going on would report the run as done.
            error_ = why;
            return GroupEnd::Failed;
        }
        // The server does not carry the group (any more): say so, keep its pointer.
        ui_.add_status(why);
        end_connection();
        return GroupEnd::Done;
    }
    // Read before any status line: one lets the window handle a Stop, which
    // frees the connection and its numbers.
    const qint64 high = session_.last_article();
    const qint64 low = session_.first_article();
    ui_.add_status(QStringLiteral("Selected group: ") + name);
    if (gone(session_.news_state()))
        return GroupEnd::Stopped;

    qint64 p = group_pointers_[g];
    if (p >= high + 1) {
        ui_.add_status(indent + QStringLiteral("No new messages..."));
        end_connection();
        return GroupEnd::Done;
    }
    if (low > p) {
        // Articles below the low mark are gone from the server.
        p = low;
        group_pointers_[g] = p;
    }

    ui_.set_text(Box::Combo1, name);
    shown_group_ = name;
    ui_.set_text(Box::lo_msg, QString::number(p));
    ui_.set_text(Box::hi_msg, QString::number(high));
    ui_.draw_progress(2, 0);
    ui_.set_progress_max(2, high - p > 0 ? high - p : 1);
    // P to H both included: the most the overview can bring.
    if (high >= p)
        ui_.add_status(QStringLiteral("Getting up to ") + QString::number(high - p + 1)
                       + QStringLiteral(" article headers"));

    qint64 previous = p - 1;  // numbers must rise: a server's repeat is not fetched twice
    for (qint64 first = p; first <= high; first += chunk_) {
        const qint64 last = qMin(high, first + chunk_ - 1);
        if (gone(session_.news_state()))
            return GroupEnd::Stopped;
        session_.overview_progress_base = first - p;
        session_.xover(first, last);
        if (gone(session_.wait(StateXOver)))
            return GroupEnd::Stopped;
        if (!session_.last_ok) {
            // Headers not received are not skipped: the pointer stays before
            // them. Refused like a group (a login wanted, no permission, no
            // overview at all): going on would report the run as done.
            error_ = QStringLiteral("Cannot get the article headers of ") + name + QStringLiteral(" (")
                     + session_.last_reply + QLatin1Char(')');
            return GroupEnd::Failed;
        }
        const qint64 count = session_.overview_count();
        headers.new_range();
        ahead_ = {};
        if (count > 0)
            ui_.add_status(QStringLiteral("Received ") + QString::number(count)
                           + QStringLiteral(" headers"));
        else if (last > previous && last < high) {
            // The server has nothing up to `last`: the pointer goes past it,
            // or a group with a wide empty stretch (a low mark far below its
            // articles) is walked through again from the start after a stop.
            // Not so the last chunk: a server's overview may lag behind its
            // high mark, and those articles come next time.
            if (!store_pointer(g, last))
                return GroupEnd::Failed;
            previous = last;
        }

        for (qint64 i = 0; i < count; ++i) {
            // The Stop button, a signal, the group box: looked at every few
            // milliseconds (every fetch waits in the event loop anyway).
            if (!events_.isValid() || events_.elapsed() >= 20) {
                QCoreApplication::processEvents();
                events_.start();
            }
            session_.msg_expired = false;
            if (gone(session_.news_state()))
                return GroupEnd::Stopped;

            const QString line = session_.overview_line(i);
            bool numeric = false;
            const qint64 number = header_number(line, &numeric);
            if (numeric && (number < first || number > last || number <= previous)) {
                ui_.add_status(indent + QStringLiteral("Header out of range skipped: ")
                               + QString::number(number));
                continue;
            }

            Header h;
            const HeaderStep::Verdict verdict = headers.examine(line, &h, i);
            if (verdict == HeaderStep::Verdict::Failed) {
                error_ = indent + QStringLiteral("Run stopped: ") + db_.last_error();
                return GroupEnd::Failed;
            }
            if (verdict == HeaderStep::Verdict::Accepted) {
                switch (articles.run(h, name, high, next_wanted(headers, i, last, number))) {
                case ArticleStep::Result::Done:
                    break;
                case ArticleStep::Result::Stopped:
                    return GroupEnd::Stopped;
                case ArticleStep::Result::Failed:
                    error_ = articles.error();
                    return GroupEnd::Failed;
                }
            }

            if (numeric) {
                if (!store_pointer(g, number))
                    return GroupEnd::Failed;
                previous = number;
                ui_.add_status(indent + QStringLiteral("Updated message pointer..."));
                ui_.set_text(Box::lo_msg, QString::number(number));
            }

            for (Box b : {Box::Text3, Box::Text4, Box::sender_box})
                ui_.set_text(b, QString());
            ui_.set_text(Box::num_lines, QStringLiteral("0"));
            ui_.set_text(Box::file_size, QStringLiteral("0"));
            counters_.show(ui_);
            ui_.draw_progress(2, (numeric ? number : previous) - p);

            if (shared_.group_jump) {
                const int target = promotion_target();
                if (target >= 0) {
                    *promoted_index = target;
                    ui_.add_status(QStringLiteral("Promoted group: ") + group_names_[target]);
                    ui_.add_status(QStringLiteral("Completed: ") + name);
                    end_connection();
                    return GroupEnd::Promoted;
                }
            }
        }
    }
    ui_.add_status(QStringLiteral("Completed: ") + name);
    end_connection();
    return GroupEnd::Done;
}

} // namespace brivane
