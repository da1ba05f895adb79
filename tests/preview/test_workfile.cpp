#include "pictures.h"
#include "preview/workfile.h"
#include "support/testsupport.h"

#include <QFile>
#include <QTest>

using namespace brivane;

namespace {

const QByteArray full_line = "M" + QByteArray(60, '!');  // 45 bytes in 61 characters

// A home with a work file and the repair bound to its work2.
struct Fixture {
    Fixture() : repair(home.file("work2")) {}
    bool fix(const QByteArray &content)
    {
        if (!home.write("work1000", content))
            qFatal("cannot write the work file");
        return repair.fix_workfile(home.file("work1000"), ui);
    }
    QByteArray work() const { return home.read("work1000"); }
    bool work2_left() const { return QFile::exists(home.file("work2")); }

    test::TempHome home;
    WorkfileRepair repair;
    test::RecordingFrontend ui;
};

QByteArray uu_block(const QByteArray &name = "pic.jpg")
{
    return "begin 644 " + name + "\n" + full_line + "\n" + full_line + "\n#86)C\n`\nend\n";
}

} // namespace

class TestWorkfile : public QObject {
    Q_OBJECT
private slots:
    void complete_uuencoded_block()
    {
        Fixture f;
        QVERIFY(f.fix(test::article(uu_block() + "-- \nsig\n")));
        QVERIFY(f.repair.begin_found);
        QVERIFY(!f.repair.jpeg64_found);
        QCOMPARE(f.repair.found_filename, QString("pic.jpg"));
        QVERIFY(f.repair.io_error.isEmpty());
        // Everything before the begin line is gone; the rest is kept, CR LF.
        QCOMPARE(f.work(), test::crlf(uu_block() + "-- \nsig\n"));
        QVERIFY(!f.work2_left());
        QVERIFY(f.ui.status.isEmpty());

        // Text that only starts with the word is header text, not the block.
        for (const QByteArray prose : {"Begin of the series", "Beginners luck, my first shot:", "BEGIN: below"}) {
            QVERIFY(f.fix(test::article(prose + "\n" + uu_block())));
            QCOMPARE(f.work(), test::crlf(uu_block()));
            QCOMPARE(f.repair.found_filename, QString("pic.jpg"));
        }
    }

    // A block that is recognised but not complete: cleaned all the same.
    void incomplete_blocks()
    {
        QByteArray block = uu_block();
        block.replace("`\n", "");
        const QByteArray b64 = test::crlf("/9j/4AAQ\nEnding\n");
        for (const auto &[raw, cleaned, uu] : {std::tuple{test::article(block), test::crlf(block), true},
                                               std::tuple{b64, b64, false}}) {
            Fixture f;
            QVERIFY(!f.fix(raw));
            QCOMPARE(f.repair.begin_found, uu);
            QCOMPARE(f.repair.jpeg64_found, !uu);
            QCOMPARE(f.work(), cleaned);
            QVERIFY(!f.work2_left());
            QVERIFY(f.ui.status.isEmpty());
        }
    }

    void each_data_line_decides_the_verdict_afresh()
    {
        Fixture f;
        // The zero-length line written as a blank, or with the blank lost.
        for (const QByteArray zero : {" ", ""}) {
            QByteArray block = uu_block();
            block.replace("\n`\n", "\n" + zero + "\n");
            QVERIFY2(f.fix(block), zero.constData());
        }
        // A 63-character line not starting with "M" makes it False; the
        // backquote line makes it True again.
        QVERIFY(f.fix("begin 644 a.jpg\r\nX" + QByteArray(62, '!') + "\r\n`\r\nend\r\n"));
        // A line longer than 63 after the backquote line decides it False.
        QVERIFY(!f.fix("begin 644 a.jpg\r\n`\r\nM" + QByteArray(65, '!') + "\r\nend\r\n"));
        // A short line after a bad one makes it True again.
        QVERIFY(f.fix("begin 644 a.jpg\r\nM" + QByteArray(70, '!') + "\r\n#86)C\r\n`\r\nend\r\n"));
        // Only a real begin line is spared the "M" rule.
        QVERIFY(f.fix("begin 644 a.jpg\r\n`\r\nbegin 644 " + QByteArray(53, 'n') + "\r\nend\r\n"));
        QVERIFY(!f.fix("begin 644 a.jpg\r\n`\r\nBeginning" + QByteArray(54, 'n') + "\r\nend\r\n"));
    }

