#include "shell/settings.h"
#include "shell/textutil.h"
#include "support/testsupport.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTest>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace brivane;

namespace {

// A tmpfs of `kib` KiB on `dir`, seen by this process alone (a mount
// namespace of its own); false where that needs rights this test lacks.
bool small_disk(const QString &dir, int kib)
{
    static const bool own_namespace = ::unshare(CLONE_NEWNS) == 0
                                      && ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return own_namespace
           && ::mount("brivane", QFile::encodeName(dir).constData(), "tmpfs", 0,
                      QByteArrayLiteral("size=%1k").replace("%1", QByteArray::number(kib)).constData()) == 0;
}

} // namespace

class TestSettings : public QObject {
    Q_OBJECT
private slots:
    void defaults_without_a_file()
    {
        test::TempHome home;
        Settings s(home.file("Brivane.ini"));
        s.load_early();
        s.load();
        QVERIFY(s.news_server.isEmpty() && s.userid.isEmpty() && s.password.isEmpty());
        QVERIFY(s.dlpath.isEmpty());
        QVERIFY(!s.preview && !s.checkdupes && !s.rcvunk);
        QCOMPARE(s.max_lines, qint16(0));
        QCOMPARE(s.min_lines, qint16(0));
        QCOMPARE(s.xposts, qint16(0));
        QVERIFY(s.show_splash);  // missing reads as on ...
        QVERIFY(!s.ng_dirs);     // ... while this one reads as off
        QVERIFY(!QFile::exists(home.file("Brivane.ini")));
    }

    void reading_rules()
    {
        test::TempHome home;
        const QByteArray sixty(60, 'h');
        home.write("Brivane.ini",
                   "; a comment\r\n[other]\r\npreview=1\r\n[setup]\r\n"
                   "NEWS_SERVER=" + sixty + "\r\n"
                   "userid =   bob  \r\n"
                   "preview=1\r\nrcvunk=-1\r\ncheckdupes=0\r\n"
                   "max_lines=5000\r\nmin_lines=abc\r\nxposts=99999\r\n"
                   "showsplash=0\r\nng_dirs=7\r\n");
        Settings s(home.file("Brivane.ini"));
        s.load_early();
        s.load();
        QCOMPARE(s.news_server, QString(49, 'h'));  // cut to 49
        QCOMPARE(s.userid, QStringLiteral("bob"));   // blanks trimmed
        QVERIFY(s.preview);                          // "1" is on, like "-1"
        QVERIFY(s.rcvunk);
        QVERIFY(!s.checkdupes);
        QCOMPARE(s.max_lines, qint16(5000));
        QCOMPARE(s.min_lines, qint16(0));            // not a number reads as 0
        QCOMPARE(s.xposts, qint16(32767));           // clamped; the rest still loads
        QVERIFY(!s.show_splash);
        QVERIFY(s.ng_dirs);
    }

    void writing_keeps_the_rest_of_the_file()
    {
        test::TempHome home;
        const QByteArray before = "; keep me\n[SETUP]\nunknown_key=42\n# also a comment\n"
                                  "dlpath=/old\n\n[Other]\nx=1\n";
        home.write("Brivane.ini", before);
        Settings s(home.file("Brivane.ini"));
        s.load();
        s.dlpath = QStringLiteral("/new/pics");
        QVERIFY(s.save("dlpath"));
        s.xposts = 3;
        QVERIFY(s.save("xposts"));
        s.preview = true;
        QVERIFY(s.save("preview"));
        const QByteArray after = home.read("Brivane.ini");
        QCOMPARE(after, QByteArray("; keep me\n[SETUP]\nunknown_key=42\n# also a comment\n"
                                   "dlpath=/new/pics\nxposts=3\npreview=-1\n\n[Other]\nx=1\n"));
        Settings again(home.file("Brivane.ini"));
        again.load();
        QCOMPARE(again.dlpath, QStringLiteral("/new/pics"));
        QCOMPARE(again.xposts, qint16(3));
        QVERIFY(again.preview);
    }

