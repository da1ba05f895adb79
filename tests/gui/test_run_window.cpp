// The run in the real main window against INN2: Process starts it; Stop,
// Quit or closing the window in the middle ends it in order; and Process
// again finishes it. Also the menu's commands: Catch Up, and Get Newsgroups
// ended by Quit half-way.
#include "integration/test_run_support.h"

#include "shell/mainwindow.h"
#include "support/inn2.h"
#include "support/scriptserver.h"

#include <QAction>
#include <QDir>
#include <QElapsedTimer>
#include <QThread>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

using namespace brivane;
using namespace brivane::test;

namespace {

// The main window, keeping every status line (the list keeps only the newest).
class Window : public MainWindow {
public:
    QStringList lines;
    std::function<void(const QString &)> on_line;  // before the window has it

protected:
    void show_status(const QString &line) override
    {
        lines << line;
        if (on_line)
            on_line(line);
        MainWindow::show_status(line);
    }
};

// The main window and the program, started and attached as the desktop
// program starts them.
struct WindowRig {
    Window window;
    std::unique_ptr<App> app;
    std::unique_ptr<Commands> commands;
    QString why;

    bool start(const TempHome &home)
    {
        const Paths paths = Paths::resolve(home.path(), &why);
        if (paths.home().isEmpty())
            return false;
        app = std::make_unique<App>(paths, window);
        if (!app->start())
            return false;
        window.show();
        if (!app->load())
            return false;
        commands = std::make_unique<Commands>(*app);
        window.attach(app.get(), commands.get());
        window.lines.clear();
        return true;
    }
};

// A server whose group list stops half-way, and a home subscribed to it
// whose stored list holds alt.kept.
bool list_stalls_half_way(ScriptServer &news, const TempHome &home)
{
    news.on("LIST", ScriptServer::stall("215 list follows\r\nalt.half 1 1 y\r\n"));
    if (!news.start())
        return false;
    write_settings(home, news.setting(), home.path());
    if (!fill_database(home, {{QStringLiteral("alt.mine"), news.setting()}}, {QStringLiteral("jpg")}, 5))
        return false;
    Database db;
    return db.open(home.file(QStringLiteral("brivane.mdb")))
           && db.replace_newsgroups(news.setting(), {QStringLiteral("alt.kept")});
}

} // namespace

class TestRunWindow : public QObject {
    Q_OBJECT
private slots:
    void stop_in_the_middle_then_finish_data();
    void stop_in_the_middle_then_finish();
    void stop_waiting_while_a_reply_is_read();
    void catch_up_from_the_menu();
    void get_newsgroups_ended_half_way_data();
    void get_newsgroups_ended_half_way();
    void buttons_while_a_command_goes_on();
    void stop_while_connecting();
};

void TestRunWindow::stop_in_the_middle_then_finish_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("Stop button") << QStringLiteral("stop");
    // Quit ends the program at once, closing the window ends it too: the
    // run must not go on to its end first.
    QTest::newRow("Quit menu entry") << QStringLiteral("quit");
    QTest::newRow("window closed") << QStringLiteral("close");
}

