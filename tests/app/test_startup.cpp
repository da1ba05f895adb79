#include "app/app.h"
#include "support/testsupport.h"

#include <QFile>
#include <QTest>

using namespace brivane;

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
        QVERIFY(!QFile::exists(home.file("brivane.mdb")));
    }

    void leftovers_are_cleared_at_start()
    {
        test::TempHome home;
        home.write("brivane.new", "left by an interrupted start");
        home.write("log.txt", "old log");
        home.write("work1234", "raw article");
        home.write("workabcd", "raw article");
        home.write("work12345", "not a work file");
        home.write("work1234.jpg", "not a work file");
        QCOMPARE(test::run_cli(home.path(), {"/log"}), 0);
        QVERIFY(!QFile::exists(home.file("log.txt")));
        QVERIFY(!QFile::exists(home.file("work1234")));
        QVERIFY(!QFile::exists(home.file("workabcd")));
        QVERIFY(QFile::exists(home.file("work12345")));
        QVERIFY(QFile::exists(home.file("work1234.jpg")));
        QVERIFY(!QFile::exists(home.file("brivane.new")));
        QVERIFY(QFile::exists(home.file("brivane.BAK")));  // compaction succeeded
    }

    void a_damaged_database_does_not_stop_the_program()
    {
        test::TempHome home;
        home.write("brivane.mdb", QByteArray("SQLite format 3\0", 16) + QByteArray(4000, '\x5a'));
        QByteArray out;
        QCOMPARE(test::run_cli(home.path(), {}, &out), 0);
        QVERIFY(out.contains("        Repair failed...\n"));
        QVERIFY(!out.contains("Compacting"));
        QVERIFY(!QFile::exists(home.file("brivane.BAK")));
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

    void a_stale_lock_of_a_crashed_copy_is_taken_over()
    {
        test::TempHome home;
        // A lock whose process is gone (pid far above pid_max).
        home.write("brivane.lock", "999999999\nbrivane-cli\n" + QSysInfo::machineHostName().toUtf8() + "\n");
        QCOMPARE(test::run_cli(home.path(), {}), 0);
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "test_startup.moc"