    // A file that is there but cannot be read (its mode, an I/O error) is
    // not written over with the one key: every other line would be lost.
    void an_unreadable_file_is_not_written_over()
    {
        test::TempHome home;
        const QByteArray before = "[SETUP]\nuserid=bob\n; mine\n";
        QVERIFY(home.write("Brivane.ini", before));
        const QByteArray path = QFile::encodeName(home.file("Brivane.ini"));
        // Root reads any file: the save is made as another user then.
        const bool root = ::geteuid() == 0;
        if (root) {
            QVERIFY(::chmod(QFile::encodeName(home.path()).constData(), 0777) == 0);
            QVERIFY(::chown(path.constData(), 65534, 65534) == 0);
        }
        QVERIFY(::chmod(path.constData(), 0200) == 0);
        Settings s(home.file("Brivane.ini"));
        s.dlpath = QStringLiteral("/new");
        QString error;
        if (root)
            QVERIFY(::seteuid(65534) == 0);
        const bool saved = s.save("dlpath", &error);
        if (root)
            QVERIFY(::seteuid(0) == 0);
        QVERIFY(!saved);
        QCOMPARE(error, "Cannot write " + home.file("Brivane.ini") + ": the file cannot be read");
        QVERIFY(::chmod(path.constData(), 0600) == 0);
        QCOMPARE(home.read("Brivane.ini"), before);
    }

