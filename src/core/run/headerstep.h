#pragma once
// The header step of the run: one overview line in, accepted or rejected out,
// with its status lines and counters, tests in their fixed order.
#include "run/counters.h"

#include <QString>
#include <QStringList>

#include <array>

namespace brivane {

class Database;
class Frontend;
class Settings;

struct Header {
    QString number_text;  // field 1, as written to the message pointer
    qint64 number = 0;
    QString subject;      // field 2
    QString sender;       // field 3, every "'" as "~"
    qint64 size = 0;      // field 7
    qint64 lines = 0;     // field 8
    int xrefs = 1;        // xref_count of field 9
    int part = 0;         // get_low_part(subject)
    int parts = 0;        // get_high_part(subject)
    int mask_index = 0;   // ismask(subject)
    QString file_name;    // getfilename(subject, mask_index), or "unknown"
};

class HeaderStep {
public:
    enum class Verdict {
        Accepted,
        Rejected,
        Failed,  // a database lookup failed (its status line was given); the run decides
    };

    HeaderStep(const Settings &settings, Database &db, Frontend &ui, RunCounters &counters,
               const QStringList &masks, const QStringList &ignore_list, QString &current_sender);

    // Examines one overview line; fills `h` as far as the line allows.
    // A line whose number, size or line count is not a number is rejected
    // with a status line and counted (it is never accepted).
    Verdict examine(const QString &overview_line, Header *h);

    // Whether examine() would accept the line as things stand, leaving no
    // trace (no status line, counter or sender): the run asks the server for
    // that article early, while it works on the one before. Fills `h` as
    // examine() does.
    bool would_accept(const QString &overview_line, Header *h) const;

private:
    // The line's fields; false in `*_ok` where a number field holds none.
    struct Parsed {
        bool number_ok = false, size_ok = false, lines_ok = false;
        bool fetch_unknown = false;  // no mask in the subject, but big enough to look inside
    };
    Parsed parse(const QString &overview_line, Header &h) const;
    // parse(), or what would_accept() found for the same line a moment ago:
    // the lines the run looks ahead at are examined next.
    Parsed parse_once(const QString &overview_line, Header &h) const;
    // The first test the header fails: its status text and counter, or an
    // empty text for an accepted header. A failed lookup gives Failed and
    // its status line in `text`.
    struct Judgement {
        Verdict verdict = Verdict::Accepted;
        QString text;
        qint64 RunCounters::*counter = nullptr;
    };
    Judgement judge(const Header &h, const Parsed &p) const;

    const Settings &settings_;
    Database &db_;
    Frontend &ui_;
    RunCounters &counters_;
    const QStringList &masks_;
    const QStringList &ignore_list_;
    QString &current_sender_;

    struct Parse {
        QString line;
        Header header;
        Parsed parsed;
    };
    mutable std::array<Parse, 64> ahead_;
    mutable std::size_t ahead_next_ = 0;
};

} // namespace brivane