    void mime_with_quoted_name()
    {
        Fixture f;
        const QByteArray body = "/9j/4AAQSkZJRgABAQEASABIAAD/2wBDAAMCAgMCAgMDAwMEAwMEBQgFBQQEBQoHBwYI\n"
                                "DAoMDAsKCwsNDhIQDQ4RDgsLEBYQERMUFRUVDA8XGBYUGBIUFRT/2Q==\n";
        QVERIFY(f.fix(test::mime_article(body, "Content-Type: image/jpeg; name=\"x.jpg\"\n"
                                               "Content-Transfer-Encoding: base64\n")));
        QVERIFY(f.repair.jpeg64_found);
        QVERIFY(!f.repair.begin_found);
        QCOMPARE(f.repair.found_filename, QString("x.jpg"));
        // The headers are not copied: the file starts with the body.
        QVERIFY(f.work().startsWith("/9j/4AAQ"));
        QVERIFY(f.work().contains("--XyZ--\r\n"));
        QVERIFY(!f.work().contains("Content-Type"));
    }

    // Where the name comes from and what becomes of it.
    void file_names()
    {
        auto mime = [](const QByteArray &headers) { return test::mime_article("/9j/4AAQ\n", headers); };
        const QString cafe = QString::fromUtf8("café.jpg");
        const QList<std::pair<QByteArray, QString>> cases{
            {test::article(uu_block("Photo.JPEG")), "Photo.jpg"},  // ".jpeg" becomes ".jpg" ...
            {test::article(uu_block("a.b.jpeg")), "a.jpg"},        // ... from the first dot ...
            {test::article(uu_block("../v1.2/x.y.jpeg")), "x.jpg"},  // ... of the name, not of a folder
            {test::article(uu_block("c:\\p.2\\z.jpeg")), "z.jpg"},
            {test::crlf("Content-Type: x; name=\"c.Jpeg\"\n"), "c.jpg"},  // ... also when unrecognised
            {test::article(uu_block("\xc3\x9c" "ber.jpg")), QString::fromUtf8("Über.jpg")},  // UTF-8, else Latin-1
            {test::article(uu_block("\xdc" "ber.jpg")), QString::fromUtf8("Über.jpg")},
            {test::article(uu_block().replace("begin 644", "begin 0644")), "pic.jpg"},  // four-digit mode
            {test::article(uu_block("PIC.JPG").replace("begin", "BEGIN")), "PIC.JPG"},
            // A bare value whole, up to the next parameter; a quoted one up to its quote.
            {mime("Content-Type: image/jpeg; name=photo.jpg\n"), "photo.jpg"},
            {mime("Content-Type: image/jpeg; name=photo.jpg ; x=1\n"), "photo.jpg"},
            {mime("Content-Type: image/jpeg; name=\"a.jpg\"; x=1\n"), "a.jpg"},
            {mime("Content-Type: image/jpeg; name=\"a b;c.jpg\"\n"), "a b;c.jpg"},
            {mime("Content-Type: image/jpeg; name=\"open.jpg\n"), "open.jpg"},
            // A quoted quote (and backslash) belongs to the name.
            {mime("Content-Type: image/jpeg; name=\"my \\\"best\\\" pic.jpg\"\n"), "my \"best\" pic.jpg"},
            {mime("Content-Type: image/jpeg; name=\"a\\\\b.jpg\"\n"), "a\\b.jpg"},
            {mime("Content-Type: image/jpeg; name=\"C:\\Pics\\beach.jpg\"\n"), "C:\\Pics\\beach.jpg"},
            {mime("Content-Disposition: attachment; filename=\"b.jpg\"\n"), "b.jpg"},
            // Parameter names in any case.
            {mime("Content-Type: image/jpeg; NAME=\"up.jpg\"\n"), "up.jpg"},
            {mime("Content-Disposition: attachment; FileName*=UTF-8''caf%C3%A9.jpg\n"), cafe},
            {mime("Content-Type: image/jpeg; name=\n"), ""},
            // The last name= before the data wins.
            {mime("Content-Type: image/jpeg; name=\"one.jpg\"\nContent-Disposition: inline; filename=\"two.jpg\"\n"),
             "two.jpg"},
            // Encoded words (RFC 2047): B and Q, several joined, also across a fold.
            {mime("Content-Type: image/jpeg; name=\"=?UTF-8?B?Y2Fmw6kuanBn?=\"\n"), cafe},
            {mime("Content-Type: image/jpeg; name==?utf-8?q?caf=C3=A9_2.jpg?=\n"), QString::fromUtf8("café 2.jpg")},
            {mime("Content-Type: image/jpeg; name=\"=?ISO-8859-1?Q?caf=E9?= =?US-ASCII?B?LmpwZw==?=\"\n"), cafe},
            {mime("Content-Type: image/jpeg;\n name=\"=?UTF-8?B?Y2Fm?=\n =?UTF-8?Q?=C3=A9.jpg?=\"\n"), cafe},
            {mime("Content-Type: image/jpeg; name=\"=?UTF-8*en?Q?caf=C3=A9?=.jpg\"\n"), cafe},  // a language
            {mime("Content-Type: image/jpeg; name=\"x =?UTF-8?Q?a?= y.jpg\"\n"), "x a y.jpg"},  // blanks by text stay
            {mime("Content-Type: image/jpeg; name=\"=?UTF-16BE?B?AGMAYQBmAOkALgBqAHAAZw==?=\"\n"), cafe},  // Qt knows it
            // Words that cannot be decoded stay as they are.
            {mime("Content-Type: image/jpeg; name=\"=?X-UNKNOWN?Q?a?=.jpg\"\n"), "=?X-UNKNOWN?Q?a?=.jpg"},
            {mime("Content-Type: image/jpeg; name=\"=?UTF-8?B?Y2Fm!w==?=.jpg\"\n"), "=?UTF-8?B?Y2Fm!w==?=.jpg"},
            {mime("Content-Type: image/jpeg; name=\"=?UTF-8?Q?a=Z1?=.jpg\"\n"), "=?UTF-8?Q?a=Z1?=.jpg"},
            {mime("Content-Type: image/jpeg; name=\"=?UTF-8?X?abc?=.jpg\"\n"), "=?UTF-8?X?abc?=.jpg"},
            {mime("Content-Type: image/jpeg; name=\"a=?b.jpg\"\n"), "a=?b.jpg"},
            // RFC 2231: a charset and percent signs, numbered pieces on one or several lines.
            {mime("Content-Disposition: attachment; filename*=UTF-8''caf%C3%A9.jpg\n"), cafe},
            {mime("Content-Disposition: attachment; filename*=iso-8859-1'fr'caf%E9.jpg; size=5\n"), cafe},
            {mime("Content-Type: image/jpeg; name*0=\"long\"; name*1=\"er.jpg\"\n"), "longer.jpg"},
            {mime("Content-Disposition: attachment;\n filename*0*=UTF-8''caf%C3;\n\tfilename*1*=%A9;\n filename*2=\".jpg\"\n"),
             cafe},
            {mime("Content-Disposition: attachment; filename*1=\"b.jpg\"; filename*0=\"a\"\n"), "ab.jpg"},  // any order
            {mime("Content-Disposition: attachment; filename*0=\"a\"; filename*2=\"c.jpg\"\n"), "a"},  // up to a gap
            // In one field the RFC 2231 form wins over the plain one.
            {mime("Content-Disposition: attachment; filename*=UTF-8''caf%C3%A9.jpg; filename=\"cafe.jpg\"\n"), cafe},
            // Pieces belong to their field: the next field's do not mix in.
            {mime("Content-Type: image/jpeg; name*0=\"one\"; name*1=\"two.jpg\"\n"
                  "Content-Disposition: attachment; filename*0=\"three.jpg\"\n"),
             "three.jpg"},
            // The uuencoded begin line still names the file, unless it names none.
            {test::crlf("Content-Type: x; name=\"=?UTF-8?B?Y2Fmw6kuanBn?=\"\n\n") + uu_block(), "pic.jpg"},
            {test::crlf("Content-Type: x; name=\"named.jpg\"\n\n") + uu_block().replace("begin 644 pic.jpg", "begin 644"),
             "named.jpg"},
        };
        for (const auto &[raw, name] : cases) {
            Fixture f;
            f.repair.found_filename = "left over";
            f.fix(raw);
            QCOMPARE(f.repair.found_filename, name);
        }
    }

