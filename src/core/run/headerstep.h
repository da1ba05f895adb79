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
    // A verdict with its status text and counter (see judge()).
    struct Judgement {
        Verdict verdict = Verdict::Accepted;
        QString text;
        qint64 RunCounters::*counter = nullptr;
    };

    HeaderStep(const Settings &settings, Database &db, Frontend &ui, RunCounters &counters,
               const QStringList &masks, const QStringList &ignore_list, QString &current_sender);

    // Examines one overview line; fills `h` as far as the line allows.
    // A line whose number, size or line count is not a number is rejected
    // with a status line and counted (it is never accepted). `at` is the
    // line's place in its overview range when the run looked ahead at it
    // (see below), else -1.
    Verdict examine(const QString &overview_line, Header *h, qint64 at = -1);

    // The run looks at the lines after the one in hand, to ask the server
    // early for the articles it will fetch. None of this leaves a trace (no
    // status line, counter or sender).
    //
    // A new overview range: places count from 0 again.
    void new_range();
    // Whether line `at` passes the tests nothing changes during a run (the
    // fields, mask, cross-posts, parts, line count). The line is parsed
    // once, for this, still_accepted() and examine().
    bool passes_fixed_tests(qint64 at, const QString &overview_line) const;
    // Whether a line that passed them would be accepted now: a picture
    // saved meanwhile may have made it a duplicate, a sender may have been
    // locked out. Fills `h`. False for a line not looked at lately.
    bool still_accepted(qint64 at, Header *h) const;
    // How many places ahead of the line in hand are remembered.
    static constexpr qint64 kept_lines = 256;

private:
    // The line's fields; false in `*_ok` where a number field holds none.
    struct Parsed {
        bool number_ok = false, size_ok = false, lines_ok = false;
        bool fetch_unknown = false;  // no mask in the subject, but big enough to look inside
    };
    Parsed parse(const QString &overview_line, Header &h) const;
    // The first test the header fails: its status text and counter, or an
    // empty text for an accepted header. A failed lookup gives Failed and
    // its status line in `text`.
    Judgement judge(const Header &h, const Parsed &p) const;
    // judge() is these three in turn. The first and last look at the line
    // alone; the middle one asks the database and the ignore list.
    Judgement judge_fields(const Header &h, const Parsed &p) const;
    Judgement judge_changing(const Header &h) const;
    Judgement judge_lines(const Header &h) const;

    const Settings &settings_;
    Database &db_;
    Frontend &ui_;
    RunCounters &counters_;
    const QStringList &masks_;
    const QStringList &ignore_list_;
    QString &current_sender_;

    // The lines looked ahead at, by place (modulo their number).
    struct Parse {
        qint64 at = -1;
        QString line;
        Header header;
        Parsed parsed;
    };
    mutable std::array<Parse, kept_lines> ahead_;
};

} // namespace brivane
