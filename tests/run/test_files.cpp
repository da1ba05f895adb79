#include "preview/decoder.h"
#include "preview/workfile.h"
#include "run/files.h"
#include "support/testsupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <unistd.h>

using namespace brivane;

namespace {

QStringList files_below(const QString &root)
{
    QStringList out;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        out << QDir(root).relativeFilePath(it.next());
    out.sort();
    return out;
}

} // namespace

class TestFiles : public QObject {
    Q_OBJECT
private slots:
    void safe_file_name_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("safe");
        QTest::newRow("plain") << "pic.jpg" << "pic.jpg";
        QTest::newRow("case and apostrophes kept") << "O'Brien's Cat.JPG" << "O'Brien's Cat.JPG";
        QTest::newRow("parent folders") << "../../x.jpg" << "x.jpg";
        QTest::newRow("absolute") << "/etc/x.jpg" << "x.jpg";
        QTest::newRow("backslash parents") << "..\\..\\x.jpg" << "x.jpg";
        QTest::newRow("drive and folder") << "C:\\Windows\\x.jpg" << "x.jpg";
        QTest::newRow("drive only") << "C:x.jpg" << "x.jpg";
        QTest::newRow("control character") << QString("x\x01.jpg") << "x.jpg";
        static const char controls[] = "a\0b\tc\rd\x7f" "e\xc2\x85.jpg";
        QTest::newRow("NUL, tab, CR, DEL, C1") << QString::fromUtf8(controls, sizeof controls - 1)
                                              << "abcde.jpg";
        QTest::newRow("line and paragraph separators") << QString("a\u2028b\u2029.jpg") << "ab.jpg";
        QTest::newRow("leading dot") << ".hidden.jpg" << "hidden.jpg";
        QTest::newRow("only an extension") << ".jpg" << "unnamed.jpg";
        QTest::newRow("dots only") << ".." << "unnamed";
        QTest::newRow("dots and blanks") << QString(".. ...H") << "unnamed.H";
        QTest::newRow("dot, blank, extension") << ". .jpg" << "unnamed.jpg";
        QTest::newRow("empty") << "" << "unnamed";
        QTest::newRow("blanks") << "   " << "unnamed";
        QTest::newRow("separator only") << "/" << "unnamed";
        QTest::newRow("trailing separator") << "pics/" << "pics";
        QTest::newRow("blanks around") << "  pic.jpg  " << "pic.jpg";
        QTest::newRow("characters other systems refuse") << "a<b>c:d|e?f*g\".jpg" << "a_b_c_d_e_f_g_.jpg";
        QTest::newRow("unicode kept") << QString::fromUtf8("Ürlaub – Strand.jpg") << QString::fromUtf8("Ürlaub – Strand.jpg");
        QTest::newRow("direction override, zero widths, tags")
            << (QString("x") + QChar(0x202e) + "gpj" + QChar(0x200b) + QChar(0xfeff) + ".sh"
                + QString::fromUcs4(U"\U000E0041") + ".jpg")
            << "xgpj.sh.jpg";
        QTest::newRow("lone surrogate") << (QString("a") + QChar(0xd800) + ".jpg") << "a.jpg";
    }
    void safe_file_name()
    {
        QFETCH(QString, name);
        QFETCH(QString, safe);
        QCOMPARE(brivane::safe_file_name(name), safe);
    }

    void safe_file_name_cuts_long_names_but_keeps_the_extension()
    {
        const QString s = brivane::safe_file_name(QString(300, QLatin1Char('a')) + ".jpg");
        QVERIFY(s.endsWith(".jpg"));
        QVERIFY(s.toUtf8().size() <= 200);
        const QString u = brivane::safe_file_name(QString(300, QChar(0x00e4)) + ".gif");
        QVERIFY(u.endsWith(".gif"));
        QVERIFY(u.toUtf8().size() <= 200);
        // A begin line or MIME name may be as long as a line (1 MB): cut at
        // once, not a character at a time (that held the run for a minute).
        const QString m = brivane::safe_file_name(QString(1 << 20, QLatin1Char('m')) + ".jpg");
        const QString d = brivane::safe_dir_name(QString(1 << 20, QLatin1Char('g')));
        QCOMPARE(m, QString(196, QLatin1Char('m')) + ".jpg");
        QCOMPARE(d, QString(200, QLatin1Char('g')));
        // A pair of surrogates is never cut in two.
        const QString emoji = QString::fromUtf8("\xf0\x9f\x93\xb7");
        const QString e = brivane::safe_file_name(QString("a") + emoji.repeated(1 << 18) + ".jpg");
        QCOMPARE(e, QString("a") + emoji.repeated(48) + ".jpg");
        // A file system of shorter names (eCryptfs: 143 bytes) gets names cut
        // to fit with "_100" beside them; the usual 255 leave the 200.
        QCOMPARE(brivane::fit_length(QString(150, QChar(0x00e4)) + ".jpg", 139),
                 QString(67, QChar(0x00e4)) + ".jpg");
        QCOMPARE(brivane::longest_name_in(QDir::tempPath()), qsizetype(200));
    }

    void safe_dir_name()
    {
        QCOMPARE(brivane::safe_dir_name("alt.binaries.pictures"), QString("alt.binaries.pictures"));
        QCOMPARE(brivane::safe_dir_name("../etc"), QString("_etc"));
        QCOMPARE(brivane::safe_dir_name("a/b\\c"), QString("a_b_c"));
        QCOMPARE(brivane::safe_dir_name(".."), QString("unnamed"));
        QCOMPARE(brivane::safe_dir_name(""), QString("unnamed"));
        QCOMPARE(brivane::safe_dir_name(".hidden.group"), QString("hidden.group"));
        QCOMPARE(brivane::safe_dir_name(QString("a\x02group")), QString("agroup"));
    }

    void unique_name_numbers_before_the_extension()
    {
        test::TempHome home;
        const QString p = home.file("pic.jpg");
        QCOMPARE(unique_name(p), p);
        QVERIFY(home.write("pic.jpg", "x"));
        QCOMPARE(unique_name(p), home.file("pic_1.jpg"));
        QVERIFY(home.write("pic_1.jpg", "x"));
        QCOMPARE(unique_name(p), home.file("pic_2.jpg"));
        // The last "." of the name, not of a folder.
        QVERIFY(QDir(home.path()).mkdir("a.b"));
        QVERIFY(home.write("a.b/noext", "x"));
        QCOMPARE(unique_name(home.file("a.b/noext")), home.file("a.b/noext_1"));
        QVERIFY(home.write("a.b/x.tar.gz", "x"));
        QCOMPARE(unique_name(home.file("a.b/x.tar.gz")), home.file("a.b/x.tar_1.gz"));
        // A folder or a dangling link of that name counts as taken.
        QVERIFY(QDir(home.path()).mkdir("d.jpg"));
        QCOMPARE(unique_name(home.file("d.jpg")), home.file("d_1.jpg"));
        QVERIFY(::symlink("/nonexistent/target", QFile::encodeName(home.file("l.jpg")).constData()) == 0);
        QCOMPARE(unique_name(home.file("l.jpg")), home.file("l_1.jpg"));
        QCOMPARE(unique_name(QString()), QString());
    }

    void unique_name_gives_up_after_100()
    {
        test::TempHome home;
        QVERIFY(home.write("full.gif", "x"));
        for (int n = 1; n <= 99; ++n)
            QVERIFY(home.write(QString("full_%1.gif").arg(n), "x"));
        QCOMPARE(unique_name(home.file("full.gif")), home.file("full_100.gif"));
        QVERIFY(home.write("full_100.gif", "x"));
        QCOMPARE(unique_name(home.file("full.gif")), QString());
    }

    void folders()
    {
        test::TempHome home;
        QVERIFY(dir_exists(home.path()));
        QVERIFY(!dir_exists(home.file("missing")));
        QVERIFY(!dir_exists(""));
        QVERIFY(!dir_exists("   "));
        QVERIFY(home.write("plain", "x"));
        QVERIFY(!dir_exists(home.file("plain")));
        QVERIFY(make_dirs(home.file("a/b/c")));
        QVERIFY(dir_exists(home.file("a/b/c")));
        QVERIFY(make_dirs(home.file("a/b/c")));  // already there
        QVERIFY(!make_dirs(home.file("plain/sub")));  // a file is in the way
        QVERIFY(!make_dirs(""));
    }

    void hostile_names_land_inside_the_download_folder()
    {
        test::TempHome home;
        const QString dl = home.file("deep/er/dl");
        QVERIFY(QDir().mkpath(dl));
        const QByteArray picture("\xff\xd8\xff\xe0\x00\x02 not really a jpeg but bytes\x00\x01\x02", 38);
        const QStringList hostile{"../../x.jpg", "/etc/x.jpg", "..\\..\\x.jpg", QString("x\x01.jpg"),
                                  "C:\\x.jpg", ".x.jpg", "../", ""};
        QList<QByteArray> articles;
        for (const QString &name : hostile)
            articles << "Subject: test\r\n\r\n" + test::uuencode_block(picture, name);
        // A MIME name is decoded before it is made safe: this one is "../../etc/passwd".
        articles << "Content-Type: image/jpeg; name=\"=?UTF-8?B?Li4vLi4vZXRjL3Bhc3N3ZA==?=\"\r\n\r\n"
                        + picture.toBase64() + "\r\n";
        WorkfileRepair repair(home.file("work2"));
        test::RecordingFrontend ui;
        QStringList saved;
        for (const QByteArray &article : articles) {
            QVERIFY(home.write("work1234", article));
            repair.found_filename.clear();
            QVERIFY(repair.fix_workfile(home.file("work1234"), ui));
            QVERIFY(repair.begin_found || repair.jpeg64_found);
            const QString target = unique_name(dl + "/" + brivane::safe_file_name(repair.found_filename));
            QVERIFY(!target.isEmpty());
            QCOMPARE(QFileInfo(target).absolutePath(), QFileInfo(dl).absoluteFilePath());
            const DecodeResult r = repair.begin_found ? decode_uuencode(home.file("work1234"), target)
                                                      : decode_base64(home.file("work1234"), target);
            QVERIFY2(r.ok(), qPrintable(r.message));
            QCOMPARE(home.read(QDir(home.path()).relativeFilePath(target)), picture);
            saved << path_file_name(target);
        }
        QCOMPARE(saved, (QStringList{"x.jpg", "x_1.jpg", "x_2.jpg", "x_3.jpg", "x_4.jpg", "x_5.jpg",
                                     "unnamed", "unnamed_1", "passwd"}));
        // Nothing anywhere else: not beside the folder, not above it.
        QStringList expected = saved;
        for (QString &s : expected)
            s.prepend("deep/er/dl/");
        expected << "work1234";
        expected.sort();
        QCOMPARE(files_below(home.path()), expected);
        QVERIFY(!QFileInfo::exists("/etc/x.jpg"));
    }
};

QTEST_GUILESS_MAIN(TestFiles)
#include "test_files.moc"
