#include "run/filters.h"

#include <QTest>

using namespace brivane;

class TestFilters : public QObject {
    Q_OBJECT
private slots:
    void get_field_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("n");
        QTest::addColumn<QString>("field");
        const QString line = "123\tpic.jpg (1/1)\tme@x.org\tdate\t<id@x>\t\t4096\t60\tXref: h a:1";
        QTest::newRow("first") << line << 1 << "123";
        QTest::newRow("subject") << line << 2 << "pic.jpg (1/1)";
        QTest::newRow("empty references") << line << 6 << "";
        QTest::newRow("size") << line << 7 << "4096";
        QTest::newRow("last field runs to the end") << line << 9 << "Xref: h a:1";
        QTest::newRow("past the last") << line << 10 << "";
        QTest::newRow("no delimiter, first") << "whole" << 1 << "whole";
        QTest::newRow("no delimiter, second") << "whole" << 2 << "";
        QTest::newRow("empty text") << "" << 1 << "";
        QTest::newRow("trailing delimiter") << "a\t" << 2 << "";
    }
    void get_field()
    {
        QFETCH(QString, text);
        QFETCH(int, n);
        QFETCH(QString, field);
        QCOMPARE(brivane::get_field(text, QLatin1Char('\t'), n), field);
    }

    void xref_count_data()
    {
        QTest::addColumn<QString>("xref");
        QTest::addColumn<int>("count");
        QTest::newRow("four groups") << "Xref: news.x.org a.b:1 c.d:2 e.f:3 g.h:4" << 4;
        QTest::newRow("one group") << "Xref: news.x.org a.b:17" << 1;
        QTest::newRow("missing field") << "" << 1;
        QTest::newRow("name only") << "Xref:" << 1;
        QTest::newRow("no colon at all") << "garbage" << 1;
        QTest::newRow("name in capitals") << "XREF: news.x.org a.b:1 c.d:2" << 2;
        QTest::newRow("odd spacing") << "  Xref:news.x.org  a.b:1   c.d:2 " << 2;
        // A server listing "Xref:" without ":full" sends the value alone.
        QTest::newRow("value only, four groups") << "news.x.org a.b:1 c.d:2 e.f:3 g.h:4" << 4;
        QTest::newRow("value only, one group") << "news.x.org a.b:17" << 1;
    }
    void xref_count()
    {
        QFETCH(QString, xref);
        QFETCH(int, count);
        QCOMPARE(brivane::xref_count(xref), count);
    }

    void ismask_finds_the_first_listed_mask_regardless_of_case()
    {
        const QStringList masks{"gif", "jpg", "png"};
        QCOMPARE(ismask("pic.jpg", masks), 2);
        QCOMPARE(ismask("PIC.JPG", masks), 2);
        QCOMPARE(ismask("a.png and b.gif", masks), 1);  // list order, not text order
        QCOMPARE(ismask("jpg without dot", masks), 0);
        QCOMPARE(ismask("pic.jp", masks), 0);
        QCOMPARE(ismask("x.jpgx", masks), 2);  // anywhere in the text
        QCOMPARE(ismask("pic.jpg", QStringList()), 0);
        QCOMPARE(ismask("pic.jpg", QStringList{"", "jpg"}), 2);  // an empty mask is no mask
    }

    void extension_mask_looks_at_the_last_extension_only()
    {
        const QStringList masks{"gif", "jpg", "jpe"};
        QCOMPARE(extension_mask("pic.jpg", masks), 2);
        QCOMPARE(extension_mask("a.b.GIF", masks), 1);
        QCOMPARE(extension_mask("photo.jpeg", masks), 3);  // a mask starts the extension
        QCOMPARE(extension_mask("evil.jpg.desktop", masks), 0);
        QCOMPARE(extension_mask("a.gif.sh", masks), 0);
        QCOMPARE(extension_mask("jpg", masks), 0);
        QCOMPARE(extension_mask("pic.", masks), 0);
        QCOMPARE(extension_mask("pic.jpg", QStringList{""}), 0);
    }

    void parts_data()
    {
        QTest::addColumn<QString>("subject");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("number");
        QTest::newRow("n of m: the number is lost") << "name (3/5).jpg" << 5 << 0;
        QTest::newRow("one of one") << "x (1/1)" << 1 << 1;
        QTest::newRow("one of one anywhere") << "pic (2/3) again (1/1)" << 1 << 1;
        QTest::newRow("no marker") << "just a picture.jpg" << 0 << 0;
        QTest::newRow("number only") << "holiday (12) pic.jpg" << 0 << 12;
        QTest::newRow("second marker") << "a (2/3) b (4/5)" << 3 << 0;
        QTest::newRow("blanks before the number") << "pic ( 7/ 9)" << 9 << 0;
        QTest::newRow("slash without parens") << "a/b c" << 0 << 0;
        QTest::newRow("slash, then no slash after second paren") << "a (b/c (d)" << 0 << 0;
        QTest::newRow("too big") << "pic (1/40000)" << 0 << 0;
        QTest::newRow("just below the limit") << "pic (1/32767)" << 32767 << 0;
        QTest::newRow("huge number") << "holiday (99999999999999999999) x" << 0 << 0;
        QTest::newRow("negative is no number") << "pic (-3/-5)" << 0 << 0;
        QTest::newRow("empty") << "" << 0 << 0;
    }
    void parts()
    {
        QFETCH(QString, subject);
        QFETCH(int, count);
        QFETCH(int, number);
        QCOMPARE(get_high_part(subject), count);
        QCOMPARE(get_low_part(subject), number);
    }

    void getfilename_data()
    {
        QTest::addColumn<QString>("subject");
        QTest::addColumn<QString>("name");
        QTest::newRow("short name") << "pic01.jpg (1/1)" << "pic01.jpg";
        QTest::newRow("mask as stored, scan stops at blank") << "My holiday - beach.JPG (1/1)" << "beach.jpg";
        QTest::newRow("dots inside a short name") << "a.b.jpg" << "a.b.jpg";
        QTest::newRow("long name stops at a dot") << "my.holiday.jpg" << "holiday.jpg";
        QTest::newRow("quoted") << "Here is \"sunset.jpg\" yEnc" << "sunset.jpg";
        QTest::newRow("tilde dropped from short name") << "~pic.jpg" << "pic.jpg";
        QTest::newRow("tilde stops the scan") << "a long subject ~name~x.jpg" << "x.jpg";
        QTest::newRow("bracket stop") << "[group] <cat.jpg>" << "cat.jpg";
        QTest::newRow("backslash stop") << "c:\\pics\\dog.jpg" << "dog.jpg";
        QTest::newRow("slash stop") << "folder/path/dog.jpg" << "dog.jpg";
        QTest::newRow("no stop character, long") << "abcdefghijklmn.jpg" << "abcdefghijklmn.jpg";
        QTest::newRow("first star removed") << "pic*x*.jpg" << "picx*.jpg";
        QTest::newRow("leading dash dropped") << "a subject -dash.jpg" << "dash.jpg";
        QTest::newRow("mask at the start") << ".jpg file" << ".jpg";
        QTest::newRow("extension as stored") << "pic.JPG" << "pic.jpg";
        const QString longname = QString(60, QLatin1Char('n'));
        QTest::newRow("longer than 50 keeps the end") << ("x " + longname + ".jpg")
                                                       << (QString(46, QLatin1Char('n')) + ".jpg");
    }
    void getfilename()
    {
        QFETCH(QString, subject);
        QFETCH(QString, name);
        const QStringList masks{"gif", "jpg"};
        const int k = ismask(subject, masks);
        QVERIFY(k > 0);
        const QString got = brivane::getfilename(subject, k, masks);
        QCOMPARE(got, name);
        QVERIFY(got.size() <= 50);
    }

    void getfilename_without_mask_is_a_blank()
    {
        const QStringList masks{"jpg"};
        QCOMPARE(brivane::getfilename("no picture", 0, masks), QString(" "));
        // A mask stored in capitals is found in any case; the extension is
        // the mask as stored.
        QCOMPARE(brivane::getfilename("my holiday - pic.jpg", 1, QStringList{"JPG"}), QString("pic.JPG"));
        QCOMPARE(brivane::getfilename("Pic.Jpg (1/1)", 1, QStringList{"jPg"}), QString("Pic.jPg"));
        // An index outside the list names no mask.
        QCOMPARE(brivane::getfilename("pic.jpg", 5, masks), QString(" "));
    }

    void getfilename_keeps_positions_with_unusual_letters()
    {
        // "İ" lower-cases to two characters in full Unicode; positions must
        // still be those of the subject.
        const QStringList masks{"jpg"};
        const QString subject = QString::fromUtf8("İİİİİİİİİİ x.jpg");
        QCOMPARE(brivane::getfilename(subject, 1, masks), QString("x.jpg"));
    }
};

QTEST_GUILESS_MAIN(TestFilters)
#include "test_filters.moc"