void TestRunWindow::stop_in_the_middle_then_finish()
{
    QFETCH(QString, how);
    BRIVANE_REQUIRE_INN2(inn);
    constexpr int total = 100;  // the run goes on a while after Stop is pressed
    const QList<QByteArray> pics = noisy_jpegs(total, 5000 + 100 * quint32(how.size()));
    TempHome home;
    QString why;
    const QString dl = posted_picture_home(inn, home, pics, QStringLiteral("w"), &why);
    QVERIFY2(!dl.isEmpty(), qPrintable(why));

    WindowRig rig;
    QVERIFY2(rig.start(home), qPrintable(rig.why));
    Window &window = rig.window;

    auto *process = window.findChild<QPushButton *>(QStringLiteral("btnProc"));
    auto *stop = window.findChild<QPushButton *>(QStringLiteral("btnDisc"));
    auto *quit = window.findChild<QAction *>(QStringLiteral("quit"));
    QVERIFY(process && stop && quit);

    // Watches the status list while the run goes on, as a user would, and
    // stops it after the third picture's pointer.
    bool stop_pressed = false, process_was_off = false;
    QTimer watcher;
    watcher.setInterval(1);
    connect(&watcher, &QTimer::timeout, this, [&] {
        if (stop_pressed)
            return;
        if (window.lines.count(indent + QStringLiteral("Updated message pointer...")) >= 3) {
            process_was_off = !process->isEnabled();
            QVERIFY(stop->isEnabled());
            if (how == QLatin1String("stop"))
                QTest::mouseClick(stop, Qt::LeftButton);
            else if (how == QLatin1String("quit"))
                quit->trigger();
            else
                window.close();
            stop_pressed = true;
        }
    });
    watcher.start();
    QTest::mouseClick(process, Qt::LeftButton);  // returns when the run has ended
    watcher.stop();

    QVERIFY(stop_pressed);
    QVERIFY(process_was_off);  // no second run while one is going
    const QStringList first = window.lines;
    QVERIFY2(!first.contains(QStringLiteral("Processed all groups")), qPrintable(first.join('\n')));
    const int finished = int(first.count(indent + QStringLiteral("Updated message pointer...")));
    QVERIFY2(finished >= 3 && finished < total, qPrintable(QString::number(finished)));
    QCOMPARE(query_number(home, QStringLiteral("select last_msg from groups")), qint64(finished));
    QCOMPARE(QDir(dl).entryList(QDir::Files | QDir::Hidden).size(), finished);
    QVERIFY(process->isEnabled());
    QVERIFY(!stop->isEnabled());

    // Process again: on from the next header to the end.
    window.show();
    window.lines.clear();
    QTest::mouseClick(process, Qt::LeftButton);
    const QStringList second = window.lines;
    QVERIFY2(second.contains(QStringLiteral("Processed all groups")), qPrintable(second.join('\n')));
    QVERIFY(second.contains(indent + QStringLiteral("Requesting article %1").arg(finished + 1)));
    QVERIFY(!second.contains(indent + QStringLiteral("Requesting article %1").arg(finished)));
    QCOMPARE(query_number(home, QStringLiteral("select last_msg from groups")), qint64(total));
    QCOMPARE(QDir(dl).entryList(QDir::Files | QDir::Hidden).size(), total);
    for (int i = 1; i <= total; ++i)
        QCOMPARE(read_file(dl + QStringLiteral("/w%1.jpg").arg(i)), pics.at(i - 1));
}

// A click on Stop that waits its turn while the window shows a line told from
// inside a server's reply ("Connected!") is taken once that reply has been
// read. Taken inside it, the answer to QUIT was never read: Stop held the
// window for the whole quit time limit (5 s), spinning.
void TestRunWindow::stop_waiting_while_a_reply_is_read()
{
    BRIVANE_REQUIRE_INN2(inn);
    TempHome home;
    QString why;
    const QString dl = posted_picture_home(inn, home, noisy_jpegs(3, 7100), QStringLiteral("q"), &why);
    QVERIFY2(!dl.isEmpty(), qPrintable(why));
    WindowRig rig;
    QVERIFY2(rig.start(home), qPrintable(rig.why));
    // A Stop that waits for its QUIT's answer in vain takes this whole
    // limit: far beyond what a slow machine needs for the run itself.
    rig.commands->session().timeouts.quit = 30000;
    auto *process = rig.window.findChild<QPushButton *>(QStringLiteral("btnProc"));
    auto *stop = rig.window.findChild<QPushButton *>(QStringLiteral("btnDisc"));
    QVERIFY(process && stop);

    bool queued = false;
    rig.window.on_line = [&](const QString &line) {
        if (queued || !line.endsWith(QLatin1String(" Connected!")))
            return;
        queued = true;
        QMetaObject::invokeMethod(stop, &QPushButton::click, Qt::QueuedConnection);
        QThread::msleep(25);  // past the window's own pause between looks at events
    };
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(process, Qt::LeftButton);
    const qint64 took = clock.elapsed();
    QVERIFY(queued);
    const QStringList &lines = rig.window.lines;
    QVERIFY2(took < 10000, qPrintable(QStringLiteral("%1 ms:\n").arg(took) + lines.join('\n')));
    QVERIFY2(lines.last().endsWith(QLatin1String(" Disconnected")), qPrintable(lines.join('\n')));
    QVERIFY(!lines.contains(QStringLiteral("Processed all groups")));
    QVERIFY(process->isEnabled());
    QVERIFY(!stop->isEnabled());
}

