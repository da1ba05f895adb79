#include "shell/mainwindow.h"

#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

using namespace brivane;

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void status_list_keeps_the_newest_lines()
    {
        MainWindow w;
        w.show();
        auto *list = w.findChild<QListWidget *>("List1");
        QVERIFY(list);
        for (int i = 1; i <= 350; ++i)
            w.add_status(QStringLiteral("line %1").arg(i));
        // Lines are drawn together a moment later; the window knows them at once.
        QCOMPARE(w.status_lines().size(), 350);
        QTRY_COMPARE(list->count(), 350);
        w.add_status(QStringLiteral("O~Brien"));
        QTRY_COMPARE(list->count(), 51);
        QCOMPARE(list->item(0)->text(), QStringLiteral("line 301"));
        QCOMPARE(list->item(50)->text(), QStringLiteral("O'Brien"));  // "~" shows as "'"
        // Drawn in one go, the list keeps the same lines as when drawn one by one.
        for (int i = 1; i <= 700; ++i)
            w.add_status(QStringLiteral("more %1").arg(i));
        w.show_pending();
        QCOMPARE(list->count(), 151);
        QCOMPARE(list->item(0)->text(), QStringLiteral("more 550"));
        QCOMPARE(w.status_lines().size(), 151);
    }

    void boxes_and_buttons_are_named_as_the_core_names_them()
    {
        MainWindow w;
        for (const char *name : {"Text3", "Text4", "sender_box", "num_lines", "file_size", "files_this",
                                 "dupes_this", "tot_msg", "tot_bytes", "lskip", "non_bin", "lo_msg",
                                 "hi_msg", "ppic"})
            QVERIFY2(w.findChild<QLineEdit *>(name), name);
        QVERIFY(w.findChild<QComboBox *>("Combo1"));
        auto *stop = w.findChild<QPushButton *>("btnDisc");
        QVERIFY(stop && !stop->isEnabled());  // nothing to stop at start
        w.set_text(Box::Text4, QStringLiteral("subject"));
        QCOMPARE(w.text(Box::Text4), QStringLiteral("subject"));
        QTRY_COMPARE(w.findChild<QLineEdit *>("Text4")->text(), QStringLiteral("subject"));
        w.set_progress_max(1, 10);
        w.draw_progress(1, 25);  // beyond the end: at the end
        w.show_pending();
        QCOMPARE(w.findChild<QProgressBar *>("prog1")->maximum(), 10);
        QCOMPARE(w.findChild<QProgressBar *>("prog1")->value(), 10);
        QCOMPARE(w.text(Box::tot_msg), QStringLiteral("0"));
        w.set_enabled(Button::btnDisc, true);
        QVERIFY(stop->isEnabled());
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"
