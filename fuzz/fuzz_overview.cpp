// Fuzz target: taking overview lines, subjects and names apart.
// Any input must give results inside their documented ranges.
#include "run/files.h"
#include "run/filters.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <cstdlib>

using namespace brivane;

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

void check_safe_name(const QString &s, bool is_file)
{
    check(!s.isEmpty());
    check(!s.startsWith(QLatin1Char('.')));
    check(s != QLatin1String(".") && s != QLatin1String(".."));
    check(s.toUtf8().size() <= 200);
    for (QChar c : s) {
        check(c != QLatin1Char('/') && c != QLatin1Char('\\'));
        check(c.unicode() >= 0x20 && !(c.unicode() >= 0x7f && c.unicode() <= 0x9f));
    }
    check(!s.front().isSpace() && !s.back().isSpace());
    if (is_file)
        check(safe_file_name(s) == s);  // a safe name stays as it is
}

void run(const QString &line)
{
    static const QStringList masks{QStringLiteral("jpg"), QStringLiteral("gif"),
                                   QStringLiteral("JPE"), QString()};
    const QChar tab = QLatin1Char('\t');
    for (int n = 0; n <= 10; ++n) {
        const QString f = get_field(line, tab, n);
        check(f.size() <= line.size());
        check(!f.contains(tab));
    }
    const QString subject = get_field(line, tab, 2);
    const int k = ismask(subject, masks);
    check(k >= 0 && k <= masks.size());
    check(k == 0 || !masks.at(k - 1).isEmpty());
    const QString name = getfilename(subject, k, masks);
    check(name.size() <= 50);
    for (int i = 0; i <= 5; ++i)
        (void)getfilename(subject, i, masks);
    const int hi = get_high_part(subject), lo = get_low_part(subject);
    check(hi >= 0 && hi < 32768);
    check(lo >= 0 && lo < 32768);
    check(xref_count(get_field(line, tab, 9)) >= 1);
    check(xref_count(line) >= 1);

    const QString sender = get_field(line, tab, 3);
    const QString nb = nobrackets(sender);
    check(nb.size() == sender.size());
    check(!nb.contains(QLatin1Char('[')) && !nb.contains(QLatin1Char(']')) && !nb.contains(QLatin1Char('|')));
    const QString d = get_domain(sender);
    check(d.isEmpty() || d.startsWith(QLatin1Char('@')));
    check(!quote_to_tilde(sender).contains(QLatin1Char('\'')));
    check(tilde_to_quote(quote_to_tilde(sender)) == tilde_to_quote(sender));
    check(is_ignored(nb, QStringList{nb}));

    check_safe_name(safe_file_name(name), true);
    check_safe_name(safe_file_name(line), true);
    check_safe_name(safe_dir_name(line), false);
    check(!path_file_name(line).contains(QLatin1Char('/')));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    run(QString::fromUtf8(text, qsizetype(size)));
    run(QString::fromLatin1(text, qsizetype(size)));
    return 0;
}