    void a_file_naming_nothing_keeps_the_last_name()
    {
        Fixture f;
        QVERIFY(f.fix(test::article(uu_block("first.jpg"))));
        QCOMPARE(f.repair.found_filename, QString("first.jpg"));
        QVERIFY(f.fix(test::crlf("/9j/4AAQ\n")));
        QCOMPARE(f.repair.found_filename, QString("first.jpg"));
        QVERIFY(!f.fix("nothing at all\r\n"));
        QCOMPARE(f.repair.found_filename, QString("first.jpg"));
    }

    // Full-length lines with CR LF are taken in bulk, those with a bare LF
    // one by one: both ways give the same text and verdict.
    void line_ends_change_nothing()
    {
        QByteArray bad = full_line;
        bad[30] = 'a';  // outside the alphabet
        const QByteArray many = (full_line + "\n").repeated(50);
        const QList<QByteArray> cases{
            test::article(uu_block() + "-- \nsig\n"),
            full_line + "\nbegin 644 pic.jpg\n" + many + bad + "\n" + many + "#86)C\n`\nend\n",
            "begin 644 pic.jpg\n" + many + "--- cut here ---\n" + full_line + "   \n" + many + "`\n" + full_line
                + "\nend\n" + full_line + "\n",
            "begin 644 pic.jpg\n" + many + "Size: 12345 bytes\n" + many + "end\n",
            // Too long a line, then full ones: the verdict is theirs.
            "begin 644 pic.jpg\n" + many + "`\nM" + QByteArray(63, '!') + "\n" + many + "end\n",
            "begin 644 pic.jpg\n" + many.chopped(1),
            // A full line after the end line, with no zero line before it.
            "begin 644 pic.jpg\n" + full_line + "\nend\n" + full_line + "\n",
        };
        for (const QByteArray &lf : cases) {
            Fixture a, b;
            const bool complete_lf = a.fix(lf);
            QCOMPARE(b.fix(test::crlf(lf)), complete_lf);
            QCOMPARE(b.work(), test::crlf(a.work()));  // a file left as it came keeps its LFs
            QCOMPARE(b.repair.begin_found, a.repair.begin_found);
            QCOMPARE(b.repair.found_filename, a.repair.found_filename);
        }
    }

