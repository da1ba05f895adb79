#include "shell/commandline.h"

#include <QTest>

using namespace brivane;

class TestCommandLine : public QObject {
    Q_OBJECT
private slots:
    void words_at_blanks_and_tabs()
    {
        const QStringList w = get_command_line(QStringLiteral("  /auto \t\t /log  x\t"));
        QCOMPARE(w, (QStringList{QString(), "/auto", "/log", "x"}));
    }

    void empty_line_has_only_index_zero()
    {
        QCOMPARE(get_command_line(QString()), QStringList{QString()});
        QCOMPARE(get_command_line(QStringLiteral(" \t ")), QStringList{QString()});
    }

    void quotes_are_ordinary_characters()
    {
        const QStringList w = get_command_line(QStringLiteral("\"a b\" c"));
        QCOMPARE(w, (QStringList{QString(), "\"a", "b\"", "c"}));
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

    void switches_in_either_order()
    {
        for (const char *line : {"/auto /log", "/log\t/auto", "  /log   /auto  "}) {
            const Switches s = scan_switches(get_command_line(QString::fromLatin1(line)));
            QVERIFY2(s.auto_run && s.log_enabled, line);
        }
    }

    void switches_are_exact_and_case_sensitive()
    {
        for (const char *line : {"/AUTO /Log", "-auto -log", "/auto/log", "/autox", "auto"}) {
            const Switches s = scan_switches(get_command_line(QString::fromLatin1(line)));
            QVERIFY2(!s.auto_run && !s.log_enabled, line);
        }
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "test_commandline.moc"
