#include "db/database.h"
#include "run/headerstep.h"
#include "shell/settings.h"
#include "support/testsupport.h"

#include <QTest>

using namespace brivane;

namespace {

QString overview(const QString &number, const QString &subject, const QString &sender,
                 const QString &size = "50000", const QString &lines = "700",
                 const QString &xref = "Xref: news.example.org a.b.c:1")
{
    return QStringList{number, subject, sender, "Mon, 1 Jan 2001 00:00:00 GMT", "<id@x>", "",
                       size, lines, xref}
        .join(QLatin1Char('\t'));
}

// A program home with a real database and a header step over it.
struct Fixture {
    Fixture() : settings(home.file("Brivane.ini"))
    {
        settings.rcvunk = false;
        settings.checkdupes = true;
        settings.xposts = 3;
        settings.min_lines = 10;
        settings.max_lines = 5000;
        QString error;
        if (!Database::create_database(home.file("brivane.mdb"), &error) || !db.open(home.file("brivane.mdb"), &error))
            qFatal("database: %s", qPrintable(error));
        step = std::make_unique<HeaderStep>(settings, db, ui, counters, masks, ignore, current_sender);
    }
    HeaderStep::Verdict examine(const QString &line) { return step->examine(line, &h); }

    test::TempHome home;
    Settings settings;
    Database db;
    test::RecordingFrontend ui;
    RunCounters counters;
    QStringList masks{"jpg", "gif"};
    QStringList ignore;
    QString current_sender;
    std::unique_ptr<HeaderStep> step;
    Header h;
};

using Verdict = HeaderStep::Verdict;

} // namespace

class TestHeaderStep : public QObject {
    Q_OBJECT
private slots:
    void an_accepted_header_is_parsed_and_counted()
    {
        Fixture f;
        QCOMPARE(f.examine(overview("4711", "pic01.jpg (1/1)", "Joe <joe@x.org>", "50000", "700",
                                    "Xref: news.example.org a.b:1 c.d:2 e.f:3")),
                 Verdict::Accepted);
        QCOMPARE(f.ui.status, QStringList{"pic01.jpg (1/1)"});  // the subject, no indent
        QCOMPARE(f.h.number_text, QString("4711"));
        QCOMPARE(f.h.number, 4711);
        QCOMPARE(f.h.subject, QString("pic01.jpg (1/1)"));
        QCOMPARE(f.h.sender, QString("Joe <joe@x.org>"));
        QCOMPARE(f.h.size, 50000);
        QCOMPARE(f.h.lines, 700);
        QCOMPARE(f.h.xrefs, 3);
        QCOMPARE(f.h.part, 1);
        QCOMPARE(f.h.parts, 1);
        QCOMPARE(f.h.mask_index, 1);
        QCOMPARE(f.h.file_name, QString("pic01.jpg"));
        QCOMPARE(f.counters.articles_count, 1);
        QCOMPARE(f.ui.text(Box::tot_msg), QString("1"));
        QCOMPARE(f.current_sender, QString("Joe <joe@x.org>"));
    }