// Newsgroups > Catch Up runs the catch-up (TestCatchup has the rest): the
// pointer goes to the newest article, the line shows, and Process is usable
// again.
void TestRunWindow::catch_up_from_the_menu()
{
    BRIVANE_REQUIRE_INN2(inn);
    TempHome home;
    QString why;
    QVERIFY2(!posted_picture_home(inn, home, noisy_jpegs(3, 5900), QStringLiteral("u"), &why).isEmpty(),
             qPrintable(why));
    WindowRig rig;
    QVERIFY2(rig.start(home), qPrintable(rig.why));
    auto *catchup = rig.window.findChild<QAction *>(QStringLiteral("catchup"));
    auto *process = rig.window.findChild<QPushButton *>(QStringLiteral("btnProc"));
    QVERIFY(catchup && process);
    catchup->trigger();
    const QString group = rig.app->db().groups_of(inn.setting())->first().name;
    QVERIFY2(rig.window.status_lines().contains(QStringLiteral("Caught up: %1 High Message = 3").arg(group)),
             qPrintable(rig.window.lines.join('\n')));
    QCOMPARE(query_number(home, QStringLiteral("select last_msg from groups")), qint64(3));
    QVERIFY(process->isEnabled());
}

// The buttons follow the command, not each connection: between two groups
// the run connects again, and Process must not look usable nor Stop dead.
void TestRunWindow::buttons_while_a_command_goes_on()
{
    BRIVANE_REQUIRE_INN2(inn);
    TempHome home;
    QString why;
    QVERIFY2(!posted_picture_home(inn, home, noisy_jpegs(2, 7300), QStringLiteral("b"), &why).isEmpty(),
             qPrintable(why));
    {
        Database db;
        QVERIFY(db.open(home.file(QStringLiteral("brivane.mdb"))));
        // A second group, which the server lacks: a connection of its own.
        QVERIFY(db.exec(QStringLiteral("insert into groups (name, last_msg, server) values (?, 0, ?)"),
                        {QStringLiteral("alt.brivane.not.carried"), inn.setting()}));
    }
    WindowRig rig;
    QVERIFY2(rig.start(home), qPrintable(rig.why));
    auto *process = rig.window.findChild<QPushButton *>(QStringLiteral("btnProc"));
    auto *stop = rig.window.findChild<QPushButton *>(QStringLiteral("btnDisc"));
    QVERIFY(process && stop);
    QStringList wrong;
    rig.window.on_line = [&](const QString &line) {
        if (process->isEnabled() || !stop->isEnabled())
            wrong << line;
    };
    QTest::mouseClick(process, Qt::LeftButton);
    const QStringList &lines = rig.window.lines;
    QVERIFY2(lines.contains(QStringLiteral("Processed all groups")), qPrintable(lines.join('\n')));
    QCOMPARE(lines.count(QStringLiteral("Connecting to server...")), 2);
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join('\n')));
    QVERIFY(process->isEnabled());
    QVERIFY(!stop->isEnabled());
}

