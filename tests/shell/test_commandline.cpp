#include "shell/commandline.h"

#include <QTest>

using namespace brivane;

class TestCommandLine : public QObject {
    Q_OBJECT
private slots:
    void words_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QStringList>("words");
        QTest::newRow("blanks and tabs") << "  /auto \t\t /log  x\t" << QStringList{QString(), "/auto", "/log", "x"};
        QTest::newRow("empty: only index zero") << "" << QStringList{QString()};
        QTest::newRow("blanks only") << " \t " << QStringList{QString()};
        QTest::newRow("quotes are ordinary characters") << "\"a b\" c" << QStringList{QString(), "\"a", "b\"", "c"};
    }
    void words()
    {
        QFETCH(QString, line);
        QFETCH(QStringList, words);
        QCOMPARE(get_command_line(line), words);
    }

    void words_after_the_tenth_are_dropped()
    {
        const QString line = QStringLiteral("1 2 3 4 5 6 7 8 9 10 /auto");
        const QStringList w = get_command_line(line);
        QCOMPARE(w.size(), 11);
        QCOMPARE(w.last(), QStringLiteral("10"));
        QVERIFY(!scan_switches(w).auto_run);
        QCOMPARE(get_command_line(line, 3).size(), 4);
    }

    void switches()
    {
        // Either order; exact and case-sensitive.
        for (const char *line : {"/auto /log", "/log\t/auto", "  /log   /auto  "}) {
            const Switches s = scan_switches(get_command_line(QString::fromLatin1(line)));
            QVERIFY2(s.auto_run && s.log_enabled, line);
        }
        for (const char *line : {"/AUTO /Log", "-auto -log", "/auto/log", "/autox", "auto"}) {
            const Switches s = scan_switches(get_command_line(QString::fromLatin1(line)));
            QVERIFY2(!s.auto_run && !s.log_enabled, line);
        }
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "test_commandline.moc"
