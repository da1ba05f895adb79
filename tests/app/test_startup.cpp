#include "app/app.h"
#include "db/database.h"
#include "shell/settings.h"
#include "support/testsupport.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTcpServer>
#include <QTest>

#include <csignal>
#include <cstdlib>
#include <tuple>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace brivane;

namespace {

// Starts brivane-cli without arguments in a private mount namespace where its
// own folder is read-only, so the home must be found elsewhere. `prefix` is
// the shell text before the program's path ($1 is `outside`). True when it
// exited 0; what it wrote is in out.txt of `outside`.
bool start_with_program_folder_read_only(const QStringList &ns, const test::TempHome &outside,
                                         const char *prefix)
{
    const QString script = QStringLiteral("d=$(dirname \"$2\")\n"
                                          "mount --bind \"$d\" \"$d\" && mount -o remount,bind,ro \"$d\" || exit 90\n")
                           + QLatin1String(prefix)
                           + QStringLiteral(" \"$2\" > \"$1/out.txt\" 2>&1\n"
                                            "echo $? > \"$1/rc.txt\"\n");
    QByteArray out;
    if (!test::run_in_namespace(ns, script, {outside.path(), QStringLiteral(BRIVANE_CLI_PATH)}, &out)) {
        qWarning("%s", out.constData());
        return false;
    }
    if (outside.read("rc.txt") != "0\n") {
        qWarning("%s", outside.read("out.txt").constData());
        return false;
    }
    return true;
}

// Starts `brivane-cli --home HOME run` with a SIGHUP already pending (it is
// blocked across the exec, so it comes the moment the program takes it), and
// with SIGHUP ignored when `ignored`, as `nohup` starts a command. Returns the
// exit code, or -1; what the program wrote is in `out_file`.
int run_with_pending_hangup(const QString &home, const QString &out_file, bool ignored)
{
    const QByteArray cli = QByteArrayLiteral(BRIVANE_CLI_PATH);
    const QByteArray dir = QFile::encodeName(home);
    const QByteArray out = QFile::encodeName(out_file);
    const pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {  // only async-signal-safe calls up to the exec
        const int fd = ::open(out.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0)
            ::_exit(126);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        if (ignored)
            ::signal(SIGHUP, SIG_IGN);
        sigset_t hup;
        sigemptyset(&hup);
        sigaddset(&hup, SIGHUP);
        ::sigprocmask(SIG_BLOCK, &hup, nullptr);
        ::raise(SIGHUP);
        ::execl(cli.constData(), cli.constData(), "--home", dir.constData(), "run", nullptr);
        ::_exit(127);
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A home whose database holds one subscription, a compacted copy of it as
// brivane.new and plain copies as brivane.BAK, brivane.BAK.part and
// brivane.mdb.part; the files not in `left` are then removed and `damaged`
// overwritten, as a kill at some moment of the maintenance can leave them.
void leave_home(const test::TempHome &home, const QStringList &left, const QString &damaged)
{
    const QString mdb = home.file("brivane.mdb");
    QVERIFY(Database::create_database(mdb));
    {
        Database db;
        QVERIFY(db.open(mdb));
        QVERIFY(db.exec("insert into groups (name, last_msg, server) values (?, ?, ?)",
                        {"alt.pictures", 42, "news.example.net"}));
    }
    test::RecordingFrontend ui;
    QVERIFY(Database::Database_Compact(ui, mdb, home.file("brivane.new")));
    QVERIFY(QFile::copy(mdb, home.file("brivane.BAK")));
    QVERIFY(QFile::copy(mdb, home.file("brivane.BAK.part")));
    QVERIFY(QFile::copy(mdb, home.file("brivane.mdb.part")));
    for (const char *name : {"brivane.mdb", "brivane.new", "brivane.BAK", "brivane.BAK.part", "brivane.mdb.part"})
        if (!left.contains(QLatin1String(name)))
            QVERIFY(QFile::remove(home.file(name)));
    if (!damaged.isEmpty())
        QVERIFY(home.write(damaged, QByteArray("SQLite format 3\0", 16) + QByteArray(8000, '\x5a')));
}


bool has_subscription(const QString &file)
{
    Database db;
    if (!db.open(file))
        return false;
    const auto groups = db.groups_of("news.example.net");
    return groups && groups->size() == 1 && groups->first().name == "alt.pictures"
           && groups->first().last_msg == 42;
}

} // namespace

class TestStartup : public QObject {
    Q_OBJECT
private slots:
    void cli_without_command_creates_and_maintains()
    {
        test::TempHome home;
        QByteArray out, err;
        QCOMPARE(test::run_cli(home.path(), {}, &out, &err), 0);
        QCOMPARE(out, QByteArray("Database Maintenance\n    Repairing Database...(Just in case)!\n"
                                 "    Compacting Database...\nDatabase Maintenance Successfully Done!\n"));
        QVERIFY(err.isEmpty());
        // The new database, and after a second start its copy.
        QCOMPARE(home.read("brivane.mdb").left(16), QByteArray("SQLite format 3\0", 16));
        QVERIFY(QFile::exists(home.file("brivane.BAK")));
        QCOMPARE(test::run_cli(home.path(), {}), 0);
        QCOMPARE(home.read("brivane.BAK").left(16), QByteArray("SQLite format 3\0", 16));
        QVERIFY(!QFile::exists(home.file("brivane.new")));
    }

    void cli_usage_errors_exit_two()
    {
        test::TempHome home;
        QCOMPARE(test::run_cli(home.path(), {"no-such-command"}), 2);
        QCOMPARE(test::run_cli(home.path(), {"--home"}), 2);
        // An empty home (an unset variable in a script) is no home at all.
        QCOMPARE(test::run_cli(home.path(), {"--home", ""}), 2);
        QCOMPARE(test::run_cli(home.path(), {"--home="}), 2);
        // Unquoted and unset, the variable leaves the next word to --home.
        for (const char *next : {"run", "catchup", "get-groups", "/log", "--help"}) {
            QByteArray err;
            QCOMPARE(test::run_cli(home.path(), {"--home", next}, nullptr, &err), 2);
            QVERIFY2(err.startsWith("brivane-cli: --home wants a folder"), err.constData());
        }
        // A home given without --home, a switch mistyped: not ignored.
        QCOMPARE(test::run_cli(home.path(), {"/srv/brivane", "run"}), 2);
        QCOMPARE(test::run_cli(home.path(), {"/lgo"}), 2);
        QVERIFY(!QFile::exists(home.file("brivane.mdb")));
    }

    void cli_outlives_a_reader_that_went_away()
    {
        // `| head -c 0` reads nothing and goes: every status line then meets a closed pipe.
        test::TempHome home;
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("BRIVANE_HOME"), home.path());
        p.setProcessEnvironment(env);
        p.start(QStringLiteral("bash"), {QStringLiteral("-c"),
                                         QStringLiteral("\"$0\" catchup | head -c 0; exit ${PIPESTATUS[0]}"),
                                         QStringLiteral(BRIVANE_CLI_PATH)});
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitCode(), 1);  // "No news server  selected!", as with a reader
        QVERIFY(!QFile::exists(home.file("brivane.lock")));
    }

