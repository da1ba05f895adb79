#include "pictures.h"
#include "preview/decoder.h"
#include "preview/encoded.h"
#include "preview/workfile.h"
#include "support/testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <sys/resource.h>

using namespace brivane;

namespace {

using Decode = DecodeResult (*)(const QString &, const QString &);

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
    // `text` decoded into dl/`name`: the bytes saved, or why it failed.
    QByteArray decoded(Decode decode, const QString &name, const QByteArray &text)
    {
        if (!home.write("in", text))
            return "cannot write the input";
        const DecodeResult r = decode(home.file("in"), target(name));
        return r.ok() ? saved(name) : "decode failed: " + r.message.toUtf8();
    }
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

// `jpg` with an EXIF block that holds a little JPEG, end marker and all.
QByteArray with_exif(const QByteArray &jpg)
{
    const QByteArray payload = "Exif" + QByteArray(2, '\0') + jpg.left(300) + "\xff\xd9";
    const int length = int(payload.size()) + 2;
    return jpg.left(2) + QByteArray("\xff\xe1", 2) + char(length >> 8) + char(length & 0xff) + payload + jpg.mid(2);
}

} // namespace

class TestDecoder : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY2(!test::uuencode("x", "x").isEmpty(), "uuencode (sharutils) is needed");
        QVERIFY2(!test::base64("x").isEmpty(), "base64 (coreutils) is needed");
    }

    // Articles with a picture from the real encoders, through the repair and the decoder.
    void articles_round_trip_data()
    {
        QTest::addColumn<QByteArray>("article");
        QTest::addColumn<QByteArray>("picture");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("uu");
        QTest::addColumn<bool>("repaired");  // else decoded as it came
        const QByteArray jpg = test::make_picture("jpg"), png = test::make_picture("png");
        const QByteArray uu = test::uuencode(jpg, "pic.jpg");
        auto part = [](const QByteArray &picture, const QByteArray &format) {
            return test::mime_article(test::base64(picture), "Content-Type: image/" + format + "; name=\"pic." + format
                                                                 + "\"\nContent-Transfer-Encoding: base64\n");
        };
        QTest::newRow("uuencode") << test::article(uu) << jpg << "pic.jpg" << true << true;
        QTest::newRow("uuencode with blanks for zero") << test::article(spaces_for_backquotes(uu)) << jpg << "pic.jpg"
                                                       << true << true;
        // Text that only starts with the word is no begin line, with or without the repair.
        for (const QByteArray prose : {"Begin of the series", "Beginners luck, my first shot:", "BEGIN: more below"}) {
            for (const bool repaired : {true, false})
                QTest::newRow((prose + (repaired ? " (repaired)" : "")).constData()) << test::article(prose + "\n" + uu) << jpg
                                                                       << "pic.jpg" << true << repaired;
        }
        QByteArray four_digits = uu, upper_case = uu;
        four_digits.replace("begin 644 ", "begin 0644 ");
        upper_case.replace("begin 644 pic.jpg", "BEGIN 644 PIC.JPG");
        QTest::newRow("uuencode, mode 0644") << test::article(four_digits) << jpg << "pic.jpg" << true << true;
        QTest::newRow("uuencode, upper case") << test::article(upper_case) << jpg << "PIC.JPG" << true << true;
        // The run's road: a JPEG body is recognised by its "/9j/".
        QTest::newRow("base64 jpeg") << part(jpg, "jpg") << jpg << "pic.jpg" << false << true;
        // Other pictures: the whole article, the body found by its part headers.
        QTest::newRow("base64 png") << part(png, "png") << png << "pic.png" << false << false;

        // Data lines that happen to start with the letters of an end line
        // are data: the second base64 line, the last uuencoded line (37
        // bytes, its first two bytes spelling "ND").
        for (const QByteArray &word : {QByteArray("endA"), QByteArray("EnDx"), QByteArray("ENDE")}) {
            // A comment segment holds the letters: still a whole JPEG.
            QByteArray comment(60, 'c');
            comment.replace(51, 3, QByteArray::fromBase64(word));
            const QByteArray spelled = jpg.left(2) + QByteArray("\xff\xfe\x00\x3e", 4) + comment + jpg.mid(2);
            QVERIFY(test::base64(spelled).split('\n').value(1).startsWith(word));
            QTest::newRow(("base64 line starting " + word).constData())
                << part(spelled, "jpg") << spelled << "pic.jpg" << false << true;
        }
        // An EXIF block with a little JPEG of its own inside, and bytes after
        // the end marker (some cameras append data): whole pictures, too.
        const QByteArray exif = with_exif(jpg) + "trailer data";
        QTest::newRow("base64 jpeg with exif and trailer") << part(exif, "jpg") << exif << "pic.jpg" << false << true;
        const QByteArray end_line = jpg.left(45) + "\xba\x40" + jpg.mid(45, 35);
        const QByteArray end_uu = test::uuencode(end_line, "end.jpg");
        QVERIFY(end_uu.contains("\nEND"));
        QTest::newRow("uuencoded line starting END") << test::article(end_uu) << end_line << "end.jpg" << true << true;

        // Two blocks in one article: the picture saved is the first, and so is its name.
        QTest::newRow("two uuencoded blocks") << test::article(uu + "\n" + test::uuencode(png, "second.png")) << jpg
                                              << "pic.jpg" << true << true;
    }
    void articles_round_trip()
    {
        QFETCH(QByteArray, article);
        QFETCH(QByteArray, picture);
        QFETCH(QString, name);
        QFETCH(bool, uu);
        QFETCH(bool, repaired);
        QVERIFY(!picture.isEmpty());
        Fixture f;
        if (repaired) {
            QVERIFY(f.repaired(article));
            QCOMPARE(uu ? f.repair.begin_found : f.repair.jpeg64_found, true);
            QCOMPARE(f.repair.found_filename, name);
        } else {
            QVERIFY(f.home.write("work1000", article));
        }
        const DecodeResult r = (uu ? decode_uuencode : decode_base64)(f.work(), f.target(name));
        QVERIFY2(r.ok(), qPrintable(r.message));
        QCOMPARE(f.saved(name), picture);
        QCOMPARE(f.dl_entries(), QStringList{name});
    }

    void large_random_data_round_trips()
    {
        const QByteArray data = random_bytes(3 * 1024 * 1024 + 7, 42);
        Fixture f;
        QCOMPARE(f.decoded(decode_uuencode, "big.uu", test::uuencode(data, "big.bin")), data);
        // With CR LF, as articles come: full-length lines are decoded in bulk.
        QCOMPARE(f.decoded(decode_uuencode, "big.uu2", test::crlf(test::uuencode(data, "big.bin"))), data);
        // Plain base64 output, no headers at all.
        QCOMPARE(f.decoded(decode_base64, "big.b64", test::crlf(test::base64(data))), data);
        // base64 wrapped at any width, groups across line ends included.
        const QByteArray flat = data.left(100000).toBase64();
        for (const int width : {4, 16, 17, 60, 63, 64, 72, 76, 100, 1000}) {
            QByteArray wrapped;
            for (qsizetype at = 0; at < flat.size(); at += width)
                wrapped += flat.mid(at, width) + "\r\n";
            QCOMPARE(f.decoded(decode_base64, QString("w%1").arg(width), wrapped), data.left(100000));
        }
        // Every length of a last line (a full one of 45 bytes, and one more).
        for (int n = 1; n <= 46; ++n) {
            const QByteArray small = random_bytes(n, quint32(n));
            QCOMPARE(f.decoded(decode_uuencode, QString("u%1").arg(n), test::uuencode(small, "s")), small);
            const QByteArray two = random_bytes(45 + n, quint32(200 + n));  // a full line, then this
            QCOMPARE(f.decoded(decode_uuencode, QString("c%1").arg(n), test::crlf(test::uuencode(two, "s"))), two);
            QCOMPARE(f.decoded(decode_base64, QString("b%1").arg(n), small.toBase64() + "\n"), small);
        }
    }

    void shortest_lines_decode_in_memory()
    {
        // Lines with only the characters their length byte needs (no padding
        // group), the end line right after them and nothing past it: the
        // decoder reads ahead of a line in steps of sixteen and must take
        // none of what follows it for data.
        for (int n = 1; n <= 46; ++n) {
            const QByteArray data = random_bytes(n, quint32(100 + n));
            QByteArray text = "begin 644 s.jpg\r\n";
            for (int at = 0; at < n; at += 45) {
                const int k = qMin(45, n - at);
                QByteArray line(1, char(0x20 + k));
                for (int i = 0; i < k; i += 3) {
                    const unsigned char a = uchar(data[at + i]);
                    const unsigned char b = i + 1 < k ? uchar(data[at + i + 1]) : 0;
                    const unsigned char c = i + 2 < k ? uchar(data[at + i + 2]) : 0;
                    const unsigned v[4] = {unsigned(a >> 2), unsigned((a & 3) << 4 | b >> 4),
                                           unsigned((b & 15) << 2 | c >> 6), unsigned(c & 63)};
                    for (unsigned x : v)
                        line += char(x ? 0x20 + x : '`');
                }
                line.truncate(1 + qsizetype(encoded::uu_min_chars(k)));
                text += line + "\r\n";
            }
            text += "`\r\nend";
            QByteArray out;
            const DecodeResult r = uudecode_bytes(text, &out);
            QVERIFY2(r.ok(), qPrintable(QString("%1: %2").arg(n).arg(r.message)));
            QCOMPARE(out, data);
        }
    }

    void lenient_endings()
    {
        const QByteArray data = random_bytes(1000, 7);
        const QByteArray b64 = test::base64(data);
        Fixture f;
        // A second part after the boundary is not part of this body.
        QByteArray expected = data;
        expected.replace(0, 3, QByteArray::fromBase64("/9j/"));
        QCOMPARE(f.decoded(decode_base64, "a", "/9j/" + b64.mid(4) + "--XyZ\nContent-Type: text/plain\n\nQUJD\n"),
                 expected);
        // A blank line ends it, too; what follows is ignored.
        QCOMPARE(f.decoded(decode_base64, "b", b64 + "\nnot base64 at all!\n"), data);
        // So does a line of text right after a whole JPEG (a gateway's
        // footer), but not one inside it.
        const QByteArray jpg = test::make_picture("jpg");
        const QByteArray jpg_b64 = test::base64(jpg);
        QCOMPARE(f.decoded(decode_base64, "f", jpg_b64 + "Posted via news.example.invalid\n"), jpg);
        QByteArray inside = jpg_b64;
        inside.insert(inside.indexOf('\n', inside.size() / 2) + 1, "Posted via news.example.invalid\n");
        QVERIFY(f.decoded(decode_base64, "g", inside).startsWith("decode failed: Bad character"));
        // Trailing blanks on the lines are no data.
        QByteArray blanks = b64;
        blanks.replace("\n", "  \r\n");
        QCOMPARE(f.decoded(decode_base64, "c", blanks), data);
        // A blank closing line, and an end line without a zero line before it.
        const QByteArray uu = test::uuencode(data, "x");
        QCOMPARE(f.decoded(decode_uuencode, "d", spaces_for_backquotes(uu, true)), data);
        QByteArray no_zero = uu;
        no_zero.replace("\n`\n", "\n");
        QCOMPARE(f.decoded(decode_uuencode, "e", no_zero), data);
    }

    void corrupted_data_is_reported()
    {
        const QByteArray uu = test::uuencode(random_bytes(5000, 11), "bad.jpg");
        const QList<QByteArray> lines = uu.split('\n');
        QVERIFY(lines.size() > 10);
        auto changed = [&](int i, auto change) {
            QList<QByteArray> l = lines;
            change(l[i]);
            return l.join('\n');
        };
        QByteArray data_after_zero = uu;
        data_after_zero.replace("`\nend", "`\n" + lines[3] + "\nend");
        const QByteArray b64 = test::base64(random_bytes(3000, 5));
        QByteArray b64_bad_char = b64, b64_cut = b64, b64_inner_pad = b64;
        b64_bad_char[200] = '*';
        b64_cut.chop(2);  // the line end and one character
        b64_inner_pad[100] = '=';
        QByteArray b64_high = b64;
        b64_high[300] = char(0xc3);  // above 127: not below "A" for the vector compares either
        // A JPEG cut off at a line end: whole groups, no padding missing,
        // yet half a picture.
        const QByteArray jpg_b64 = test::base64(test::make_picture("jpg"));
        const QByteArray jpg_cut = jpg_b64.left(jpg_b64.indexOf('\n', jpg_b64.size() / 2) + 1);
        QVERIFY(jpg_cut.size() % 77 == 0);
        const QByteArray exif_b64 = test::base64(with_exif(test::make_picture("jpg")));
        const QByteArray exif_cut = exif_b64.left(exif_b64.indexOf('\n', exif_b64.size() / 2) + 1);
        const struct {
            const char *what;
            Decode decode;
            QByteArray text;
            DecodeStatus status;
        } cases[] = {
            {"uu: bad character", decode_uuencode, changed(5, [](QByteArray &l) { l[10] = 'a'; }),
             DecodeStatus::BadCharacter},  // lower case is outside the alphabet
            {"uu: line too short", decode_uuencode, changed(6, [](QByteArray &l) { l.chop(1); }),
             DecodeStatus::BadLength},
            {"uu: line too long", decode_uuencode, changed(7, [](QByteArray &l) { l.append("XY"); }),
             DecodeStatus::BadLength},
            {"uu: cut off", decode_uuencode, lines.mid(0, lines.size() / 2).join('\n'), DecodeStatus::Truncated},
            {"uu: data after the zero line", decode_uuencode, data_after_zero, DecodeStatus::BadLength},
            {"uu: no begin line", decode_uuencode, "M" + QByteArray(60, '!') + "\nend\n", DecodeStatus::NoData},
            {"uu: begin without a mode", decode_uuencode, "begin abc x\n#86)C\n`\nend\n", DecodeStatus::NoData},
            {"uu: empty block", decode_uuencode, "begin 644 x\n`\nend\n", DecodeStatus::NoData},
            {"uu: empty file", decode_uuencode, QByteArray(), DecodeStatus::NoData},
            {"base64: bad character", decode_base64, b64_bad_char, DecodeStatus::BadCharacter},
            {"base64: cut off", decode_base64, b64_cut, DecodeStatus::Truncated},
            {"base64: padding inside", decode_base64, b64_inner_pad, DecodeStatus::BadCharacter},
            {"base64: byte above 127", decode_base64, b64_high, DecodeStatus::BadCharacter},
            {"base64: too much padding", decode_base64, b64.trimmed() + "===\n", DecodeStatus::BadCharacter},
            {"base64: jpeg cut off at a line end", decode_base64, jpg_cut, DecodeStatus::Truncated},
            {"base64: jpeg with exif cut off", decode_base64, exif_cut, DecodeStatus::Truncated},
            {"base64: jpeg cut off in its headers", decode_base64, jpg_b64.left(77), DecodeStatus::Truncated},
            {"base64: no data", decode_base64, "Hello, world!\n", DecodeStatus::NoData},
            {"base64: empty", decode_base64, QByteArray(), DecodeStatus::NoData},
        };
        // With LF line ends and with CR LF (as articles come, and as the
        // bulk of full-length lines is decoded): the same verdict, naming
        // the same line.
        for (const bool cr : {false, true}) {
            for (const auto &c : cases) {
                Fixture f;
                QVERIFY(f.home.write("w", cr ? test::crlf(c.text) : c.text));
                const DecodeResult r = c.decode(f.home.file("w"), f.target("bad.jpg"));
                QVERIFY2(r.status == c.status, qPrintable(QString("%1: %2").arg(c.what, r.message)));
                QVERIFY2(!r.message.isEmpty(), c.what);
                // Nothing is left: no picture, no temporary file.
                QCOMPARE(f.dl_entries(), QStringList());
                const QByteArray what(c.what);
                if (what == "uu: bad character")
                    QCOMPARE(r.message, QString("Bad character in uuencoded line 6"));
                if (what == "uu: line too long")
                    QVERIFY2(r.message.endsWith("(line 8)") || r.message.contains("line 8 "), qPrintable(r.message));
            }
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

    // A work file left by a killed run goes; one another copy holds locked,
    // or one this copy cannot open and lock (a link, another user's), stays.
    void left_over_work_files_swept_only_under_their_lock()
    {
        test::TempHome home;
        QVERIFY(home.write(".brivane-left.part", "half"));
        QVERIFY(home.write(".brivane-busy.part", "being written"));
        QVERIFY(home.write("picture.jpg", "the user's"));
        QVERIFY(QFile::link(home.file("picture.jpg"), home.file(".brivane-link.part")));
        const int busy = ::open(QFile::encodeName(home.file(".brivane-busy.part")).constData(), O_RDONLY);
        QVERIFY(busy >= 0 && ::flock(busy, LOCK_EX | LOCK_NB) == 0);

        QVERIFY(remove_unused_temporary(home.file(".brivane-left.part")));
        QVERIFY(!remove_unused_temporary(home.file(".brivane-busy.part")));
        QVERIFY(!remove_unused_temporary(home.file(".brivane-link.part")));
        ::close(busy);
        QVERIFY(!QFile::exists(home.file(".brivane-left.part")));
        QCOMPARE(home.read(".brivane-busy.part"), QByteArray("being written"));
        QVERIFY(QFileInfo(home.file(".brivane-link.part")).isSymLink());
        QCOMPARE(home.read("picture.jpg"), QByteArray("the user's"));
    }
};

QTEST_GUILESS_MAIN(TestDecoder)
#include "test_decoder.moc"
