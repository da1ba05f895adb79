#include "db/database.h"
#include "support/testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>
#include <QTest>

using namespace brivane;

namespace {

const QStringList all_tables{"dupes", "groups", "lockout", "masks", "newsgroups", "servers"};

QStringList tables(QSqlDatabase &db)
{
    QStringList out;
    QSqlQuery q("select name from sqlite_master where type = 'table' order by name", db);
    while (q.next())
        out << q.value(0).toString();
    return out;
}

QStringList columns(QSqlDatabase &db, const QString &table)
{
    QStringList out;
    QSqlQuery q(db);
    q.exec(QStringLiteral("PRAGMA table_info(%1)").arg(table));
    while (q.next())
        out << q.value(1).toString();
    return out;
}

// A new database in a throw-away home, open.
struct Fixture {
    Fixture()
    {
        if (!Database::create_database(home.file("brivane.mdb")) || !db.open(home.file("brivane.mdb")))
            qFatal("cannot make the database");
    }
    test::TempHome home;
    Database db;
};

} // namespace

class TestDatabase : public QObject {
    Q_OBJECT
private slots:
    void creation_in_an_empty_home()
    {
        test::TempHome home;
        const QString path = home.file("brivane.mdb");
        QVERIFY(Database::create_database(path));
        QCOMPARE(home.read("brivane.mdb").left(16), QByteArray("SQLite format 3\0", 16));
        QVERIFY(!(QFile::permissions(path) & (QFileDevice::ReadGroup | QFileDevice::ReadOther)));

        Database db;
        QVERIFY(db.open(path));
        QCOMPARE(tables(db.sql()), all_tables);
        QCOMPARE(columns(db.sql(), "dupes"), QStringList{"filename"});
        QCOMPARE(columns(db.sql(), "groups"), (QStringList{"name", "last_msg", "server"}));
        QCOMPARE(columns(db.sql(), "lockout"), QStringList{"sender"});
        QCOMPARE(columns(db.sql(), "masks"), QStringList{"mask"});
        QCOMPARE(columns(db.sql(), "newsgroups"), (QStringList{"name", "server"}));
        QCOMPARE(columns(db.sql(), "servers"), (QStringList{"server", "userid", "password"}));
        QCOMPARE(db.count_servers(), 0);
        QCOMPARE(db.masks().value(), QStringList());
    }

    void an_existing_file_is_never_recreated()
    {
        test::TempHome home;
        home.write("brivane.mdb", "");  // empty, as if damaged
        QVERIFY(Database::create_database(home.file("brivane.mdb")));
        QCOMPARE(QFile(home.file("brivane.mdb")).size(), 0);
    }

    // Only a database of the program's own is opened, and never made by
    // opening: a missing, emptied or foreign file is left as it is.
    void only_a_database_of_ours_is_opened()
    {
        test::TempHome home;
        Database db;
        QVERIFY(!db.open(home.file("brivane.mdb")));
        QVERIFY(!QFile::exists(home.file("brivane.mdb")));

        home.write("brivane.mdb", "");
        QVERIFY(!db.open(home.file("brivane.mdb")));
        QVERIFY2(db.last_error().contains("does not hold the program's lists"), qPrintable(db.last_error()));
        QCOMPARE(QFile(home.file("brivane.mdb")).size(), 0);

        home.write("brivane.mdb", "plain text, no database");
        QVERIFY(!db.open(home.file("brivane.mdb")));
        QVERIFY2(db.last_error().startsWith("Cannot open the database"), qPrintable(db.last_error()));

        {
            QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("foreign"));
            other.setDatabaseName(home.file("foreign.db"));
            QVERIFY(other.open());
            QVERIFY(QSqlQuery(other).exec(QStringLiteral("create table notes (text)")));
            other.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("foreign"));
        const QByteArray foreign = home.read("foreign.db");
        QVERIFY(!db.open(home.file("foreign.db")));
        QCOMPARE(home.read("foreign.db"), foreign);  // not turned to a log-keeping file
        QVERIFY(!QFile::exists(home.file("foreign.db-wal")));

