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
    // The status lines after the subject line.
    QStringList lines_after_subject() const { return ui.status.mid(1); }

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

} // namespace

class TestHeaderStep : public QObject {
    Q_OBJECT
private slots:
    void an_accepted_header_is_parsed_and_counted()
    {
        Fixture f;
        QCOMPARE(f.examine(overview("4711", "pic01.jpg (1/1)", "Joe <joe@x.org>", "50000", "700",
                                    "Xref: news.example.org a.b:1 c.d:2 e.f:3")),
                 HeaderStep::Verdict::Accepted);
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
        QCOMPARE(f.counters.non_bin_count + f.counters.dupes_this_count + f.counters.lskip_count, 0);
        QCOMPARE(f.ui.text(Box::tot_msg), QString("1"));
        QCOMPARE(f.ui.text(Box::non_bin), QString("0"));
        QCOMPARE(f.current_sender, QString("Joe <joe@x.org>"));
    }

    void mask_test_and_unknown_names()
    {
        {
            Fixture f;
            QCOMPARE(f.examine(overview("1", "no picture here", "a@b", "100000")), HeaderStep::Verdict::Rejected);
            QCOMPARE(f.lines_after_subject(), QStringList{"    File mask not found!"});
            QCOMPARE(f.counters.non_bin_count, 1);
            QCOMPARE(f.ui.text(Box::non_bin), QString("1"));
        }
        {
            Fixture f;
            f.settings.rcvunk = true;
            QCOMPARE(f.examine(overview("1", "no picture here", "a@b", "2048")), HeaderStep::Verdict::Accepted);
            QCOMPARE(f.h.file_name, QString("unknown"));
            QCOMPARE(f.examine(overview("2", "no picture here", "a@b", "2047")), HeaderStep::Verdict::Rejected);
            QCOMPARE(f.ui.status.last(), QString("    File mask not found!"));
            QCOMPARE(f.counters.articles_count, 2);
            QCOMPARE(f.counters.non_bin_count, 1);
        }
    }

    void crosspost_test()
    {
        Fixture f;
        QCOMPARE(f.examine(overview("1", "pic.jpg", "a@b", "5000", "100", "Xref: h a:1 b:2 c:3 d:4")),
                 HeaderStep::Verdict::Rejected);
        QCOMPARE(f.lines_after_subject(), QStringList{"    Xpost count 4 exceeds threshold of 3"});
        QCOMPARE(f.counters.non_bin_count, 1);
        QCOMPARE(f.examine(overview("2", "pic.jpg", "a@b", "5000", "100", "Xref: h a:1 b:2 c:3")),
                 HeaderStep::Verdict::Accepted);
        // A missing cross-reference field counts as one group.
        QCOMPARE(f.examine(overview("3", "pic.jpg", "a@b", "5000", "100", "")), HeaderStep::Verdict::Accepted);
        QCOMPARE(f.h.xrefs, 1);
    }

    void part_test()
    {
        Fixture f;
        QCOMPARE(f.examine(overview("1", "pic.jpg (2/3)", "a@b")), HeaderStep::Verdict::Rejected);
        QCOMPARE(f.ui.status.last(), QString("    Invalid binary!"));
        QCOMPARE(f.examine(overview("2", "holiday (12) pic.jpg", "a@b")), HeaderStep::Verdict::Rejected);
        QCOMPARE(f.ui.status.last(), QString("    Not a binary!"));
        QCOMPARE(f.counters.non_bin_count, 2);
        QCOMPARE(f.examine(overview("3", "pic.jpg (1/1)", "a@b")), HeaderStep::Verdict::Accepted);
        QCOMPARE(f.examine(overview("4", "pic.jpg", "a@b")), HeaderStep::Verdict::Accepted);
        QCOMPARE(f.counters.articles_count, 4);
    }

    void duplicate_test_with_quotes_in_names()
    {
        Fixture f;
        QVERIFY(f.db.exec("insert into dupes (filename) values (?)", {"pic01.jpg"}));
        QVERIFY(f.db.exec("insert into dupes (filename) values (?)", {"it's.jpg"}));
        QCOMPARE(f.examine(overview("1", "pic01.jpg (1/1)", "a@b")), HeaderStep::Verdict::Rejected);
        QCOMPARE(f.lines_after_subject(), QStringList{"    Duplicate file: pic01.jpg"});
        QCOMPARE(f.counters.dupes_this_count, 1);
        QCOMPARE(f.ui.text(Box::dupes_this), QString("1"));
        QCOMPARE(f.counters.non_bin_count, 0);

        // A quote is only a character: it matches itself and breaks nothing.
        QCOMPARE(f.examine(overview("2", "it's.jpg", "a@b")), HeaderStep::Verdict::Rejected);
        QCOMPARE(f.h.file_name, QString("it's.jpg"));
        QCOMPARE(f.ui.status.last(), QString("    Duplicate file: it's.jpg"));
        QCOMPARE(f.examine(overview("3", "x' or '1'='1.jpg", "a@b")), HeaderStep::Verdict::Accepted);
        QCOMPARE(f.counters.dupes_this_count, 2);

        f.settings.checkdupes = false;
        QCOMPARE(f.examine(overview("4", "pic01.jpg (1/1)", "a@b")), HeaderStep::Verdict::Accepted);
    }