    void separator_lines_are_dropped_but_data_is_not()
    {
        Fixture f;
        const QByteArray data_with_size = "M" + QByteArray(20, '!') + "SIZE" + QByteArray(36, '!');
        const QByteArray data_with_uuxt = "M" + QByteArray(10, '#') + "UUXT" + QByteArray(46, '#');
        QVERIFY(f.fix(test::crlf("begin 644 pic.jpg\n"
                                 "--- cut here ---\n"
                                 + full_line + "\n"
                                 "Size: 12345 bytes\n"
                                 + data_with_size + "\n"
                                 "section 1/1   UuXt 1.0\n"
                                 + data_with_uuxt + "\n"
                                 "`\nend\n"
                                 "--- CUT HERE ---\n")));
        QCOMPARE(f.work(), test::crlf("begin 644 pic.jpg\n" + full_line + "\n" + data_with_size + "\n"
                                      + data_with_uuxt + "\n`\nend\n"));
        // Nor is a begin line whose name holds one of the words.
        QVERIFY(f.fix(uu_block("fullsize.jpg")));
        QCOMPARE(f.work(), test::crlf(uu_block("fullsize.jpg")));
        QCOMPARE(f.repair.found_filename, QString("fullsize.jpg"));

        // base64 lines may spell the words in any case: they stay.
        // Trailing blanks do not make them text.
        // So do lines of an encoder that wraps them at a width that is no
        // multiple of four.
        const QByteArray b64 = "/9j/4AAQSiZeAAAAUuXtAAAAcutsHERE\n/9j/sizeUUXT  \nEndSIZEx\t\nAAsizeA\nuuxtAAAAA=\n";
        QVERIFY(f.fix(test::crlf("Content-Type: image/jpeg; name=\"s.jpg\"\n\n" + b64 + "\ncut here\n")));
        QCOMPARE(f.work(), test::crlf(b64 + "\n"));
    }

