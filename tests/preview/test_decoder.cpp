#include "pictures.h"
#include "preview/decoder.h"
#include "preview/workfile.h"
#include "support/testsupport.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QRandomGenerator>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

using namespace brivane;

namespace {

// The work file as the run has it: repaired, then decoded into dl/.
struct Fixture {
    Fixture() : repair(home.file("work2")) { QDir(home.path()).mkdir("dl"); }

    bool repaired(const QByteArray &article)
    {
        return home.write("work1000", article) && repair.fix_workfile(work(), ui);
    }
    QString work() const { return home.file("work1000"); }
    QString target(const QString &name) const { return home.file("dl/" + name); }
    QByteArray saved(const QString &name) const { return home.read("dl/" + name); }
    // Everything in dl/, hidden files included.
    QStringList dl_entries() const
    {
        return QDir(home.file("dl")).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    }

    test::TempHome home;
    WorkfileRepair repair;
    test::RecordingFrontend ui;
};

QByteArray random_bytes(qsizetype n, quint32 seed)
{
    QRandomGenerator g(seed);
    QByteArray out(n, Qt::Uninitialized);
    for (char &c : out)
        c = char(g.bounded(256));
    return out;
}

// Old encoders wrote " " for zero where sharutils writes "`"; the repair
// still wants the closing line as "`" unless `closing_too`.
QByteArray spaces_for_backquotes(const QByteArray &uu, bool closing_too = false)
{
    QList<QByteArray> lines = uu.split('\n');
    for (QByteArray &l : lines) {
        if (!l.startsWith("begin") && l != "end" && (closing_too || l != "`"))
            l.replace('`', ' ');
    }
    return lines.join('\n');
}

} // namespace