        // A name a URI would take apart.
        const QString odd = home.file("a %41?b#c d.mdb");
        QVERIFY(Database::create_database(odd));
        QVERIFY2(db.open(odd), qPrintable(db.last_error()));
        QVERIFY(db.add_dupe("x.jpg"));
        db.close();
        QCOMPARE(QDir(home.path()).entryList({QStringLiteral("a*")}, QDir::Files),
                 (QStringList{QStringLiteral("a %41?b#c d.mdb")}));
    }

    // A run keeps the file's locks: nobody else writes meanwhile, and
    // afterwards others see its writes and may write again.
    void held_locks_are_given_back()
    {
        Fixture f;
        QVERIFY(f.db.exec(QStringLiteral("insert into groups (name, last_msg, server) values ('alt.a', 0, 's')")));
        QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("other"));
        other.setDatabaseName(f.home.file("brivane.mdb"));
        other.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=1"));
        QVERIFY(other.open());
        auto other_writes = [&] {
            QSqlQuery q(other);
            return q.exec(QStringLiteral("insert into masks (mask) values ('gif')"));
        };
        auto other_reads = [&]() -> qint64 {
            QSqlQuery q(other);
            return q.exec(QStringLiteral("select last_msg from groups where name = 'alt.a'")) && q.next()
                       ? q.value(0).toLongLong()
                       : -1;
        };

        // More commits than one checkpoint's worth: the log is emptied when
        // the locks go, not left long beside the database.
        const QString wal = f.home.file("brivane.mdb") + QStringLiteral("-wal");
        QVERIFY(f.db.hold_locks(true));
        for (qint64 n = 1; n <= 1500; ++n)
            QVERIFY2(f.db.set_last_msg(QStringLiteral("s"), QStringLiteral("alt.a"), n), qPrintable(f.db.last_error()));
        QVERIFY(QFileInfo(wal).size() > 500 * 1024);  // a page a commit since the last checkpoint
        QVERIFY(!other_writes());
        QVERIFY(f.db.hold_locks(false));
        QCOMPARE(QFileInfo(wal).size(), qint64(0));
        QCOMPARE(other_reads(), qint64(1500));
        QVERIFY(other_writes());
        QVERIFY(f.db.set_last_msg(QStringLiteral("s"), QStringLiteral("alt.a"), 4));
        QCOMPARE(other_reads(), qint64(4));
        other.close();
        other = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("other"));
    }

    void lookups_ignore_case_and_keep_quotes()
    {
        Fixture f;
        Database &db = f.db;
        QVERIFY(db.exec("insert into groups (name, last_msg, server) values (?, ?, ?)",
                        {"alt.Pics", 5, "News.Example.NET"}));
        QVERIFY(db.exec("insert into newsgroups (name, server) values (?, ?)", {"a", "news.example.net"}));
        QVERIFY(db.exec("insert into newsgroups (name, server) values (?, ?)", {"b", "other"}));
        QVERIFY(db.add_dupe("O'Brien's \"best\".jpg"));
        QVERIFY(db.exec("insert into lockout (sender) values (?)", {"@Spam.example"}));

        QCOMPARE(db.count_newsgroups("NEWS.example.net"), 1);
        QCOMPARE(db.groups_of("news.example.net")->size(), 1);
        QVERIFY(db.set_last_msg("NEWS.EXAMPLE.NET", "ALT.PICS", qint64(1) << 33));
        QCOMPARE(db.groups_of("news.example.net")->first().last_msg, qint64(1) << 33);
        QVERIFY(db.dupe_exists("o'brien's \"BEST\".jpg").value());
        QVERIFY(!db.dupe_exists("o'brien.jpg").value());
        QVERIFY(db.sender_locked("@spam.EXAMPLE").value());
        QCOMPARE(db.dupes_count().value(), 1);
        // A list replaced for "NEWS.example.NET" is that server's, and only its.
        QVERIFY(db.replace_newsgroups("NEWS.example.NET", {"g1", "g2", "g3"}));
        QCOMPARE(db.count_newsgroups("news.example.net"), 3);
        QCOMPARE(db.count_newsgroups("other"), 1);
    }

    // File names and senders match regardless of case in every alphabet,
    // not in A-Z alone; a "%" or "_" in them is no wildcard.
    void lookups_ignore_case_beyond_ascii()
    {
        Fixture f;
        Database &db = f.db;
        QVERIFY(db.add_dupe(QStringLiteral("Jörg_Ärger.jpg")));
        QVERIFY(db.add_dupe(QStringLiteral("фото 100%.jpg")));
        QVERIFY(db.exec("insert into lockout (sender) values (?)", {QStringLiteral("Jürgen <jürgen@müller.example>")}));

        QVERIFY(db.dupe_exists(QStringLiteral("JÖRG_ärger.JPG")).value());
        QVERIFY(db.dupe_exists(QStringLiteral("ФОТО 100%.JPG")).value());
        QVERIFY(db.sender_locked(QStringLiteral("JÜRGEN <JÜRGEN@MÜLLER.EXAMPLE>")).value());
        QVERIFY(db.sender_locked(QStringLiteral("jürgen <jürgen@müller.example>")).value());

        QVERIFY(!db.dupe_exists(QStringLiteral("Jörg-Ärger.jpg")).value());    // "_" is literal
        QVERIFY(!db.dupe_exists(QStringLiteral("ФОТО 1000.JPG")).value());     // so is "%"
        QVERIFY(!db.dupe_exists(QStringLiteral("Jorg_Arger.jpg")).value());    // accents still count
        QVERIFY(!db.dupe_exists(QStringLiteral("JÖRG_ärger.JPG.jpg")).value());
        QVERIFY(!db.sender_locked(QStringLiteral("Jürgen <jürgen@müller.example.org>")).value());
    }

    void star_is_the_like_wildcard()
    {
        Fixture f;
        Database &db = f.db;
        QVERIFY(db.replace_newsgroups("s", {"alt.binaries.pictures", "alt.bin_x", "alt.bin%y",
                                            "comp.lang.c", "ALT.Other"}));
        auto like = [&](const QString &pattern) {
            QSqlQuery q(db.sql());
            q.prepare("select name from newsgroups where server = ? and name like ? escape '\\' order by name");
            q.addBindValue("s");
            q.addBindValue(Database::like_pattern(pattern));
            q.exec();
            QStringList out;
            while (q.next())
                out << q.value(0).toString();
            return out;
        };
        QCOMPARE(like("alt.*"), (QStringList{"alt.bin%y", "alt.bin_x", "alt.binaries.pictures", "ALT.Other"}));
        QCOMPARE(like("*_x"), QStringList{"alt.bin_x"});      // "_" is literal
        QCOMPARE(like("alt.bin%*"), QStringList{"alt.bin%y"}); // so is "%"
        QCOMPARE(like("comp.lang.c"), QStringList{"comp.lang.c"});
    }

    void over_long_values_are_refused()
    {
        Fixture f;
        Database &db = f.db;
        QVERIFY(db.add_dupe(QString(50, 'x')));
        QVERIFY(!db.add_dupe(QString(51, 'x')));
        QVERIFY(db.last_error().contains("too long"));
        QVERIFY(!db.exec("insert into masks (mask) values (?)", {"jpeg"}));
        QVERIFY(!db.last_error().isEmpty());
        QVERIFY(!db.replace_newsgroups("s", {QString(126, 'g')}));
        // Counted in characters, however many bytes or UTF-16 units they take.
        const QString smile = QStringLiteral("\U0001F600");
        QVERIFY2(db.add_dupe(QString(49, QChar(0xE9)) + smile), qPrintable(db.last_error()));
        QVERIFY(!db.add_dupe(QString(50, QChar(0xE9)) + smile));
        QVERIFY(db.last_error().contains("too long"));
        QCOMPARE(db.dupes_count().value(), 2);
        QCOMPARE(db.count_newsgroups("s"), 0);
    }

    void maintenance_rotates_the_file()
    {
        test::TempHome home;
        const QString file = home.file("brivane.mdb"), base = home.file("brivane");
        QVERIFY(Database::create_database(file));
        auto page_size = [&] {
            const QByteArray head = home.read("brivane.mdb").left(18);
            return head.size() == 18 ? (uchar(head.at(16)) << 8) | uchar(head.at(17)) : -1;
        };
        QCOMPARE(page_size(), 1024);
        {
            // Pages as an earlier version made them.
            QSqlDatabase old = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("old"));
            old.setDatabaseName(file);
            QVERIFY(old.open());
            QSqlQuery q(old);
            for (const char *sql : {"PRAGMA journal_mode=DELETE", "PRAGMA page_size=4096", "VACUUM"})
                QVERIFY2(q.exec(QString::fromLatin1(sql)), sql);
            old.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("old"));
        QCOMPARE(page_size(), 4096);
        {
            Database db;
            QVERIFY(db.open(file));
            QVERIFY(db.add_dupe("first.jpg"));
        }
        home.write("brivane.BAK", "the backup before");
        home.write("brivane.BAK.part", "left by a kill");
        // Copied in by hand, readable by all.
        QVERIFY(QFile::setPermissions(file, QFile::permissions(file) | QFileDevice::ReadGroup | QFileDevice::ReadOther));
        const QByteArray before = home.read("brivane.mdb");
        test::RecordingFrontend ui;
        QVERIFY(Database::maintain(ui, file, base));
        QCOMPARE(ui.status, (QStringList{"Database Maintenance", "    Repairing Database...(Just in case)!",
                                         "    Compacting Database...", "Database Maintenance Successfully Done!"}));
        QCOMPARE(home.read("brivane.BAK"), before);
        QVERIFY(!(QFile::permissions(base + ".BAK") & (QFileDevice::ReadGroup | QFileDevice::ReadOther)));
        QVERIFY(!QFile::exists(base + ".new"));
        QVERIFY(!QFile::exists(base + ".BAK.part"));
        {
            Database db;
            QVERIFY(db.open(file));
            QCOMPARE(tables(db.sql()), all_tables);
            QVERIFY(db.dupe_exists("first.jpg").value());
            QVERIFY(db.add_dupe("second.jpg"));
        }
        // The backup is a file of its own: the database's writes leave it be.
        QCOMPARE(home.read("brivane.BAK"), before);
        QCOMPARE(page_size(), 1024);
    }

    void no_rotation_while_a_log_is_open()
    {
        Fixture f;
        QVERIFY(f.db.add_dupe("in the log.jpg"));  // the open connection keeps the log
        QVERIFY(QFile::exists(f.home.file("brivane.mdb-wal")));
        test::RecordingFrontend ui;
        QVERIFY(!Database::maintain(ui, f.home.file("brivane.mdb"), f.home.file("brivane")));
        QCOMPARE(ui.status.last(), QStringLiteral("        Compact failed..."));
        QVERIFY(!QFile::exists(f.home.file("brivane.new")));
        QVERIFY(!QFile::exists(f.home.file("brivane.BAK")));
        QVERIFY(f.db.dupe_exists("in the log.jpg").value());
    }

    // A log left beside a missing database is never replayed into the copy
    // restored in its place.
    void a_stale_log_is_not_applied_to_a_restored_copy()
    {
        test::TempHome home, other;
        QVERIFY(Database::create_database(home.file("brivane.BAK")));
        {
            // A log holding a row of another file, taken while it is open.
            QVERIFY(Database::create_database(other.file("x.mdb")));
            Database db;
            QVERIFY(db.open(other.file("x.mdb")));
            QVERIFY(db.add_dupe("ghost.jpg"));
            QVERIFY(QFile::copy(other.file("x.mdb-wal"), home.file("brivane.mdb-wal")));
        }
        QString note, error;
        QVERIFY(Database::restore_missing(home.file("brivane.mdb"), home.file("brivane"), &note, &error));
        QCOMPARE(note, QStringLiteral("The database %1 was missing: restored from %2")
                           .arg(home.file("brivane.mdb"), home.file("brivane.BAK")));
        Database db;
        QVERIFY(db.open(home.file("brivane.mdb")));
        QCOMPARE(db.dupes_count().value(), 0);
        QVERIFY(!(QFile::permissions(home.file("brivane.mdb")) & (QFileDevice::ReadGroup | QFileDevice::ReadOther)));
    }

    // Nor into a new database made where the file and its copies were
    // deleted by hand to start afresh.
    void a_stale_log_is_not_applied_to_a_new_database()
    {
        test::TempHome home, other;
        {
            QVERIFY(Database::create_database(other.file("x.mdb")));
            Database db;
            QVERIFY(db.open(other.file("x.mdb")));
            QVERIFY(db.add_dupe("ghost.jpg"));
            QVERIFY(QFile::copy(other.file("x.mdb-wal"), home.file("brivane.mdb-wal")));
            QVERIFY(QFile::copy(other.file("x.mdb-shm"), home.file("brivane.mdb-shm")));
        }
        QString error;
        QVERIFY2(Database::create_database(home.file("brivane.mdb"), &error), qPrintable(error));
        Database db;
        QVERIFY(db.open(home.file("brivane.mdb")));
        QCOMPARE(db.dupes_count().value(), 0);
        QVERIFY(db.add_dupe("new.jpg"));
        db.close();
        test::RecordingFrontend ui;
        QVERIFY2(Database::maintain(ui, home.file("brivane.mdb"), home.file("brivane")), qPrintable(ui.status.join('\n')));
    }

    void nothing_to_restore_in_a_new_home_or_beside_a_database()
    {
        test::TempHome home;
        QString note, error;
        QVERIFY(Database::restore_missing(home.file("brivane.mdb"), home.file("brivane"), &note, &error));
        home.write("brivane.mdb", "whatever is there is kept");
        home.write("brivane.BAK", "not looked at");
        QVERIFY(Database::restore_missing(home.file("brivane.mdb"), home.file("brivane"), &note, &error));
        QVERIFY(note.isEmpty() && error.isEmpty());
        QCOMPARE(home.read("brivane.mdb"), QByteArray("whatever is there is kept"));
    }

    // An emptied database file passes the check, but must not become the
    // backup in place of the good one.
    void an_empty_file_does_not_replace_the_backup()
    {
        test::TempHome home;
        QVERIFY(Database::create_database(home.file("brivane.BAK")));
        const QByteArray backup = home.read("brivane.BAK");
        home.write("brivane.mdb", QByteArray());
        test::RecordingFrontend ui;
        QVERIFY(!Database::maintain(ui, home.file("brivane.mdb"), home.file("brivane")));
        QCOMPARE(ui.status.last(), QStringLiteral("    The database %1 holds none of the lists: its backup is kept")
                                       .arg(home.file("brivane.mdb")));
        QCOMPARE(home.read("brivane.BAK"), backup);
        QVERIFY(home.read("brivane.mdb").isEmpty());
        QVERIFY(!QFile::exists(home.file("brivane.new")));
    }

    void a_leftover_new_file_makes_compaction_fail()
    {
        test::TempHome home;
        QVERIFY(Database::create_database(home.file("brivane.mdb")));
        home.write("brivane.new", "junk");
        test::RecordingFrontend ui;
        QVERIFY(!Database::Database_Compact(ui, home.file("brivane.mdb"), home.file("brivane.new")));
        QCOMPARE(ui.status.last(), QStringLiteral("        Compact failed..."));
        QCOMPARE(home.read("brivane.new"), QByteArray("junk"));
    }

    void a_damaged_file_fails_repair_and_is_kept()
    {
        test::TempHome home;
        QVERIFY(Database::create_database(home.file("brivane.mdb")));
        QByteArray bytes = home.read("brivane.mdb");
        // Overwrite the schema page with garbage, keeping the header.
        for (int i = 100; i < bytes.size(); ++i)
            bytes[i] = char(i * 7);
        home.write("brivane.mdb", bytes);
        test::RecordingFrontend ui;
        QVERIFY(!Database::maintain(ui, home.file("brivane.mdb"), home.file("brivane")));
        QCOMPARE(ui.status, (QStringList{"Database Maintenance", "    Repairing Database...(Just in case)!",
                                         "        Repair failed..."}));
        QCOMPARE(home.read("brivane.mdb"), bytes);
        QVERIFY(!QFile::exists(home.file("brivane.BAK")));

        home.write("brivane.mdb", "this is not a database at all");
        ui.status.clear();
        QVERIFY(!Database::maintain(ui, home.file("brivane.mdb"), home.file("brivane")));
        QCOMPARE(ui.status.last(), QStringLiteral("        Repair failed..."));
        // Opening it says what is wrong with the file; nothing is left open
        // and every query then fails cleanly.
        Database db;
        QString error;
        QVERIFY(!db.open(home.file("brivane.mdb"), &error));
        QCOMPARE(error, QStringLiteral("Cannot open the database %1: file is not a database")
                            .arg(home.file("brivane.mdb")));
        QVERIFY(!db.is_open());
        QVERIFY(!db.masks().has_value());
        QVERIFY(!db.groups_of("s").has_value());
        QVERIFY(!db.replace_newsgroups("s", {"alt.a"}));
        QCOMPARE(home.read("brivane.mdb"), QByteArray("this is not a database at all"));
    }
};

QTEST_GUILESS_MAIN(TestDatabase)
#include "test_database.moc"