    void two_trailing_blanks()
    {
        Fixture f;
        const QByteArray padded = full_line + "   ";  // three blanks: two go
        // Blanks that are data (the line needs them) stay.
        const QByteArray blank_data = "M" + QByteArray(58, '!') + "  ";
        QVERIFY(f.fix(test::crlf("begin 644 pic.jpg  \n" + padded + "\n" + blank_data + "\n`\nend  \n")));
        QCOMPARE(f.work(), test::crlf("begin 644 pic.jpg\n" + full_line + " \n" + blank_data + "\n`\nend\n"));
        // The name was taken before the blanks went.
        QCOMPARE(f.repair.found_filename, QString("pic.jpg  "));
    }

    // Unrecognised: the work file is left as it came, work2 holds the copy.
    void unrecognised_files()
    {
        const QList<std::tuple<QByteArray, QByteArray, QString>> cases{
            {test::crlf("Subject: x\n\nbegin 644 last.jpg"), "begin 644 last.jpg\r\n", "last.jpg"},
            {test::article("Just words.\nMore words.\n"), "", ""},
            // Not begin lines: no octal mode.
            {test::crlf("begin abc x.jpg\n" + full_line + "\n`\nend\n"), "", ""},
            {test::crlf("begin 6448 x.jpg\n" + full_line + "\n`\nend\n"), "", ""},
            {"", "", ""},
        };
        for (const auto &[raw, work2, name] : cases) {
            Fixture f;
            QVERIFY(!f.fix(raw));
            QCOMPARE(f.repair.begin_found, !name.isEmpty());
            QVERIFY(!f.repair.jpeg64_found);
            QCOMPARE(f.repair.found_filename, name);
            QCOMPARE(f.ui.status, QStringList{"    Invalid file format!"});
            QCOMPARE(f.work(), raw);
            QVERIFY(f.work2_left());
            QCOMPARE(f.home.read("work2"), work2);
        }
    }

    // In memory, an unrecognised article is handed back as it came, even
    // when its status line lets the window handle a Stop that frees the
    // connection's copy of it.
    void unrecognised_text_survives_its_status_line()
    {
        struct Dropping : test::RecordingFrontend {
            QByteArray *source = nullptr;
        protected:
            void show_status(const QString &line) override
            {
                RecordingFrontend::show_status(line);
                *source = QByteArray();
            }
        };
        const QByteArray words = test::article("Just words.\n");
        QByteArray source = QByteArray(words.constData(), words.size());  // owned by `source` alone
        Dropping ui;
        ui.source = &source;
        WorkfileRepair repair(QString{});
        QByteArray text;
        QVERIFY(!repair.repair(source, &text, ui));
        QCOMPARE(ui.status, QStringList{"    Invalid file format!"});
        QCOMPARE(text, words);
    }