// A server that takes the connection and says nothing: Stop ends the wait
// for its greeting at once, not at the connect time limit.
void TestRunWindow::stop_while_connecting()
{
    ScriptServer news;
    news.set_greeting(QByteArray());
    QVERIFY(news.start());
    TempHome home;
    QVERIFY(!picture_home(home, news.setting(), QStringLiteral("alt.mine")).isEmpty());
    WindowRig rig;
    QVERIFY2(rig.start(home), qPrintable(rig.why));
    auto *process = rig.window.findChild<QPushButton *>(QStringLiteral("btnProc"));
    auto *stop = rig.window.findChild<QPushButton *>(QStringLiteral("btnDisc"));
    QVERIFY(process && stop);
    bool clicked = false;
    // Looked at from the run's own event handling, which may come before it
    // connects: a wait in here would hold the run back.
    QTimer poll;
    QElapsedTimer connected;
    connect(&poll, &QTimer::timeout, this, [&] {
        if (news.connections < 1)
            return;
        if (!connected.isValid())
            connected.start();
        if (connected.elapsed() < 200)
            return;
        poll.stop();
        QVERIFY(stop->isEnabled());
        QTest::mouseClick(stop, Qt::LeftButton);
        clicked = true;
    });
    poll.start(10);
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(process, Qt::LeftButton);
    QVERIFY(clicked);
    const QStringList &lines = rig.window.lines;
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY2(lines.contains(QStringLiteral("Stop button pressed......")), qPrintable(lines.join('\n')));
    QVERIFY(!lines.contains(QStringLiteral("Connect timed out!")));
    QCOMPARE(news.commands.count(), 0);
    QCOMPARE(query_number(home, QStringLiteral("select last_msg from groups")), qint64(0));
    QVERIFY(process->isEnabled());
    QVERIFY(!stop->isEnabled());
}

// Newsgroups > Get Newsgroups with a server that stops half-way through the
// list: Process meanwhile starts nothing (nor would it, were it clickable),
// Stop or Quit ends the download, and the stored list stays whole.
void TestRunWindow::get_newsgroups_ended_half_way_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("Stop button") << QStringLiteral("stop");
    QTest::newRow("Quit menu entry") << QStringLiteral("quit");
}

void TestRunWindow::get_newsgroups_ended_half_way()
{
    QFETCH(QString, how);
    ScriptServer news;
    TempHome home;
    QVERIFY(list_stalls_half_way(news, home));
    WindowRig rig;
    QVERIFY2(rig.start(home), qPrintable(rig.why));
    auto *get = rig.window.findChild<QAction *>(QStringLiteral("GetAllNewsgroups"));
    auto *process = rig.window.findChild<QPushButton *>(QStringLiteral("btnProc"));
    auto *stop = rig.window.findChild<QPushButton *>(QStringLiteral("btnDisc"));
    auto *quit = rig.window.findChild<QAction *>(QStringLiteral("quit"));
    QVERIFY(get && process && stop && quit);

    bool acted = false;
    connect(&news, &ScriptServer::command_received, this, [&](const QByteArray &line) {
        if (line != "LIST")
            return;
        QTimer::singleShot(300, this, [&] {
            QVERIFY(stop->isEnabled());
            QVERIFY(!process->isEnabled());
            process->setEnabled(true);
            QTest::mouseClick(process, Qt::LeftButton);
            if (how == QLatin1String("stop"))
                QTest::mouseClick(stop, Qt::LeftButton);
            else
                quit->trigger();
            acted = true;
        });
    });
    get->trigger();  // returns when the download has ended
    QVERIFY(acted);
    QVERIFY2(rig.window.lines.contains(QStringLiteral("Group list not received (stopped); the stored list is kept.")),
             qPrintable(rig.window.lines.join('\n')));
    QVERIFY(!rig.window.lines.contains(QStringLiteral("Updating database!")));
    QCOMPARE(news.commands.count("GROUP alt.mine"), 0);
    QCOMPARE(query_number(home, QStringLiteral("select count(*) from newsgroups where name = 'alt.kept'")), qint64(1));
    QCOMPARE(query_number(home, QStringLiteral("select count(*) from newsgroups where name = 'alt.half'")), qint64(0));
    QCOMPARE(query_number(home, QStringLiteral("select last_msg from groups")), qint64(5));
    QCOMPARE(rig.commands->session().news_state(), qint16(StateDisconnected));
    QVERIFY(process->isEnabled());
    QVERIFY(!stop->isEnabled());
}

QTEST_MAIN(TestRunWindow)
#include "test_run_window.moc"