    void lockout_by_sender_and_by_domain()
    {
        Fixture f;
        // Senders are stored with "~" for "'".
        QVERIFY(f.db.exec("insert into lockout (sender) values (?)", {"O~Brien <ob@x.org>"}));
        QVERIFY(f.db.exec("insert into lockout (sender) values (?)", {"@spam.example"}));
        QCOMPARE(f.examine(overview("1", "pic.jpg", "O'Brien <ob@x.org>")), HeaderStep::Verdict::Rejected);
        QCOMPARE(f.h.sender, QString("O~Brien <ob@x.org>"));
        // The status list shows "~" as "'".
        QCOMPARE(f.lines_after_subject(), QStringList{"    Locked out: O'Brien <ob@x.org>"});
        QCOMPARE(f.counters.lskip_count, 1);
        QCOMPARE(f.ui.text(Box::lskip), QString("1"));

        QCOMPARE(f.examine(overview("2", "pic.jpg", "joe@spam.example")), HeaderStep::Verdict::Rejected);
        QCOMPARE(f.ui.status.last(), QString("    Locked out: @spam.example"));
        QCOMPARE(f.counters.lskip_count, 2);
        // The domain part runs from "@" to the end, a closing ">" included.
        QCOMPARE(f.examine(overview("3", "pic.jpg", "Joe <joe@spam.example>")), HeaderStep::Verdict::Accepted);
        QVERIFY(f.db.exec("insert into lockout (sender) values (?)", {"@spam.example>"}));
        QCOMPARE(f.examine(overview("3", "pic.jpg", "Joe <joe@spam.example>")), HeaderStep::Verdict::Rejected);
        QCOMPARE(f.ui.status.last(), QString("    Locked out: @spam.example>"));
        QCOMPARE(f.counters.lskip_count, 3);

        QCOMPARE(f.examine(overview("4", "pic.jpg", "O'Brien <ob@y.org>")), HeaderStep::Verdict::Accepted);
        QCOMPARE(f.examine(overview("5", "pic.jpg", "no domain at all")), HeaderStep::Verdict::Accepted);
        // A quote that would have ended a concatenated statement is harmless.
        QCOMPARE(f.examine(overview("6", "pic.jpg", "x' or 1=1 --")), HeaderStep::Verdict::Accepted);
    }

    void lockout_matches_the_stored_button_form()
    {
        // The lock-out button stores the sender with brackets and bars
        // replaced; such a sender must stay locked out.
        Fixture f;
        QVERIFY(f.db.exec("insert into lockout (sender) values (?)", {"Joe (pics) <joe@x.org>"}));
        QCOMPARE(f.examine(overview("1", "pic.jpg", "Joe [pics] <joe@x.org>")), HeaderStep::Verdict::Rejected);
        QCOMPARE(f.ui.status.last(), QString("    Locked out: Joe [pics] <joe@x.org>"));
        QCOMPARE(f.current_sender, QString("Joe (pics) <joe@x.org>"));
    }

    void ignore_list()
    {
        Fixture f;
        f.ignore << "Bad (guy) bad@x.org";
        QCOMPARE(f.examine(overview("1", "pic.jpg", "Bad [guy]|bad@x.org")), HeaderStep::Verdict::Rejected);
        QCOMPARE(f.lines_after_subject(), QStringList{"    Temporarily Locked out: Bad [guy]|bad@x.org"});
        QCOMPARE(f.counters.lskip_count, 1);
        QCOMPARE(f.examine(overview("2", "pic.jpg", "Good guy")), HeaderStep::Verdict::Accepted);
    }

    void current_sender_is_set_for_every_header()
    {
        Fixture f;
        f.examine(overview("1", "no mask", "First [a]"));
        QCOMPARE(f.current_sender, QString("First (a)"));
        f.examine(overview("2", "pic.jpg", "It's me"));
        QCOMPARE(f.current_sender, QString("It~s me"));
    }

    void line_limits_are_inclusive()
    {
        Fixture f;
        QCOMPARE(f.examine(overview("1", "pic.jpg", "a@b", "5000", "10")), HeaderStep::Verdict::Accepted);
        QCOMPARE(f.examine(overview("2", "pic.jpg", "a@b", "5000", "5000")), HeaderStep::Verdict::Accepted);
        QCOMPARE(f.examine(overview("3", "pic.jpg", "a@b", "5000", "9")), HeaderStep::Verdict::Rejected);
        QCOMPARE(f.ui.status.last(), QString("    Line count too low... 9"));
        QCOMPARE(f.examine(overview("4", "pic.jpg", "a@b", "5000", "5001")), HeaderStep::Verdict::Rejected);
        QCOMPARE(f.ui.status.last(), QString("    Line count too high... 5001"));
        QCOMPARE(f.counters.non_bin_count, 2);
    }