    void hostile_bytes()
    {
        Fixture f;
        // NUL bytes, lone CRs, no final line end: kept byte for byte.
        QByteArray nul = QByteArray("Sub\0ject\r\n", 10);
        nul += QByteArray("begin 644 n\0ul.jpg\rjunk", 23) + "\r\n" + full_line + "\r\n";
        nul += QByteArray("\0\0", 2) + "\r\n`\r\nend";
        QVERIFY(f.fix(nul));
        QVERIFY(f.repair.begin_found);
        QCOMPARE(f.work(), nul.mid(nul.indexOf("begin")) + "\r\n");
        QCOMPARE(f.repair.found_filename, QString::fromLatin1("n\0ul.jpg\rjunk", 13));

        // A very long line before and inside the data.
        const QByteArray huge(2 * 1024 * 1024, 'M');
        QVERIFY(f.fix(huge + "\r\nbegin 644 big.jpg\r\n" + huge + "\r\n`\r\nM!!\r\nend\r\n"));
        QVERIFY(!f.fix("begin 644 big.jpg\r\n`\r\n" + huge + "\r\nend\r\n"));
        QCOMPARE(f.work().size(), 19 + 3 + huge.size() + 2 + 5);

        // Name values built to make the name search slow: a megabyte of
        // encoded words that never close, and closed ones in an unknown
        // character set, on several header lines. The name is taken from
        // the first 8 KiB of a line and undecodable words stay as they are.
        const QByteArray field = "Content-Type: image/jpeg; name=";
        QByteArray unclosed = field, unknown = field;
        while (unclosed.size() < 1024 * 1024)
            unclosed += "=?a?b?x";
        while (unknown.size() < 1024 * 1024)
            unknown += "=?x-none?q?a?=";
        QVERIFY(f.fix(test::crlf(unclosed + "\n" + unknown + "\n" + unclosed + "\n\n") + uu_block()));
        QCOMPARE(f.repair.found_filename, "pic.jpg");
        f.fix(test::mime_article("/9j/4AAQ\n", unknown + "\n" + unclosed + "\n"));
        QCOMPARE(f.repair.found_filename, QString::fromLatin1(unclosed.mid(field.size(), 8192 - field.size())));
        // Fields folded over thousands of short lines, full of words that
        // never close, each decoded once and in one pass. Decoded again with
        // each line, 64 of them took a minute: these would outlast the test's
        // time limit.
        QByteArray folded;
        for (int i = 0; i < 512; ++i) {
            folded += field + "\"";
            while (folded.size() % 8000 < 7990)
                folded += "\n =?x?Q?x";
            folded += "\n";
        }
        QVERIFY(f.fix(test::crlf(folded) + uu_block("last.jpg")));
        QCOMPARE(f.repair.found_filename, "last.jpg");
        // A word longer than any real one is not decoded.
        const QByteArray long_word = "=?UTF-8?Q?" + QByteArray(1100, 'a') + "?=";
        f.fix(test::mime_article("/9j/4AAQ\n", field + long_word + "\n"));
        QCOMPARE(f.repair.found_filename, QString::fromLatin1(long_word));

        // Only line ends; only CRs; every byte value.
        QVERIFY(!f.fix(QByteArray(10000, '\n')));
        QVERIFY(!f.fix(QByteArray(10000, '\r')));
        QByteArray all;
        for (int i = 0; i < 256; ++i)
            all.append(char(i));
        QVERIFY(!f.fix(all + all + all));
        QVERIFY(f.fix("/9j/" + all + "\n" + all));
        QCOMPARE(f.work(), "/9j/" + all.left(10) + "\r\n" + all.mid(11) + "\r\n" + all.left(10) + "\r\n" + all.mid(11) + "\r\n");
    }

    void file_errors()
    {
        Fixture f;
        QVERIFY(!f.repair.fix_workfile(f.home.file("missing"), f.ui));
        QVERIFY(!f.repair.io_error.isEmpty());
        QVERIFY(f.ui.status.isEmpty());

        test::TempHome home;
        WorkfileRepair nowhere(home.file("no/such/folder/work2"));
        QVERIFY(home.write("work1", test::article(uu_block())));
        QVERIFY(!nowhere.fix_workfile(home.file("work1"), f.ui));
        QVERIFY(!nowhere.io_error.isEmpty());
        QCOMPARE(home.read("work1"), test::article(uu_block()));  // nothing lost
        // The error is cleared by the next good call.
        QVERIFY(f.fix(test::article(uu_block())));
        QVERIFY(f.repair.io_error.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestWorkfile)
#include "test_workfile.moc"