    // UTF-8 when the bytes are valid UTF-8, else Latin-1; cut at 49
    // characters, never inside one.
    void reading_encodings_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("dlpath");
        const QString jorg = QStringLiteral("/home/u/Bilder-Jörg");
        QTest::newRow("utf-8") << QByteArray("[SETUP]\ndlpath=/home/u/Bilder-J\xC3\xB6rg\n") << jorg;
        QTest::newRow("latin-1") << QByteArray("[SETUP]\ndlpath=/home/u/Bilder-J\xF6rg\n") << jorg;
        // Each line on its own: a Latin-1 comment beside a UTF-8 value.
        QTest::newRow("utf-8 value, latin-1 comment")
            << QByteArray("; J\xF6rg's\n[SETUP]\ndlpath=/home/u/Bilder-J\xC3\xB6rg\n") << jorg;
        QTest::newRow("utf-8 with a byte-order mark")
            << QByteArray("\xEF\xBB\xBF[SETUP]\ndlpath=/home/u/Bilder-J\xC3\xB6rg\n") << jorg;
        QTest::newRow("cut at 49 characters")
            << "[SETUP]\ndlpath=" + QString(60, QChar(0xF6)).toUtf8() + "\n" << QString(49, QChar(0xF6));
        const QString smile = QStringLiteral("\U0001F600");  // two UTF-16 units, one character
        QTest::newRow("a character outside the BMP is not split")
            << "[SETUP]\ndlpath=a" + smile.repeated(60).toUtf8() + "\n"
            << QStringLiteral("a") + smile.repeated(48);
    }
    void reading_encodings()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, dlpath);
        test::TempHome home;
        home.write("Brivane.ini", file);
        Settings s(home.file("Brivane.ini"));
        s.load();
        QCOMPARE(s.dlpath, dlpath);
    }

    // Writing one key gives every other line back, its line end included;
    // the file is written as UTF-8 (a Latin-1 file is converted, every
    // character kept).
    void writing_keeps_the_other_lines_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("after");
        QTest::newRow("utf-8, mixed line ends, no last line end")
            << QByteArray("; J\xC3\xB6rg's settings\r\n[SETUP]\nuserid=Zo\xC3\xAB\r\ndlpath=/old\r\n[Other]\nname=\xE2\x82\xAC")
            << QByteArray("; J\xC3\xB6rg's settings\r\n[SETUP]\nuserid=Zo\xC3\xAB\r\n"
                          "dlpath=/home/u/Bilder-J\xC3\xB6rg\r\n[Other]\nname=\xE2\x82\xAC");
        QTest::newRow("latin-1 converted")
            << QByteArray("; J\xF6rg\n[SETUP]\nuserid=Zo\xEB\n")
            << QByteArray("; J\xC3\xB6rg\n[SETUP]\nuserid=Zo\xC3\xAB\ndlpath=/home/u/Bilder-J\xC3\xB6rg\n");
        QTest::newRow("mixed, each line converted on its own")
            << QByteArray("; J\xF6rg\n[SETUP]\nuserid=Zo\xC3\xAB\n")
            << QByteArray("; J\xC3\xB6rg\n[SETUP]\nuserid=Zo\xC3\xAB\ndlpath=/home/u/Bilder-J\xC3\xB6rg\n");
        QTest::newRow("byte-order mark kept")
            << QByteArray("\xEF\xBB\xBF[SETUP]\r\nx=1\r\n")
            << QByteArray("\xEF\xBB\xBF[SETUP]\r\nx=1\r\ndlpath=/home/u/Bilder-J\xC3\xB6rg\r\n");
        QTest::newRow("added after a last line without its end")
            << QByteArray("[SETUP]\nx=1")
            << QByteArray("[SETUP]\nx=1\ndlpath=/home/u/Bilder-J\xC3\xB6rg\n");
        QTest::newRow("section added")
            << QByteArray("[Other]\nx=\xF6")
            << QByteArray("[Other]\nx=\xC3\xB6\n[SETUP]\ndlpath=/home/u/Bilder-J\xC3\xB6rg\n");
    }
    void writing_keeps_the_other_lines()
    {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        test::TempHome home;
        home.write("Brivane.ini", before);
        Settings s(home.file("Brivane.ini"));
        s.load();
        s.dlpath = QStringLiteral("/home/u/Bilder-Jörg");
        QVERIFY(s.save("dlpath"));
        QCOMPARE(home.read("Brivane.ini"), after);
        Settings again(home.file("Brivane.ini"));
        again.load();
        QCOMPARE(again.dlpath, s.dlpath);
    }

    void a_line_break_in_a_value_is_refused()
    {
        test::TempHome home;
        home.write("Brivane.ini", "[SETUP]\npassword=old\n");
        Settings s(home.file("Brivane.ini"));
        s.password = QStringLiteral("x\ndlpath=/etc");
        QString error;
        QVERIFY(!s.save("password", &error));
        QVERIFY(error.contains("line break"));
        QCOMPARE(home.read("Brivane.ini"), QByteArray("[SETUP]\npassword=old\n"));
    }

    void written_files_are_owner_only()
    {
        test::TempHome home;
        Settings s(home.file("Brivane.ini"));
        s.password = QStringLiteral("se'crét€");
        QVERIFY(s.save("password"));
        QCOMPARE(home.read("Brivane.ini"), QByteArray("[SETUP]\npassword=se'cr\xC3\xA9t\xE2\x82\xAC\n"));
        Settings again(home.file("Brivane.ini"));
        again.load();
        QCOMPARE(again.password, s.password);
        const auto perms = QFile::permissions(home.file("Brivane.ini"));
        QVERIFY(!(perms & (QFileDevice::ReadGroup | QFileDevice::ReadOther)));
        QVERIFY(!s.save("no_such_key"));

        // One written by hand, readable by all: narrowed at the first write.
        QVERIFY(QFile::setPermissions(home.file("Brivane.ini"), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                                    | QFileDevice::ReadGroup | QFileDevice::ReadOther));
        QVERIFY(s.save("password"));
        QCOMPARE(QFile::permissions(home.file("Brivane.ini")) & ~(QFileDevice::ReadUser | QFileDevice::WriteUser),
                 QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }

    // A full disk while the file is written: the old file stays whole and
    // the failure is told, never an empty file reported as saved.
    void a_full_disk_keeps_the_old_file()
    {
        test::TempHome home;
        const QString dir = home.file("disk");
        QVERIFY(QDir().mkpath(dir));
        if (!small_disk(dir, 8))
            QSKIP("no private mount namespace here (needs root)");
        // Unmounted however the test ends, so the home can be removed.
        const auto unmount = qScopeGuard([&] { ::umount(QFile::encodeName(dir).constData()); });
        const QByteArray before = "[SETUP]\nuserid=bob\n" + QByteArray("; a long comment\n").repeated(245);
        QFile f(dir + "/Brivane.ini");
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(before) == before.size());
        f.close();
        // Fill what room is left.
        QFile fill(dir + "/fill");
        QVERIFY(fill.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        while (fill.write(QByteArray(512, 'f')) > 0) {
        }
        fill.close();

        Settings s(dir + "/Brivane.ini");
        s.load();
        QCOMPARE(s.userid, QStringLiteral("bob"));
        s.dlpath = QStringLiteral("/home/u/pics");
        QString error;
        QVERIFY(!s.save("dlpath", &error));
        QVERIFY2(error.startsWith("Cannot write " + dir + "/Brivane.ini: "), qPrintable(error));
        QFile again(dir + "/Brivane.ini");
        QVERIFY(again.open(QIODevice::ReadOnly));
        QCOMPARE(again.readAll(), before);
        again.close();
        QCOMPARE(QDir(dir).entryList(QDir::Files | QDir::Hidden), (QStringList{"Brivane.ini", "fill"}));
    }

    void text_helpers()
    {
        QCOMPARE(trim_text(QStringLiteral("  a b \t ")), QStringLiteral("a b \t"));
        QCOMPARE(clean_profile_text(QStringLiteral(" x") + QChar(0)), QStringLiteral("x"));
        QVERIFY(is_blank(QStringLiteral("   ")));
        QVERIFY(!is_blank(QStringLiteral("\t")));
        QCOMPARE(format_thousands(1200000), QStringLiteral("1,200,000"));
        QCOMPARE(format_thousands(0), QStringLiteral("0"));
        QCOMPARE(format_thousands(0, false), QString());
        QCOMPARE(format_thousands(999), QStringLiteral("999"));
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "test_settings.moc"
