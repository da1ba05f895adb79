#include "run/headerstep.h"

#include "db/database.h"
#include "run/filters.h"
#include "shell/frontend.h"
#include "shell/settings.h"

#include <optional>

namespace brivane {

namespace {

const QString indent = QStringLiteral("    ");

// A decimal field of the overview line; nullopt when it holds no number.
std::optional<qint64> number_field(const QString &field)
{
    bool ok = false;
    const qint64 v = field.trimmed().toLongLong(&ok, 10);
    if (!ok)
        return std::nullopt;
    return v;
}

} // namespace

HeaderStep::HeaderStep(const Settings &settings, Database &db, Frontend &ui, RunCounters &counters,
                       const QStringList &masks, const QStringList &ignore_list,
                       QString &current_sender)
    : settings_(settings), db_(db), ui_(ui), counters_(counters), masks_(masks),
      ignore_list_(ignore_list), current_sender_(current_sender)
{
}

HeaderStep::Parsed HeaderStep::parse(const QString &overview_line, Header &h) const
{
    h = Header();
    const QChar tab = QLatin1Char('\t');
    h.number_text = get_field(overview_line, tab, 1);
    h.subject = get_field(overview_line, tab, 2);
    h.part = get_low_part(h.subject);
    h.parts = get_high_part(h.subject);
    h.mask_index = ismask(h.subject, masks_);
    h.file_name = getfilename(h.subject, h.mask_index, masks_);
    h.sender = quote_to_tilde(get_field(overview_line, tab, 3));
    const std::optional<qint64> number = number_field(h.number_text);
    const std::optional<qint64> size = number_field(get_field(overview_line, tab, 7));
    const std::optional<qint64> lines = number_field(get_field(overview_line, tab, 8));
    h.number = number.value_or(0);
    h.size = size.value_or(0);
    h.lines = lines.value_or(0);
    h.xrefs = xref_count(get_field(overview_line, tab, 9));
    // Large articles without a known name may still be fetched: the name
    // inside the article decides later.
    Parsed p{number.has_value(), size.has_value(), lines.has_value()};
    p.fetch_unknown = h.mask_index == 0 && h.size >= 2048 && settings_.rcvunk;
    if (p.fetch_unknown)
        h.file_name = QStringLiteral("unknown");
    return p;
}

namespace {

HeaderStep::Judgement reject(const QString &text, qint64 RunCounters::*counter)
{
    return {HeaderStep::Verdict::Rejected, text, counter};
}

HeaderStep::Judgement failed(const QString &text)
{
    return {HeaderStep::Verdict::Failed, text, nullptr};
}

const auto non_bin = &RunCounters::non_bin_count;
const auto lskip = &RunCounters::lskip_count;

} // namespace

HeaderStep::Judgement HeaderStep::judge(const Header &h, const Parsed &p) const
{
    // In this order: the first failed test gives the status line, and the
    // database is asked only about headers that could be fetched.
    Judgement j = judge_fields(h, p);
    if (j.verdict == Verdict::Accepted)
        j = judge_changing(h);
    if (j.verdict == Verdict::Accepted)
        j = judge_lines(h);
    return j;
}

HeaderStep::Judgement HeaderStep::judge_fields(const Header &h, const Parsed &p) const
{
    // A field that should be a number and is not: the header cannot be
    // judged, so it is never fetched; the run goes on with the next one.
    if (!p.number_ok)
        return reject(QStringLiteral("Bad header: article number is not a number!"), non_bin);
    if (!p.size_ok)
        return reject(QStringLiteral("Bad header: size is not a number!"), non_bin);
    if (!p.lines_ok)
        return reject(QStringLiteral("Bad header: line count is not a number!"), non_bin);

    if (h.mask_index == 0 && !p.fetch_unknown)
        return reject(QStringLiteral("File mask not found!"), non_bin);

    if (h.xrefs > settings_.xposts)
        return reject(QStringLiteral("Xpost count ") + QString::number(h.xrefs)
                          + QStringLiteral(" exceeds threshold of ")
                          + QString::number(settings_.xposts),
                      non_bin);

    // Only single-article binaries are fetched.
    if (h.parts > 1)
        return reject(QStringLiteral("Invalid binary!"), non_bin);
    if (h.parts == 0 && h.part != 0)
        return reject(QStringLiteral("Not a binary!"), non_bin);
    return {};
}

HeaderStep::Judgement HeaderStep::judge_lines(const Header &h) const
{
    if (h.lines < settings_.min_lines)
        return reject(QStringLiteral("Line count too low... ") + QString::number(h.lines), non_bin);
    if (h.lines > settings_.max_lines)
        return reject(QStringLiteral("Line count too high... ") + QString::number(h.lines), non_bin);
    return {};
}

HeaderStep::Judgement HeaderStep::judge_changing(const Header &h) const
{
    if (settings_.checkdupes) {
        const std::optional<bool> dupe = db_.dupe_exists(h.file_name);
        if (!dupe)
            return failed(QStringLiteral("Duplicate lookup failed: ") + db_.last_error());
        if (*dupe)
            return reject(QStringLiteral("Duplicate file: ") + h.file_name,
                          &RunCounters::dupes_this_count);
    }

    // Lock-out, on the whole sender and then on its part from "@" on. The
    // lock-out button stores the sender with brackets and bars replaced, so
    // that form is looked up as well.
    auto locked = [&](const QString &who) -> std::optional<bool> {
        std::optional<bool> hit = db_.sender_locked(who);
        if (hit && !*hit) {
            const QString alt = nobrackets(who);
            if (alt != who)
                hit = db_.sender_locked(alt);
        }
        return hit;
    };
    std::optional<bool> hit = locked(h.sender);
    if (!hit)
        return failed(QStringLiteral("Lock-out lookup failed: ") + db_.last_error());
    if (*hit)
        return reject(QStringLiteral("Locked out: ") + h.sender, lskip);
    const QString domain = get_domain(h.sender);
    if (!domain.isEmpty()) {
        hit = locked(domain);
        if (!hit)
            return failed(QStringLiteral("Lock-out lookup failed: ") + db_.last_error());
        if (*hit)
            return reject(QStringLiteral("Locked out: ") + domain, lskip);
    }

    if (is_ignored(nobrackets(h.sender), ignore_list_))
        return reject(QStringLiteral("Temporarily Locked out: ") + h.sender, lskip);
    return {};
}

HeaderStep::Verdict HeaderStep::examine(const QString &overview_line, Header *out, qint64 at)
{
    Header local;
    Header &h = out ? *out : local;
    Parsed p;
    const Parse *seen = at >= 0 ? &ahead_[std::size_t(at % kept_lines)] : nullptr;
    if (seen && seen->at == at && seen->line == overview_line) {
        h = seen->header;
        p = seen->parsed;
    } else {
        p = parse(overview_line, h);
    }

    ui_.add_status(h.subject);
    ++counters_.articles_count;
    counters_.show(ui_);
    current_sender_ = nobrackets(h.sender);

    const Judgement j = judge(h, p);
    if (j.verdict != Verdict::Accepted)
        ui_.add_status(indent + j.text);
    if (j.verdict == Verdict::Rejected) {
        ++(counters_.*j.counter);
        counters_.show(ui_);
    }
    return j.verdict;
}

void HeaderStep::new_range()
{
    for (Parse &a : ahead_)
        a.at = -1;
}

bool HeaderStep::passes_fixed_tests(qint64 at, const QString &overview_line) const
{
    Parse &kept = ahead_[std::size_t(at % kept_lines)];
    kept.at = at;
    kept.line = overview_line;
    kept.parsed = parse(overview_line, kept.header);
    return judge_fields(kept.header, kept.parsed).verdict == Verdict::Accepted
           && judge_lines(kept.header).verdict == Verdict::Accepted;
}

bool HeaderStep::still_accepted(qint64 at, Header *h) const
{
    const Parse &kept = ahead_[std::size_t(at % kept_lines)];
    if (kept.at != at)
        return false;
    *h = kept.header;
    return judge_changing(kept.header).verdict == Verdict::Accepted;
}

} // namespace brivane