    void fields_that_are_not_numbers()
    {
        Fixture f;
        QCOMPARE(f.examine(overview("1", "pic.jpg", "a@b", "12k")), HeaderStep::Verdict::Rejected);
        QCOMPARE(f.lines_after_subject(), QStringList{"    Bad header: size is not a number!"});
        QCOMPARE(f.examine(overview("2", "pic.jpg", "a@b", "5000", "")), HeaderStep::Verdict::Rejected);
        QCOMPARE(f.ui.status.last(), QString("    Bad header: line count is not a number!"));
        QCOMPARE(f.examine(overview("x3", "pic.jpg", "a@b")), HeaderStep::Verdict::Rejected);
        QCOMPARE(f.ui.status.last(), QString("    Bad header: article number is not a number!"));
        // A line with too few fields has no size.
        QCOMPARE(f.examine("4\tpic.jpg\ta@b"), HeaderStep::Verdict::Rejected);
        QCOMPARE(f.ui.status.last(), QString("    Bad header: size is not a number!"));
        QCOMPARE(f.examine(QString()), HeaderStep::Verdict::Rejected);
        QCOMPARE(f.counters.non_bin_count, 5);
        QCOMPARE(f.counters.articles_count, 5);
        // The run goes on: the next good header passes.
        QCOMPARE(f.examine(overview("6", "pic.jpg", "a@b")), HeaderStep::Verdict::Accepted);
    }

    void first_failing_test_alone_is_reported()
    {
        Fixture f;
        QVERIFY(f.db.exec("insert into dupes (filename) values (?)", {"pic.jpg"}));
        QVERIFY(f.db.exec("insert into lockout (sender) values (?)", {"a@b"}));
        f.ignore << "a@b";
        // Mask, crosspost and part tests come before the database lookups.
        QCOMPARE(f.examine(overview("1", "pic.jpg (2/3)", "a@b", "5000", "1")), HeaderStep::Verdict::Rejected);
        QCOMPARE(f.lines_after_subject(), QStringList{"    Invalid binary!"});
        f.ui.status.clear();
        QCOMPARE(f.examine(overview("2", "pic.jpg", "a@b", "5000", "1")), HeaderStep::Verdict::Rejected);
        QCOMPARE(f.lines_after_subject(), QStringList{"    Duplicate file: pic.jpg"});
        f.ui.status.clear();
        QCOMPARE(f.examine(overview("3", "other.jpg", "a@b", "5000", "1")), HeaderStep::Verdict::Rejected);
        QCOMPARE(f.lines_after_subject(), QStringList{"    Locked out: a@b"});
        QCOMPARE(f.counters.non_bin_count, 1);
        QCOMPARE(f.counters.dupes_this_count, 1);
        QCOMPARE(f.counters.lskip_count, 1);
    }

    void database_failures_stop_with_a_status_line()
    {
        {
            Fixture f;
            QVERIFY(f.db.exec("drop table dupes"));
            QCOMPARE(f.examine(overview("1", "pic.jpg", "a@b")), HeaderStep::Verdict::Failed);
            QVERIFY(f.ui.status.last().startsWith("    Duplicate lookup failed: "));
            QVERIFY(!f.db.last_error().isEmpty());
        }
        {
            Fixture f;
            QVERIFY(f.db.exec("drop table lockout"));
            QCOMPARE(f.examine(overview("1", "pic.jpg", "a@b")), HeaderStep::Verdict::Failed);
            QVERIFY(f.ui.status.last().startsWith("    Lock-out lookup failed: "));
        }
    }

    void counters_go_past_16_bits()
    {
        Fixture f;
        f.counters.non_bin_count = 32767;
        f.counters.articles_count = 999999;
        f.examine(overview("1", "no mask", "a@b"));
        QCOMPARE(f.counters.non_bin_count, 32768);
        QCOMPARE(f.ui.text(Box::non_bin), QString("32,768"));
        QCOMPARE(f.ui.text(Box::tot_msg), QString("1,000,000"));
    }

    void counters_show_every_box()
    {
        test::RecordingFrontend ui;
        RunCounters c;
        c.files_this_count = 1234;
        c.dupes_this_count = 0;
        c.lskip_count = 5;
        c.non_bin_count = 1234567;
        c.articles_count = 12;
        c.show(ui);
        QCOMPARE(ui.text(Box::files_this), QString("1,234"));
        QCOMPARE(ui.text(Box::dupes_this), QString("0"));
        QCOMPARE(ui.text(Box::lskip), QString("5"));
        QCOMPARE(ui.text(Box::non_bin), QString("1,234,567"));
        QCOMPARE(ui.text(Box::tot_msg), QString("12"));
    }
};

QTEST_GUILESS_MAIN(TestHeaderStep)
#include "test_headerstep.moc"