class TestDecoder : public QObject {
    Q_OBJECT
private slots:
    void uuencoded_pictures_round_trip_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<bool>("old_style_zero");
        for (const char *f : {"jpg", "png", "gif"}) {
            QTest::newRow(f) << QString(f) << false;
            QTest::newRow(qPrintable(QString(f) + " with blanks for zero")) << QString(f) << true;
        }
    }
    void uuencoded_pictures_round_trip()
    {
        QFETCH(QString, format);
        QFETCH(bool, old_style_zero);
        const QByteArray picture = test::make_picture(format);
        if (picture.isEmpty() && format == "gif")
            QSKIP("ImageMagick is needed to make a GIF");
        QVERIFY(!picture.isEmpty());
        QByteArray encoded = test::uuencode(picture, "pic." + format);
        QVERIFY2(!encoded.isEmpty(), "uuencode (sharutils) is needed");
        if (old_style_zero)
            encoded = spaces_for_backquotes(encoded);

        Fixture f;
        QVERIFY(f.repaired(test::article(encoded)));
        QVERIFY(f.repair.begin_found);
        QCOMPARE(f.repair.found_filename, "pic." + format);
        const DecodeResult r = decode_uuencode(f.work(), f.target("pic." + format));
        QVERIFY2(r.ok(), qPrintable(r.message));
        QCOMPARE(f.saved("pic." + format), picture);
        QVERIFY(!QImage(f.target("pic." + format)).isNull());
        QCOMPARE(f.dl_entries(), QStringList{"pic." + format});

        if (old_style_zero) {
            // The decoder takes a blank closing line as well.
            QVERIFY(f.home.write("old", spaces_for_backquotes(test::uuencode(picture, "x"), true)));
            const DecodeResult old = decode_uuencode(f.home.file("old"), f.target("old"));
            QVERIFY2(old.ok(), qPrintable(old.message));
            QCOMPARE(f.saved("old"), picture);
        }
    }

    void base64_pictures_round_trip_data()
    {
        QTest::addColumn<QString>("format");
        for (const char *f : {"jpg", "png", "gif"})
            QTest::newRow(f) << QString(f);
    }
    void base64_pictures_round_trip()
    {
        QFETCH(QString, format);
        const QByteArray picture = test::make_picture(format);
        if (picture.isEmpty() && format == "gif")
            QSKIP("ImageMagick is needed to make a GIF");
        QVERIFY(!picture.isEmpty());
        const QByteArray encoded = test::base64(picture);
        QVERIFY2(!encoded.isEmpty(), "base64 (coreutils) is needed");
        const QByteArray headers = "Content-Type: image/" + format.toLatin1() + "; name=\"pic." + format.toLatin1()
                                   + "\"\nContent-Transfer-Encoding: base64\n";
        const QByteArray article = test::mime_article(encoded, headers);

        Fixture f;
        if (format == "jpg") {
            // The run's road: a JPEG body is recognised by its "/9j/".
            QVERIFY(f.repaired(article));
            QVERIFY(f.repair.jpeg64_found);
            QCOMPARE(f.repair.found_filename, QString("pic.jpg"));
        } else {
            // Other pictures: the whole article, found by its part headers.
            QVERIFY(f.home.write("work1000", article));
        }
        const DecodeResult r = decode_base64(f.work(), f.target("pic." + format));
        QVERIFY2(r.ok(), qPrintable(r.message));
        QCOMPARE(f.saved("pic." + format), picture);
        QVERIFY(!QImage(f.target("pic." + format)).isNull());

        // Plain base64 output, no headers at all.
        QVERIFY(f.home.write("plain", encoded));
        const DecodeResult plain = decode_base64(f.home.file("plain"), f.target("plain." + format));
        QVERIFY2(plain.ok(), qPrintable(plain.message));
        QCOMPARE(f.saved("plain." + format), picture);
    }

    void large_random_data_round_trips()
    {
        const QByteArray data = random_bytes(3 * 1024 * 1024 + 7, 42);
        Fixture f;
        QVERIFY(f.home.write("uu", test::uuencode(data, "big.bin")));
        DecodeResult r = decode_uuencode(f.home.file("uu"), f.target("big.uu"));
        QVERIFY2(r.ok(), qPrintable(r.message));
        QCOMPARE(f.saved("big.uu"), data);
        QVERIFY(f.home.write("b64", test::crlf(test::base64(data))));
        r = decode_base64(f.home.file("b64"), f.target("big.b64"));
        QVERIFY2(r.ok(), qPrintable(r.message));
        QCOMPARE(f.saved("big.b64"), data);
        // Every length of a last group.
        for (int n = 1; n <= 7; ++n) {
            const QByteArray small = random_bytes(n, quint32(n));
            QVERIFY(f.home.write("s", test::uuencode(small, "s")));
            QVERIFY(decode_uuencode(f.home.file("s"), f.target(QString("u%1").arg(n))).ok());
            QCOMPARE(f.saved(QString("u%1").arg(n)), small);
            QVERIFY(f.home.write("s", small.toBase64() + "\n"));
            QVERIFY(decode_base64(f.home.file("s"), f.target(QString("b%1").arg(n))).ok());
            QCOMPARE(f.saved(QString("b%1").arg(n)), small);
        }
    }

    void base64_body_ends_at_its_closing_line()
    {
        const QByteArray data = random_bytes(1000, 7);
        const QByteArray b64 = test::base64(data);
        Fixture f;
        // A second part after the boundary is not part of this body.
        QVERIFY(f.home.write("a", "/9j/" + b64.mid(4) + "--XyZ\nContent-Type: text/plain\n\nQUJD\n"));
        QByteArray expected = data;
        expected.replace(0, 3, QByteArray::fromBase64("/9j/"));
        DecodeResult r = decode_base64(f.home.file("a"), f.target("a"));
        QVERIFY2(r.ok(), qPrintable(r.message));
        QCOMPARE(f.saved("a"), expected);
        // A blank line ends it, too; what follows is ignored.
        QVERIFY(f.home.write("b", b64 + "\nnot base64 at all!\n"));
        r = decode_base64(f.home.file("b"), f.target("b"));
        QVERIFY2(r.ok(), qPrintable(r.message));
        QCOMPARE(f.saved("b"), data);
        // Trailing blanks on the lines are no data.
        QByteArray blanks = b64;
        blanks.replace("\n", "  \r\n");
        QVERIFY(f.home.write("c", blanks));
        QVERIFY(decode_base64(f.home.file("c"), f.target("c")).ok());
        QCOMPARE(f.saved("c"), data);
    }

    void data_lines_spelling_separator_words_survive()
    {
        // base64 text that contains "SiZe" and "UUXT": a data line, not a separator.
        const QByteArray text = "/9j/4AAQSiZeAAAAUUXTAAAA" "cutsHEREAAAA";
        Fixture f;
        QVERIFY(f.repaired(test::crlf("Content-Type: image/jpeg; name=\"s.jpg\"\n\n" + text + "\n")));
        const DecodeResult r = decode_base64(f.work(), f.target("s.jpg"));
        QVERIFY2(r.ok(), qPrintable(r.message));
        QCOMPARE(f.saved("s.jpg"), QByteArray::fromBase64(text));
    }

    void an_end_line_without_a_zero_line_is_accepted()
    {
        const QByteArray data = random_bytes(100, 3);
        QByteArray uu = test::uuencode(data, "x");
        uu.replace("\n`\n", "\n");
        Fixture f;
        QVERIFY(f.home.write("w", uu));
        QVERIFY(decode_uuencode(f.home.file("w"), f.target("x")).ok());
        QCOMPARE(f.saved("x"), data);
    }

    void corrupted_uuencode_is_reported()
    {
        const QByteArray data = random_bytes(5000, 11);
        const QByteArray good = test::uuencode(data, "bad.jpg");
        QList<QByteArray> lines = good.split('\n');
        QVERIFY(lines.size() > 10);
        struct Case {
            const char *what;
            QByteArray text;
            DecodeStatus status;
        };
        QByteArray bad_char = good, short_line = good, long_line = good, truncated = good;
        {
            QList<QByteArray> l = lines;
            l[5][10] = 'a';  // lower case is outside the alphabet
            bad_char = l.join('\n');
            l = lines;
            l[6].chop(1);
            short_line = l.join('\n');
            l = lines;
            l[7].append("XY");
            long_line = l.join('\n');
            truncated = lines.mid(0, lines.size() / 2).join('\n');
        }
        QByteArray data_after_zero = good;
        data_after_zero.replace("`\nend", "`\n" + lines[3] + "\nend");
        const QList<Case> cases{
            {"bad character", bad_char, DecodeStatus::BadCharacter},
            {"line too short", short_line, DecodeStatus::BadLength},
            {"line too long", long_line, DecodeStatus::BadLength},
            {"cut off", truncated, DecodeStatus::Truncated},
            {"data after the zero line", data_after_zero, DecodeStatus::BadLength},
            {"no begin line", "M" + QByteArray(60, '!') + "\nend\n", DecodeStatus::NoData},
            {"empty block", "begin 644 x\n`\nend\n", DecodeStatus::NoData},
            {"empty file", QByteArray(), DecodeStatus::NoData},
        };
        for (const Case &c : cases) {
            Fixture f;
            QVERIFY(f.home.write("w", c.text));
            const DecodeResult r = decode_uuencode(f.home.file("w"), f.target("bad.jpg"));
            QVERIFY2(r.status == c.status, qPrintable(QString("%1: %2").arg(c.what, r.message)));
            QVERIFY2(!r.message.isEmpty(), c.what);
            // Nothing is left: no picture, no temporary file.
            QCOMPARE(f.dl_entries(), QStringList());
        }
    }

    void corrupted_base64_is_reported()
    {
        const QByteArray data = random_bytes(3000, 5);
        const QByteArray good = test::base64(data);
        QByteArray bad_char = good;
        bad_char[200] = '*';
        QByteArray cut = good;
        cut.chop(2);  // the line end and one character
        QByteArray inner_pad = good;
        inner_pad[100] = '=';
        QByteArray too_much_pad = good.trimmed() + "===\n";
        const struct {
            const char *what;
            QByteArray text;
            DecodeStatus status;
        } cases[] = {
            {"bad character", bad_char, DecodeStatus::BadCharacter},
            {"cut off", cut, DecodeStatus::Truncated},
            {"padding inside", inner_pad, DecodeStatus::BadCharacter},
            {"too much padding", too_much_pad, DecodeStatus::BadCharacter},
            {"no data", "Hello, world!\n", DecodeStatus::NoData},
            {"empty", QByteArray(), DecodeStatus::NoData},
        };
        for (const auto &c : cases) {
            Fixture f;
            QVERIFY(f.home.write("w", c.text));
            const DecodeResult r = decode_base64(f.home.file("w"), f.target("bad.jpg"));
            QVERIFY2(r.status == c.status, qPrintable(QString("%1: %2").arg(c.what, r.message)));
            QCOMPARE(f.dl_entries(), QStringList());
        }
    }

    void an_existing_picture_is_never_replaced()
    {
        Fixture f;
        QVERIFY(f.home.write("dl/pic.jpg", "the old picture"));
        QVERIFY(f.home.write("w", test::uuencode("new data", "pic.jpg")));
        DecodeResult r = decode_uuencode(f.home.file("w"), f.target("pic.jpg"));
        QCOMPARE(r.status, DecodeStatus::TargetExists);
        QVERIFY(f.home.write("b", QByteArray("new data").toBase64() + "\n"));
        r = decode_base64(f.home.file("b"), f.target("pic.jpg"));
        QCOMPARE(r.status, DecodeStatus::TargetExists);
        QCOMPARE(f.saved("pic.jpg"), QByteArray("the old picture"));
        QCOMPARE(f.dl_entries(), QStringList{"pic.jpg"});
    }

    void file_errors()
    {
        Fixture f;
        QCOMPARE(decode_uuencode(f.home.file("missing"), f.target("x")).status, DecodeStatus::ReadError);
        QCOMPARE(decode_base64(f.home.file("missing"), f.target("x")).status, DecodeStatus::ReadError);
        QVERIFY(f.home.write("w", test::uuencode("data", "x")));
        DecodeResult r = decode_uuencode(f.home.file("w"), f.home.file("no/such/dir/x"));
        QCOMPARE(r.status, DecodeStatus::WriteError);
        QVERIFY(!r.message.isEmpty());
        // A file where the folder should be.
        QVERIFY(f.home.write("plain", "x"));
        r = decode_uuencode(f.home.file("w"), f.home.file("plain/x"));
        QCOMPARE(r.status, DecodeStatus::WriteError);
    }

    void a_failing_write_leaves_nothing_behind()
    {
        // A file-size limit makes the write fail part way, as a full disk does.
        Fixture f;
        const QByteArray data = random_bytes(200000, 9);
        QVERIFY(f.home.write("w", test::uuencode(data, "x")));
        QVERIFY(f.home.write("b", data.toBase64() + "\n"));
        struct rlimit old;
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &old) == 0);
        void (*old_handler)(int) = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = old;
        small.rlim_cur = 65536;
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
        const DecodeResult uu = decode_uuencode(f.home.file("w"), f.target("x"));
        const DecodeResult b64 = decode_base64(f.home.file("b"), f.target("y"));
        ::setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, old_handler);
        QCOMPARE(uu.status, DecodeStatus::WriteError);
        QCOMPARE(b64.status, DecodeStatus::WriteError);
        QVERIFY(!uu.message.isEmpty());
        QCOMPARE(f.dl_entries(), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestDecoder)
#include "test_decoder.moc"
