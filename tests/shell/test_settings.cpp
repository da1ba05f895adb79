#include "shell/settings.h"
#include "shell/textutil.h"
#include "support/testsupport.h"

#include <QFile>
#include <QTest>

using namespace brivane;

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

    void writing_creates_a_missing_file_owner_only()
    {
        test::TempHome home;
        Settings s(home.file("Brivane.ini"));
        s.password = QStringLiteral("se'cret");
        QVERIFY(s.save("password"));
        QCOMPARE(home.read("Brivane.ini"), QByteArray("[SETUP]\npassword=se'cret\n"));
        const auto perms = QFile::permissions(home.file("Brivane.ini"));
        QVERIFY(!(perms & (QFileDevice::ReadGroup | QFileDevice::ReadOther)));
        QVERIFY(!s.save("no_such_key"));
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