    void cli_started_with_its_standard_streams_closed()
    {
        // From some daemons and schedulers. The first files opened (the lock
        // file, say) would otherwise take descriptors 0-2 and get the status
        // lines and messages. The program is caught waiting for a server that
        // never greets: what it wrote by then is there to see.
        test::TempHome home;
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        {
            Settings s(home.file(QStringLiteral("Brivane.ini")));
            s.news_server = QStringLiteral("127.0.0.1:%1").arg(server.serverPort());
            QVERIFY(s.save(QStringLiteral("news_server")));
        }
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("BRIVANE_HOME"), home.path());
        p.setProcessEnvironment(env);
        p.start(QStringLiteral("bash"), {QStringLiteral("-c"), QStringLiteral("exec \"$0\" get-groups <&- >&- 2>&-"),
                                         QStringLiteral(BRIVANE_CLI_PATH)});
        QVERIFY(server.waitForNewConnection(60000));
        for (const QString &f : QDir(home.path()).entryList(QDir::Files | QDir::Hidden)) {
            const QByteArray data = home.read(f);
            QVERIFY2(!data.contains("Database Maintenance") && !data.contains("Connecting"), qPrintable(f));
        }
        p.kill();
        QVERIFY(p.waitForFinished(30000));
    }

    // A login setting longer than the 49 characters read is not used cut
    // short: the server part could then name another host, given the password.
    // An emptied database is no empty list of groups: the command is
    // refused (exit 1) and the file and its backup stay as they are.
    void cli_refuses_a_database_without_the_lists()
    {
        test::TempHome home;
        QVERIFY(Database::create_database(home.file("brivane.BAK")));
        const QByteArray backup = home.read("brivane.BAK");
        home.write("brivane.mdb", QByteArray());
        QByteArray out, err;
        QCOMPARE(test::run_cli(home.path(), {"run"}, &out, &err), 1);
        QVERIFY2(err.contains("does not hold the program's lists"), err.constData());
        QVERIFY(home.read("brivane.mdb").isEmpty());
        QCOMPARE(home.read("brivane.BAK"), backup);
    }

    void cli_refuses_a_login_cut_short()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        const QString host = QStringLiteral("127.0.0.1:%1").arg(server.serverPort());
        for (const auto &[key, value, text] :
             {std::tuple{"news_server", host + QStringLiteral("/") + QString(60, 'x'), "News server"},
              std::tuple{"userid", QString(60, 'u'), "User name"}}) {
            test::TempHome home;
            {
                Settings s(home.file(QStringLiteral("Brivane.ini")));
                s.news_server = host;
                QVERIFY(s.save(QStringLiteral("news_server")));
                QVERIFY(s.file().write_string(Settings::section, QLatin1String(key), value));
            }
            // Also before a run or a catch-up looks its groups up by that name.
            for (const char *command : {"get-groups", "run", "catchup"}) {
                QByteArray out, err;
                QCOMPARE(test::run_cli(home.path(), {command}, &out, &err), 1);
                QVERIFY2(err.startsWith(QByteArray(text) + " is longer than 49 characters!\n"), err.constData());
                // Not accepted yet (no event loop ran): a connection would
                // wait in the listener's queue.
                QVERIFY(!server.waitForNewConnection(0));
            }
        }
    }

    void leftovers_are_cleared_at_start()
    {
        test::TempHome home;
        QVERIFY(Database::create_database(home.file("brivane.mdb")));
        home.write("brivane.new", "left by an interrupted start");
        home.write("log.txt", "old log");
        home.write("work1234", "raw article");
        home.write("workflow", "a file of the user's");
        home.write("work12345", "not a work file");
        home.write("work1234.jpg", "not a work file");
        QCOMPARE(test::run_cli(home.path(), {"/log"}), 0);
        QVERIFY(!QFile::exists(home.file("log.txt")));
        QVERIFY(!QFile::exists(home.file("work1234")));
        QVERIFY(QFile::exists(home.file("workflow")));
        QVERIFY(QFile::exists(home.file("work12345")));
        QVERIFY(QFile::exists(home.file("work1234.jpg")));
        QVERIFY(!QFile::exists(home.file("brivane.new")));
        QVERIFY(QFile::exists(home.file("brivane.BAK")));  // compaction succeeded
    }

    // Whatever a kill during the maintenance left, the next start has the
    // subscriptions; a missing database comes back from its copies.
    void a_kill_during_maintenance_loses_nothing_data()
    {
        QTest::addColumn<QStringList>("left");
        QTest::addColumn<QString>("damaged");
        QTest::addColumn<QString>("restored_from");
        QTest::newRow("between the renames of an older version")
            << QStringList{"brivane.new", "brivane.BAK"} << QString() << "brivane.new";
        QTest::newRow("only the backup") << QStringList{"brivane.BAK"} << QString() << "brivane.BAK";
        QTest::newRow("only the compacted copy") << QStringList{"brivane.new"} << QString() << "brivane.new";
        QTest::newRow("a damaged compacted copy")
            << QStringList{"brivane.new", "brivane.BAK"} << "brivane.new" << "brivane.BAK";
        QTest::newRow("a damaged backup")
            << QStringList{"brivane.new", "brivane.BAK"} << "brivane.BAK" << "brivane.new";
        QTest::newRow("during a restore from the backup")
            << QStringList{"brivane.BAK", "brivane.mdb.part"} << "brivane.mdb.part" << "brivane.BAK";
        QTest::newRow("after the backup was linked")
            << QStringList{"brivane.mdb", "brivane.new", "brivane.BAK.part"} << QString() << QString();
        QTest::newRow("after the backup, before the swap")
            << QStringList{"brivane.mdb", "brivane.new", "brivane.BAK"} << QString() << QString();
    }
    void a_kill_during_maintenance_loses_nothing()
    {
        QFETCH(QStringList, left);
        QFETCH(QString, damaged);
        QFETCH(QString, restored_from);
        test::TempHome home;
        leave_home(home, left, damaged);
        if (QTest::currentTestFailed())
            return;
        test::RecordingFrontend ui;
        {
            App app(Paths(home.path()), ui);
            QVERIFY(app.start());
            QVERIFY(app.load());
        }
        QVERIFY(has_subscription(home.file("brivane.mdb")));
        QVERIFY(ui.messages.isEmpty());
        QVERIFY(ui.status.contains("Database Maintenance Successfully Done!"));
        const QString line = QStringLiteral("The database %1 was missing: restored from %2")
                                 .arg(home.file("brivane.mdb"), home.file(restored_from));
        QCOMPARE(ui.status.filter(QStringLiteral("was missing: restored from")).size(),
                 restored_from.isEmpty() ? 0 : 1);
        if (!restored_from.isEmpty())
            QCOMPARE(ui.status.last(), line);
        // The maintenance ran: the backup is the database of this start.
        QVERIFY(has_subscription(home.file("brivane.BAK")));
        QVERIFY(!QFile::exists(home.file("brivane.new")));
        QVERIFY(!QFile::exists(home.file("brivane.BAK.part")));
        QVERIFY(!QFile::exists(home.file("brivane.mdb.part")));
    }

    void copies_that_cannot_be_restored_are_kept_and_the_start_ends()
    {
        test::TempHome home;
        leave_home(home, {"brivane.new", "brivane.BAK"}, "brivane.new");
        if (QTest::currentTestFailed())
            return;
        home.write("brivane.BAK", "");  // an empty file opens as an empty database
        const QByteArray fresh = home.read("brivane.new");
        test::RecordingFrontend ui;
        App app(Paths(home.path()), ui);
        QVERIFY(!app.start());
        QCOMPARE(ui.messages, QStringList{QStringLiteral(
            "The database %1 is missing and cannot be restored: %2 and %3 are damaged. "
            "Move them away to start with a new, empty database.")
            .arg(home.file("brivane.mdb"), home.file("brivane.new"), home.file("brivane.BAK"))});
        QVERIFY(!QFile::exists(home.file("brivane.mdb")));
        QCOMPARE(home.read("brivane.new"), fresh);
        QCOMPARE(QFile(home.file("brivane.BAK")).size(), 0);
    }

    // The home on a tmpfs too small for the new database, then grown: the
    // failed creation leaves no file (an existing one is never re-created),
    // so the next start makes the database whole.
    void a_creation_cut_short_by_a_full_disk_is_made_again()
    {
        const QStringList ns = test::namespace_args();
        if (ns.isEmpty())
            QSKIP("no private mount namespace here (needs root or user namespaces)");
        test::TempHome outside;
        const QString home = outside.file("home");
        QVERIFY(QDir().mkpath(home));
        const QString script = QStringLiteral(
            "mount -t tmpfs -o size=4k brivane \"$1\" || exit 90\n"
            "BRIVANE_HOME=\"$1\" \"$3\" > \"$2/out1.txt\" 2> \"$2/err1.txt\"; echo $? > \"$2/rc1.txt\"\n"
            "ls -A \"$1\" > \"$2/ls1.txt\"\n"
            "mount -o remount,size=1m \"$1\" || exit 91\n"
            "BRIVANE_HOME=\"$1\" \"$3\" > \"$2/out2.txt\" 2>&1; echo $? > \"$2/rc2.txt\"\n"
            "cp \"$1/brivane.mdb\" \"$2/\" || exit 92\n");
        QByteArray out;
        QVERIFY2(test::run_in_namespace(ns, script, {home, outside.path(), QStringLiteral(BRIVANE_CLI_PATH)}, &out),
                 out.constData());

        QCOMPARE(outside.read("rc1.txt"), QByteArray("1\n"));
        const QString err1 = QString::fromUtf8(outside.read("err1.txt")).trimmed();
        const QString start = QStringLiteral("Cannot create the database %1: ").arg(home + "/brivane.mdb");
        QVERIFY2(err1.startsWith(start) && err1.size() > start.size(), qPrintable(err1));
        QCOMPARE(outside.read("ls1.txt"), QByteArray());  // nothing half made is left
        QCOMPARE(outside.read("rc2.txt"), QByteArray("0\n"));
        Database db;
        QVERIFY(db.open(outside.file("brivane.mdb")));
        QVERIFY2(db.masks().has_value(), qPrintable(db.last_error()));
        QVERIFY(db.groups_of("news.example.net").has_value());
    }

    // With the program's folder not writable, the home is in XDG_DATA_HOME,
    // or in ~/.local/share when that is unset or (an invalid) relative path:
    // never a folder that depends on where the program was started.
    void the_data_home_is_never_relative()
    {
        const QStringList ns = test::namespace_args();
        if (ns.isEmpty())
            QSKIP("no private mount namespace here (needs root or user namespaces)");
        test::TempHome outside;
        QVERIFY(QDir().mkpath(outside.file("cwd")) && QDir().mkpath(outside.file("user")));
        QVERIFY(start_with_program_folder_read_only(ns, outside,
                                                    "cd \"$1/cwd\" || exit 91\n"
                                                    "env -u BRIVANE_HOME HOME=\"$1/user\" XDG_DATA_HOME=relative"));
        QVERIFY(QFile::exists(outside.file("user/.local/share/brivane/brivane.mdb")));
        QVERIFY(!QFile::exists(outside.file("cwd/relative")));
    }

    // A relative BRIVANE_HOME ("~/pics" in a crontab) would be a new home
    // in whatever folder the program starts in: refused. A home that is a
    // file says so.
    void a_relative_or_file_home_is_refused()
    {
        test::TempHome outside;
        QVERIFY(QDir().mkpath(outside.file("cwd")));
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("BRIVANE_HOME"), QStringLiteral("~/pics"));
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(outside.file("cwd"));
        p.start(QStringLiteral(BRIVANE_CLI_PATH), {QStringLiteral("run")});
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitCode(), 1);
        QCOMPARE(p.readAllStandardError(), QByteArray("BRIVANE_HOME is not an absolute path: ~/pics\n"));
        QVERIFY(QDir(outside.file("cwd")).isEmpty());
        // Set to nothing (an unset variable behind it): refused as well.
        env.insert(QStringLiteral("BRIVANE_HOME"), QString());
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(BRIVANE_CLI_PATH), {QStringLiteral("run")});
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitCode(), 1);
        QCOMPARE(p.readAllStandardError(), QByteArray("BRIVANE_HOME is set but empty\n"));
        // "~" after --home is left unexpanded by cron and most shells: not
        // taken for a folder of that name.
        for (const QStringList &args : {QStringList{QStringLiteral("--home=~/pics"), QStringLiteral("run")},
                                        QStringList{QStringLiteral("--home"), QStringLiteral("~/pics")}}) {
            p.start(QStringLiteral(BRIVANE_CLI_PATH), args);
            QVERIFY(p.waitForFinished(30000));
            QCOMPARE(p.exitCode(), 2);
            QVERIFY(p.readAllStandardError().contains("\"~\" is not expanded here"));
        }
        QVERIFY(QDir(outside.file("cwd")).isEmpty());

        outside.write("plain", "a file");
        QByteArray err;
        QCOMPARE(test::run_cli(outside.file("plain"), {}, nullptr, &err), 1);
        QVERIFY2(err.contains("is a file, not a folder"), err.constData());
    }

    // cron and `env -i` start the program without HOME (nor anything else):
    // the home is then in the user's folder as the password database names
    // it, never in "/.local/share" of whatever user runs it.
    void a_start_without_home_finds_the_users_folder()
    {
        const QStringList ns = test::namespace_args();
        if (ns.isEmpty())
            QSKIP("no private mount namespace here (needs root or user namespaces)");
        test::TempHome outside;
        QVERIFY(QDir().mkpath(outside.file("user")));
        const bool stray_before = QFile::exists(QStringLiteral("/.local/share/brivane"));
        QVERIFY(start_with_program_folder_read_only(ns, outside,
                                                    "u=$(getent passwd $(id -u) | cut -d: -f6)\n"
                                                    "[ -d \"$u\" ] && mount --bind \"$1/user\" \"$u\" || exit 91\n"
                                                    "cd / && env -i"));
        QVERIFY(QFile::exists(outside.file("user/.local/share/brivane/brivane.mdb")));
        if (!stray_before)
            QVERIFY(!QFile::exists(QStringLiteral("/.local/share/brivane")));
    }

    // Under cron the locale is often plain C: names are UTF-8 all the same.
    void the_window_without_a_display_says_so()
    {
        test::TempHome home;
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QString::fromLatin1(name));
        env.insert(QStringLiteral("BRIVANE_HOME"), home.path());
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(BRIVANE_GUI_PATH), {QStringLiteral("/auto")});
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);  // no abort, no core dump
        QCOMPARE(p.exitCode(), 1);
        const QByteArray said = p.readAllStandardError();
        QVERIFY2(said.contains("no display") && said.contains("brivane-cli"), said.constData());
        QCOMPARE(QDir(home.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
    }

    void a_c_locale_keeps_non_ascii_names()
    {
        test::TempHome outside;
        const QString home = outside.file(QStringLiteral("Bilder-\u00e9t\u00e9"));
        QProcess p;
        QProcessEnvironment env;
        env.insert(QStringLiteral("LANG"), QStringLiteral("C"));
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(BRIVANE_CLI_PATH), {QStringLiteral("--home"), home});
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitCode(), 0);
        QVERIFY(QDir(outside.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot)
                    .contains(QStringLiteral("Bilder-\u00e9t\u00e9")));
        QVERIFY(QFile::exists(home + QStringLiteral("/brivane.mdb")));
        QVERIFY(p.readAllStandardError().isEmpty());
    }

    // A stop signal during start-up maintenance lets it finish, then ends the
    // program in order (exit 3) before the command starts; one the starter
    // ignored (nohup) is left ignored and the command runs.
    void a_stop_during_start_up_ends_before_the_command()
    {
        // What start-up alone writes in a new home: the maintenance lines.
        test::TempHome plain;
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(QStringLiteral(BRIVANE_CLI_PATH), {QStringLiteral("--home"), plain.path()});
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitCode(), 0);
        const QByteArray start_up = p.readAll();
        QVERIFY(start_up.contains("Database Maintenance Successfully Done!"));

        test::TempHome stopped;
        QCOMPARE(run_with_pending_hangup(stopped.path(), stopped.file("out.txt"), false), 3);
        // The last line says why nothing else was done.
        QCOMPARE(stopped.read("out.txt"), start_up + "Stopped during start-up\n");
        QVERIFY(QFile::exists(stopped.file("brivane.mdb")));

        // No server is set: the run's first precondition stops it with its message.
        test::TempHome nohup;
        QCOMPARE(run_with_pending_hangup(nohup.path(), nohup.file("out.txt"), true), 1);
        QVERIFY(nohup.read("out.txt").size() > start_up.size());
    }

    // A database with damaged pages goes on to be used (what can still be
    // read is the user's); one SQLite cannot read at all ends the start with
    // the reason, instead of a start that reports success with no database.
    void a_damaged_database_is_kept_and_said()
    {
        test::TempHome home;
        QCOMPARE(test::run_cli(home.path(), {}), 0);
        QFile::remove(home.file("brivane.BAK"));
        QByteArray db = home.read("brivane.mdb");
        const int page = (uchar(db.at(16)) << 8) | uchar(db.at(17));  // the header's page size
        QVERIFY(page >= 512 && db.size() >= 4 * page);
        db.replace(2 * page, page, QByteArray(page, '\x5a'));
        QVERIFY(home.write("brivane.mdb", db));
        QByteArray out, err;
        QCOMPARE(test::run_cli(home.path(), {}, &out, &err), 0);
        QVERIFY(out.contains("        Repair failed...\n"));
        QVERIFY(!out.contains("Compacting"));
        QVERIFY(!QFile::exists(home.file("brivane.BAK")));
        QCOMPARE(home.read("brivane.mdb"), db);

        const QByteArray unreadable = QByteArray("SQLite format 3\0", 16) + QByteArray(4000, '\x5a');
        QVERIFY(home.write("brivane.mdb", unreadable));
        out.clear();
        QCOMPARE(test::run_cli(home.path(), {}, &out, &err), 1);
        QVERIFY(out.contains("        Repair failed...\n"));
        QCOMPARE(err, QStringLiteral("Cannot open the database %1: file is not a database\n")
                          .arg(home.file("brivane.mdb")).toUtf8());
        QCOMPARE(home.read("brivane.mdb"), unreadable);
    }

    void a_second_instance_is_refused_and_touches_nothing()
    {
        test::TempHome home;
        test::RecordingFrontend ui;
        App first(Paths(home.path()), ui);
        QVERIFY(first.start());
        QVERIFY(first.load());
        home.write("log.txt", "the first copy's log");
        home.write("brivane.new", "the first copy's compaction");
        const QByteArray db = home.read("brivane.mdb");

        test::RecordingFrontend ui2;
        App second(Paths(home.path()), ui2);
        QVERIFY(!second.start());
        QCOMPARE(ui2.messages, QStringList{"Brivane is already running!"});

        QByteArray out, err;
        QCOMPARE(test::run_cli(home.path(), {}, &out, &err), 1);
        QCOMPARE(err, QByteArray("Brivane is already running!\n"));
        QVERIFY(out.isEmpty());
        QCOMPARE(home.read("log.txt"), QByteArray("the first copy's log"));
        QCOMPARE(home.read("brivane.new"), QByteArray("the first copy's compaction"));
        QCOMPARE(home.read("brivane.mdb"), db);
    }

    void a_lock_that_cannot_be_made_is_no_second_copy()
    {
        // No copy holds it: the home is not there (or cannot be written).
        test::TempHome home;
        test::RecordingFrontend ui;
        App app(Paths(home.file("gone")), ui);
        QVERIFY(!app.start());
        QCOMPARE(ui.messages.size(), 1);
        QVERIFY2(ui.messages[0].startsWith(QStringLiteral("Cannot create the lock file "))
                     && ui.messages[0].endsWith(QStringLiteral(": no such folder")),
                 qPrintable(ui.messages[0]));
    }

    void a_stale_lock_of_a_crashed_copy_is_taken_over()
    {
        test::TempHome home;
        // A lock whose process is gone (pid far above pid_max).
        home.write("brivane.lock", "999999999\nbrivane-cli\n" + QSysInfo::machineHostName().toUtf8() + "\n");
        QCOMPARE(test::run_cli(home.path(), {}), 0);

        // Left by a copy that only seems alive: one with the process ID of
        // this very process (a container's restart gives the same), one of
        // another host name, one left empty. Nobody holds them.
        const QByteArray self = QByteArray::number(QCoreApplication::applicationPid()) + "\n"
                                + QCoreApplication::applicationName().toUtf8() + "\n"
                                + QSysInfo::machineHostName().toUtf8() + "\n";
        for (const QByteArray &content : {self, QByteArray("4242\nbrivane-cli\nanother-host\n"), QByteArray()}) {
            home.write("brivane.lock", content);
            QFile f(home.file("brivane.lock"));
            QVERIFY(f.open(QIODevice::ReadWrite));
            QVERIFY(f.setFileTime(QDateTime::currentDateTime().addSecs(-60), QFileDevice::FileModificationTime));
            f.close();
            test::RecordingFrontend ui;
            App app(Paths(home.path()), ui);
            QVERIFY2(app.start(), qPrintable(ui.messages.join('\n') + " for " + content));
        }
    }

    void a_stale_lock_in_a_home_that_cannot_be_written()
    {
        // Left by a crash in a home that then went read-only: the copy
        // cannot take it over, and nobody else is running.
        test::TempHome home;
        home.write("brivane.lock", "4242\nbrivane-cli\nanother-host\n");
        QFile f(home.file("brivane.lock"));
        QVERIFY(f.open(QIODevice::ReadWrite));
        QVERIFY(f.setFileTime(QDateTime::currentDateTime().addSecs(-60), QFileDevice::FileModificationTime));
        f.close();
        const QByteArray dir = QFile::encodeName(home.path());
        // The super-user writes through permissions: an immutable folder then.
        const bool root = ::geteuid() == 0;
        const QByteArray freeze = (root ? "chattr +i '" : "chmod 555 '") + dir + "' 2>/dev/null";
        const QByteArray thaw = (root ? "chattr -i '" : "chmod 755 '") + dir + "' 2>/dev/null";
        if (std::system(freeze.constData()) != 0)
            QSKIP("this file system cannot make a folder read-only");
        test::RecordingFrontend ui;
        bool started = false;
        {
            App app(Paths(home.path()), ui);
            started = app.start();
        }
        QCOMPARE(std::system(thaw.constData()), 0);
        QVERIFY(!started);
        QCOMPARE(ui.messages, QStringList{QStringLiteral("Cannot create the lock file %1: the folder cannot be written")
                                              .arg(QDir::toNativeSeparators(home.file("brivane.lock")))});
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "test_startup.moc"
