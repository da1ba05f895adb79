#include "shell/desktop.h"
#include "shell/mainwindow.h"
#include "shell/settings.h"
#include "support/testsupport.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

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

    void closing_or_quitting_during_start_up_ends_the_program_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("window closed") << QStringLiteral("close");
        QTest::newRow("Quit menu entry") << QStringLiteral("quit");
    }

    void closing_or_quitting_during_start_up_ends_the_program()
    {
        // The start-up's maintenance lines let events through before the
        // event loop runs; the user's close then must still end the program.
        QFETCH(QString, how);
        test::TempHome home;
        {
            Settings s(home.file(QStringLiteral("Brivane.ini")));
            s.show_splash = false;
            s.save(QStringLiteral("showsplash"));
        }
        qputenv("BRIVANE_HOME", home.path().toLocal8Bit());
        QTimer user;
        QObject::connect(&user, &QTimer::timeout, [&] {
            for (QWidget *w : QApplication::topLevelWidgets()) {
                auto *window = qobject_cast<MainWindow *>(w);
                if (!window || !window->isVisible())
                    continue;
                user.stop();
                if (how == QLatin1String("close"))
                    window->close();
                else
                    window->findChild<QAction *>(QStringLiteral("quit"))->trigger();
            }
        });
        user.start(0);
        // Only this would end an event loop left running without a window.
        QTimer watchdog;
        watchdog.setSingleShot(true);
        QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        watchdog.start(10000);
        const int code = run_desktop(*qApp);
        qunsetenv("BRIVANE_HOME");
        QVERIFY(!user.isActive());  // the window was shown, and the user acted
        QCOMPARE(code, 0);
        QVERIFY(QFile::exists(home.file(QStringLiteral("brivane.mdb"))));
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"