    // One header against a database with duplicates and locked-out senders:
    // the first failing test alone is reported and counted.
    void one_header_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("said");     // after the subject; empty when accepted
        QTest::addColumn<QString>("counter");  // the one raised: non_bin, dupes or lskip
        QTest::addColumn<QString>("setting");  // rcvunk, nodupes or none
        QTest::addColumn<QString>("sender");   // current_sender afterwards, when given
        QTest::addColumn<QString>("name");     // the file name, when given
        auto row = [](const char *what, const QString &line, const QString &said, const QString &counter,
                      const QString &setting = {}, const QString &sender = {}, const QString &name = {}) {
            QTest::newRow(what) << line << said << counter << setting << sender << name;
        };
        const QString rejects_mask = "File mask not found!";
        row("no mask, sender kept with round brackets", overview("1", "no picture here", "First [a]", "100000"),
            rejects_mask, "non_bin", {}, "First (a)");
        row("unknown name, large enough", overview("1", "no picture here", "a@b", "2048"), {}, {}, "rcvunk", {},
            "unknown");
        row("unknown name, too small", overview("1", "no picture here", "a@b", "2047"), rejects_mask, "non_bin",
            "rcvunk");
        row("four groups", overview("1", "pic.jpg", "a@b", "5000", "100", "Xref: h a:1 b:2 c:3 d:4"),
            "Xpost count 4 exceeds threshold of 3", "non_bin");
        row("three groups", overview("1", "pic.jpg", "a@b", "5000", "100", "Xref: h a:1 b:2 c:3"), {}, {});
        row("no cross-reference field", overview("1", "pic.jpg", "a@b", "5000", "100", ""), {}, {});
        // From a server whose overview sends the Xref value without its name.
        row("four groups, value only", overview("1", "pic.jpg", "a@b", "5000", "100", "h a:1 b:2 c:3 d:4"),
            "Xpost count 4 exceeds threshold of 3", "non_bin");
        row("three groups, value only", overview("1", "pic.jpg", "a@b", "5000", "100", "h a:1 b:2 c:3"), {}, {});
        row("part of several", overview("1", "pic.jpg (2/3)", "a@b"), "Invalid binary!", "non_bin");
        row("number without count", overview("1", "holiday (12) pic.jpg", "a@b"), "Not a binary!", "non_bin");
        row("duplicate", overview("1", "pic01.jpg (1/1)", "a@b"), "Duplicate file: pic01.jpg", "dupes");
        // A quote is only a character: it matches itself and breaks nothing.
        row("duplicate with a quote", overview("1", "it's.jpg", "a@b"), "Duplicate file: it's.jpg", "dupes");
        row("quotes in a new name", overview("1", "x' or '1'='1.jpg", "a@b"), {}, {});
        row("duplicate check off", overview("1", "pic01.jpg (1/1)", "a@b"), {}, {}, "nodupes");
        // Senders are stored with "~" for "'"; the status list shows "'".
        row("locked sender with a quote", overview("1", "pic.jpg", "O'Brien <ob@x.org>"),
            "Locked out: O'Brien <ob@x.org>", "lskip", {}, "O~Brien <ob@x.org>");
        row("another address of that name", overview("1", "pic.jpg", "O'Brien <ob@y.org>"), {}, {});
        row("locked domain", overview("1", "pic.jpg", "joe@spam.example"), "Locked out: @spam.example", "lskip");
        // The domain part runs from "@" to the end, a closing ">" included.
        row("domain with its bracket, not locked", overview("1", "pic.jpg", "Joe <joe@spam.example>"), {}, {});
        row("domain with its bracket, locked", overview("1", "pic.jpg", "Joe <joe@angle.example>"),
            "Locked out: @angle.example>", "lskip");
        row("no domain", overview("1", "pic.jpg", "no domain at all"), {}, {});
        row("quote in the sender", overview("1", "pic.jpg", "x' or 1=1 --"), {}, {}, {}, "x~ or 1=1 --");
        // The lock-out button stores the sender with brackets and bars replaced.
        row("locked in the stored button form", overview("1", "pic.jpg", "Joe [pics] <joe@x.org>"),
            "Locked out: Joe [pics] <joe@x.org>", "lskip", {}, "Joe (pics) <joe@x.org>");
        row("ignore list", overview("1", "pic.jpg", "Bad [guy]|bad@x.org"),
            "Temporarily Locked out: Bad [guy]|bad@x.org", "lskip");
        // Line limits are inclusive.
        row("10 lines", overview("1", "pic.jpg", "a@b", "5000", "10"), {}, {});
        row("5000 lines", overview("1", "pic.jpg", "a@b", "5000", "5000"), {}, {});
        row("9 lines", overview("1", "pic.jpg", "a@b", "5000", "9"), "Line count too low... 9", "non_bin");
        row("5001 lines", overview("1", "pic.jpg", "a@b", "5000", "5001"), "Line count too high... 5001", "non_bin");
        row("size not a number", overview("1", "pic.jpg", "a@b", "12k"), "Bad header: size is not a number!",
            "non_bin");
        row("line count empty", overview("1", "pic.jpg", "a@b", "5000", ""),
            "Bad header: line count is not a number!", "non_bin");
        row("article number not a number", overview("x3", "pic.jpg", "a@b"),
            "Bad header: article number is not a number!", "non_bin");
        row("too few fields", "4\tpic.jpg\ta@b", "Bad header: size is not a number!", "non_bin");
        row("empty line", "", "Bad header: article number is not a number!", "non_bin");
        // Mask, crosspost and part tests come before the database lookups,
        // the duplicate test before the lock-out, and both before line counts.
        row("part before duplicate and lock-out", overview("1", "first.jpg (2/3)", "first@x", "5000", "1"),
            "Invalid binary!", "non_bin");
        row("duplicate before lock-out", overview("1", "first.jpg", "first@x", "5000", "1"),
            "Duplicate file: first.jpg", "dupes");
        row("lock-out before ignore list and lines", overview("1", "other.jpg", "first@x", "5000", "1"),
            "Locked out: first@x", "lskip");
    }
    void one_header()
    {
        QFETCH(QString, line);
        QFETCH(QString, said);
        QFETCH(QString, counter);
        QFETCH(QString, setting);
        QFETCH(QString, sender);
        QFETCH(QString, name);
        // Examined in its turn alone, and after the run looked ahead at it:
        // the look leaves no trace and agrees with the verdict.
        for (const bool looked : {false, true}) {
            Fixture f;
            for (const char *dupe : {"pic01.jpg", "it's.jpg", "first.jpg"})
                QVERIFY(f.db.exec("insert into dupes (filename) values (?)", {dupe}));
            for (const char *locked : {"O~Brien <ob@x.org>", "@spam.example", "@angle.example>",
                                       "Joe (pics) <joe@x.org>", "first@x"})
                QVERIFY(f.db.exec("insert into lockout (sender) values (?)", {locked}));
            f.ignore << "Bad (guy) bad@x.org" << "first@x";
            f.settings.rcvunk = setting == "rcvunk";
            f.settings.checkdupes = setting != "nodupes";

            if (looked) {
                Header ahead;
                const bool wanted = f.step->passes_fixed_tests(7, line) && f.step->still_accepted(7, &ahead);
                QCOMPARE(wanted, said.isEmpty());
                QVERIFY(f.ui.status.isEmpty());
                QCOMPARE(f.counters.articles_count, 0);
                QCOMPARE(f.counters.non_bin_count + f.counters.dupes_this_count + f.counters.lskip_count, 0);
                QVERIFY(f.current_sender.isEmpty());
            }
            QCOMPARE(f.step->examine(line, &f.h, looked ? 7 : -1),
                     said.isEmpty() ? Verdict::Accepted : Verdict::Rejected);
            QCOMPARE(f.ui.status.mid(1), said.isEmpty() ? QStringList() : QStringList{"    " + said});
            QCOMPARE(f.counters.articles_count, 1);
            QCOMPARE(f.counters.non_bin_count, counter == "non_bin" ? 1 : 0);
            QCOMPARE(f.counters.dupes_this_count, counter == "dupes" ? 1 : 0);
            QCOMPARE(f.counters.lskip_count, counter == "lskip" ? 1 : 0);
            QCOMPARE(f.ui.text(Box::non_bin), QString::number(f.counters.non_bin_count));
            QCOMPARE(f.ui.text(Box::dupes_this), QString::number(f.counters.dupes_this_count));
            QCOMPARE(f.ui.text(Box::lskip), QString::number(f.counters.lskip_count));
            if (!sender.isEmpty())
                QCOMPARE(f.current_sender, sender);
            if (!name.isEmpty())
                QCOMPARE(f.h.file_name, name);
            // Nothing carries over: the run goes on with the next header.
            QCOMPARE(f.examine(overview("2", "fine.jpg", "b@c")), Verdict::Accepted);
        }
    }

    // What the run finds when it looks ahead is kept by the line's place in
    // its range, and used only for that same line.
    void lines_looked_ahead_at()
    {
        Fixture f;
        Header h;
        const QString first = overview("10", "first.jpg", "a@b"), second = overview("11", "second.jpg", "a@b");
        QVERIFY(f.step->passes_fixed_tests(3, first));
        QVERIFY(f.step->still_accepted(3, &h));
        QCOMPARE(h.file_name, QString("first.jpg"));
        // Another line at that place (a new range not announced): parsed afresh.
        QCOMPARE(f.step->examine(second, &f.h, 3), Verdict::Accepted);
        QCOMPARE(f.h.number, 11);
        QCOMPARE(f.h.file_name, QString("second.jpg"));
        QCOMPARE(f.ui.status.first(), QString("second.jpg"));
        // A picture saved meanwhile under its name makes it a duplicate.
        QVERIFY(f.db.add_dupe("first.jpg"));
        QVERIFY(!f.step->still_accepted(3, &h));
        // A place never looked at, one whose slot a later place took, and
        // all after a new range: nothing is known of them.
        QVERIFY(f.step->passes_fixed_tests(4, second));
        QVERIFY(!f.step->still_accepted(5, &h));
        QVERIFY(f.step->passes_fixed_tests(4 + HeaderStep::kept_lines, overview("12", "third.jpg", "a@b")));
        QVERIFY(!f.step->still_accepted(4, &h));
        QVERIFY(f.step->still_accepted(4 + HeaderStep::kept_lines, &h));
        QCOMPARE(h.number, 12);
        f.step->new_range();
        QVERIFY(!f.step->still_accepted(4 + HeaderStep::kept_lines, &h));
        // The fixed tests alone: a line count too low fails them, whatever
        // the database says.
        QVERIFY(!f.step->passes_fixed_tests(0, overview("13", "fourth.jpg", "a@b", "5000", "9")));
    }

    void database_failures_stop_with_a_status_line()
    {
        for (const auto &[table, said] : {std::pair{"dupes", "    Duplicate lookup failed: "},
                                          std::pair{"lockout", "    Lock-out lookup failed: "}}) {
            Fixture f;
            QVERIFY(f.db.exec(QString("drop table ") + table));
            QCOMPARE(f.examine(overview("1", "pic.jpg", "a@b")), Verdict::Failed);
            QVERIFY2(f.ui.status.last().startsWith(said), qPrintable(f.ui.status.last()));
            QVERIFY(!f.db.last_error().isEmpty());
        }
    }

    void counters_go_past_16_bits_into_their_own_boxes()
    {
        Fixture f;
        f.counters.files_this_count = 1234;
        f.counters.lskip_count = 5;
        f.counters.non_bin_count = 32767;
        f.counters.articles_count = 999999;
        f.examine(overview("1", "no mask", "a@b"));
        QCOMPARE(f.counters.non_bin_count, 32768);
        QCOMPARE(f.ui.text(Box::files_this), QString("1,234"));
        QCOMPARE(f.ui.text(Box::dupes_this), QString("0"));
        QCOMPARE(f.ui.text(Box::lskip), QString("5"));
        QCOMPARE(f.ui.text(Box::non_bin), QString("32,768"));
        QCOMPARE(f.ui.text(Box::tot_msg), QString("1,000,000"));
    }
};

QTEST_GUILESS_MAIN(TestHeaderStep)
#include "test_headerstep.moc"
