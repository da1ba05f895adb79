#include "shell/desktop.h"
#include "shell/mainwindow.h"
#include "shell/settings.h"
#include "shell/textutil.h"
#include "support/testsupport.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QFile>
#include <QImage>
#include <QLineEdit>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QScreen>
#include <QSignalSpy>
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
        // A stranger's subject: no escape, line break or reordering of the line.
        w.add_status(QString::fromUtf8("\x1b[2Jpic\r\nfake line \u202Egpj.exe"));
        w.set_text(Box::Text4, QString::fromUtf8("subject \u202Egpj.exe"));
        w.show_pending();
        QCOMPARE(list->item(list->count() - 1)->text(), QStringLiteral("?[2Jpic??fake line ?gpj.exe"));
        auto *subject = w.findChild<QLineEdit *>("Text4");
        QVERIFY(subject);
        QCOMPARE(subject->text(), QStringLiteral("subject ?gpj.exe"));
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

    // The About box leaves the event loop to the window: a run going on
    // (which waits by handling events) is not held while it is open.
    void the_about_box_holds_nothing_up()
    {
        MainWindow w;
        w.show();
        bool closed_by_timer = false;
        QTimer::singleShot(3000, &w, [&] {
            closed_by_timer = true;
            for (QWidget *top : QApplication::topLevelWidgets())
                if (auto *d = qobject_cast<QDialog *>(top))
                    d->reject();
        });
        auto *about = w.findChild<QAction *>("about");
        QVERIFY(about);
        about->trigger();
        QVERIFY(!closed_by_timer);
        QDialog *box = w.findChild<QDialog *>();
        QVERIFY(box && box->isVisible());
        box->reject();
        QTRY_VERIFY(!w.findChild<QDialog *>());
    }

    void typing_in_the_group_box_adds_no_group()
    {
        MainWindow w;
        w.show();
        w.set_groups({QStringLiteral("alt.one"), QStringLiteral("alt.two")});
        auto *combo = w.findChild<QComboBox *>("Combo1");
        QVERIFY(combo && combo->lineEdit());
        combo->lineEdit()->clear();
        QTest::keyClicks(combo->lineEdit(), QStringLiteral("alt.typo"));
        QTest::keyClick(combo->lineEdit(), Qt::Key_Return);
        QCOMPARE(combo->count(), 2);
        QCOMPARE(w.text(Box::Combo1), QStringLiteral("alt.typo"));
        // A subscribed group typed in full is still picked.
        QSignalSpy picked(combo, &QComboBox::activated);
        combo->lineEdit()->clear();
        QTest::keyClicks(combo->lineEdit(), QStringLiteral("alt.two"));
        QTest::keyClick(combo->lineEdit(), Qt::Key_Return);
        QCOMPARE(picked.count(), 1);
        QCOMPARE(combo->count(), 2);
    }

    void thumbnail_shows_the_logo_whenever_no_picture_is_shown()
    {
        // At start, as after a picture that cannot be drawn (or Clear), the
        // box shows the logo, not an empty frame.
        test::TempHome home;
        MainWindow w;
        w.show();
        auto *box = w.findChild<QLabel *>(QStringLiteral("Image1"));
        QVERIFY(box);
        const QString at_start = box->text();
        const bool empty_at_start = box->pixmap().isNull();

        const QString good = home.file(QStringLiteral("good.jpg"));
        QImage img(64, 48, QImage::Format_RGB32);
        img.fill(Qt::red);
        QVERIFY(img.save(good, "JPEG"));
        QVERIFY(w.draw_jpeg(good));
        QVERIFY(!box->pixmap().isNull());

        QVERIFY(home.write(QStringLiteral("bad.jpg"), "\xff\xd8\xff\xe0 not really a picture"));
        QVERIFY(!w.draw_jpeg(home.file(QStringLiteral("bad.jpg"))));
        w.load_logo();  // what the run does after a picture that cannot be drawn
        QVERIFY(!box->text().isEmpty());
        QCOMPARE(at_start, box->text());
        QCOMPARE(empty_at_start, box->pixmap().isNull());
    }

    void message_texts_are_shown_as_written_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("markup") << QStringLiteral("Cannot get article 7: 502 <b>No</b> <img width=\"6000\" "
                                                 "height=\"3000\" src=\"x.png\"> access");
        QTest::newRow("long reply without blanks")
            << QStringLiteral("Cannot get article 7: 502 ") + QString(5000, QLatin1Char('x'));
        QTest::newRow("long reply") << QStringLiteral("Cannot get article 7: 502 ")
                                           + QStringLiteral("word ").repeated(20000);
        QTest::newRow("control characters") << QString::fromUtf8("Cannot get article 7: 502 \x1b[2J\u202Egpj.exe");
    }

    void message_texts_are_shown_as_written()
    {
        // Messages quote what a server or the file system said: a reply
        // that looks like markup is shown as it came, not rendered (an
        // <img> would stretch the box far beyond the screen).
        MainWindow w;
        w.show();
        QFETCH(QString, text);
        QString shown, details;
        QSize size;
        QTimer::singleShot(0, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            shown = box->text().remove(QChar(0x200b));  // break chances only
            details = box->detailedText();
            size = box->sizeHint();
            box->accept();
        });
        w.message(text);
        const QSize screen = w.screen()->availableSize();
        QVERIFY2(size.width() <= screen.width() && size.height() <= screen.height(),
                 qPrintable(QStringLiteral("%1 x %2").arg(size.width()).arg(size.height())));
        // Nothing of the text is lost: in the box, or cut there and whole below.
        // A stranger's control characters and bidi overrides show as "?".
        text = printable(text);
        QVERIFY2(shown == text || (details == text && text.startsWith(shown.chopped(1))),
                 qPrintable(shown));
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
