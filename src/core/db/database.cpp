#include "db/database.h"

#include "shell/frontend.h"
#include "shell/home.h"
#include "shell/textutil.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QUrl>
#include <QStringList>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <sqlite3.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brivane {

namespace {

// Files made while it lives are the owner's alone from their first byte:
// the compacted copy holds the servers' passwords.
struct OwnerOnly {
    OwnerOnly() : old(::umask(077)) {}
    ~OwnerOnly() { ::umask(old); }
    OwnerOnly(const OwnerOnly &) = delete;
    OwnerOnly &operator=(const OwnerOnly &) = delete;
    mode_t old;
};

QAtomicInt connection_counter;

QString new_connection_name()
{
    return QStringLiteral("brivane-%1").arg(connection_counter.fetchAndAddRelaxed(1));
}

// The six tables. Text compares without regard to case; the widths are
// enforced so an over-long value is refused, never stored cut.
const char *const schema[] = {
    "CREATE TABLE dupes (filename TEXT COLLATE NOCASE CHECK (length(filename) <= 50))",
    "CREATE TABLE groups (name TEXT COLLATE NOCASE CHECK (length(name) <= 125), "
    "last_msg INTEGER, server TEXT COLLATE NOCASE CHECK (length(server) <= 50))",
    "CREATE TABLE lockout (sender TEXT COLLATE NOCASE CHECK (length(sender) <= 100))",
    "CREATE TABLE masks (mask TEXT COLLATE NOCASE CHECK (length(mask) <= 3))",
    "CREATE TABLE newsgroups (name TEXT COLLATE NOCASE CHECK (length(name) <= 125), "
    "server TEXT COLLATE NOCASE CHECK (length(server) <= 50))",
    "CREATE TABLE servers (server TEXT COLLATE NOCASE CHECK (length(server) <= 50), "
    "userid TEXT CHECK (length(userid) <= 25), password TEXT CHECK (length(password) <= 25))",
    // Plain indexes for the lookups done per header and per download.
    "CREATE INDEX dupes_filename ON dupes (filename)",
    "CREATE INDEX groups_server ON groups (server, name)",
    "CREATE INDEX lockout_sender ON lockout (sender)",
    "CREATE INDEX newsgroups_server ON newsgroups (server)",
};

// Opens `file` as it is, never creating it: SQLite would make an empty
// database in place of one that went missing (the Qt driver has no option
// for that, a URI has).
void open_existing(QSqlDatabase &db, const QString &file)
{
    const QString absolute = QFileInfo(file).absoluteFilePath();
    db.setDatabaseName(QUrl::fromLocalFile(absolute).toString(QUrl::FullyEncoded) + QStringLiteral("?mode=rw"));
    db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=5000"));
}

// Small pages: a run commits its pointer row after every header, and each
// commit copies and checksums a whole page into the log.
const QString small_pages = QStringLiteral("PRAGMA page_size=1024");

// A connection of its own, removed when it goes out of scope.
class ScopedConnection {
public:
    explicit ScopedConnection(const QString &file) : name_(new_connection_name())
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name_);
        open_existing(db, file);
        ok_ = db.open();
        if (!ok_)
            error_ = db.lastError().text();
    }
    ~ScopedConnection()
    {
        {
            QSqlDatabase db = QSqlDatabase::database(name_, false);
            db.close();
        }
        QSqlDatabase::removeDatabase(name_);
    }
    bool ok() const { return ok_; }
    const QString &error() const { return error_; }
    QSqlDatabase db() const { return QSqlDatabase::database(name_, false); }

private:
    QString name_;
    QString error_;
    bool ok_ = false;
};

bool integrity_ok(const ScopedConnection &c)
{
    if (!c.ok())
        return false;
    QSqlQuery q(c.db());
    return q.exec(QStringLiteral("PRAGMA integrity_check")) && q.next()
           && q.value(0).toString() == QLatin1String("ok");
}

// SQLite's own words for a failure when it has some.
QString sql_error_text(const QSqlError &e)
{
    return e.databaseText().isEmpty() ? e.text() : e.databaseText();
}

// Why the database open in `db` is none of ours, or nothing: an emptied or
// foreign SQLite file passes the integrity check but lacks the six lists.
std::optional<QString> missing_lists(const QSqlDatabase &db)
{
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("select count(*) from sqlite_master where type = 'table' and name in "
                               "('dupes', 'groups', 'lockout', 'masks', 'newsgroups', 'servers')"))
        || !q.next())
        return sql_error_text(q.lastError());
    if (q.value(0).toInt() != 6)
        return QStringLiteral("it does not hold the program's lists (move it away to start from its backup or afresh)");
    return std::nullopt;
}

// Intact and with the six tables.
bool usable_copy(const QString &file)
{
    if (!QFileInfo(file).isFile())
        return false;
    ScopedConnection c(file);
    return integrity_ok(c) && !missing_lists(c.db());
}

QString last_os_error()
{
    return QString::fromLocal8Bit(strerror(errno));
}

// Flushes a file to the disk before a rename puts it in place; false (and
// errno) when the disk did not take it all: a delayed write error or a full
// disk shows only here, and the file must then not replace anything.
bool sync_file(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return ok;
}

// Replaces `to` by `from`; `to` names the old file or the new one at every
// moment, never nothing (rename(2), unlike QFile::rename, replaces).
bool replace_file(const QString &from, const QString &to, QString *error)
{
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return true;
    *error = QStringLiteral("Cannot rename %1 to %2: %3").arg(from, to, last_os_error());
    return false;
}

// Makes `to` a copy of `from` that is complete whenever it exists: built
// under a temporary name, then renamed over `to`. A hard link costs nothing
// and is used when allowed; a copy where links fail (or are not wanted).
bool keep_copy(const QString &from, const QString &to, bool allow_link, QString *error)
{
    const QString part = to + QStringLiteral(".part");
    QFile::remove(part);  // left by an interrupted copy
    const bool linked = allow_link
                        && ::link(QFile::encodeName(from).constData(), QFile::encodeName(part).constData()) == 0;
    if (!linked) {
        if (!QFile::copy(from, part)) {
            *error = QStringLiteral("Cannot copy %1 to %2").arg(from, part);
            QFile::remove(part);
            return false;
        }
        if (!sync_file(part)) {
            *error = QStringLiteral("Cannot write %1: %2").arg(part, last_os_error());
            QFile::remove(part);
            return false;
        }
    }
    // Passwords: owner-only, a link too (a database copied in by hand may
    // be readable by all, and the backup keeps it after the rotation).
    QFile::setPermissions(part, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (!replace_file(part, to, error)) {
        QFile::remove(part);
        return false;
    }
    return true;
}

// A write-ahead log, its index or a rollback journal beside `db_file`.
const char *const side_files[] = {"-wal", "-shm", "-journal"};

bool has_non_ascii(const QString &s)
{
    for (const QChar c : s)
        if (c.unicode() >= 128)
            return true;
    return false;
}

bool width_ok(const QString &value, int width, const char *column, QString *error)
{
    if (value.size() <= width || character_count(value) <= width)
        return true;
    *error = QStringLiteral("Value too long for %1 (at most %2 characters): %3")
                 .arg(QLatin1String(column))
                 .arg(width)
                 .arg(value);
    return false;
}

} // namespace

Database::~Database()
{
    close();
}

bool Database::create_database(const QString &path, QString *error)
{
    if (file_exists(path) || QFileInfo::exists(path))
        return true;
    // Built under a name of its own and put in place only when whole: an
    // existing file is never re-created, so a creation cut short by a full
    // disk or a kill must not leave a file without tables under this name.
    const QString part = path + QStringLiteral(".part");
    auto remove_part = [&part] {
        QFile::remove(part);
        QFile::remove(part + QStringLiteral("-journal"));
    };
    auto give_up = [&](const QString &why) {
        if (error)
            *error = why;
        remove_part();
        return false;
    };
    remove_part();  // left by an interrupted creation
    // A log or journal of a file no longer there (deleted by hand to start
    // afresh) would be replayed into the new one.
    for (const char *side : side_files) {
        const QString f = path + QLatin1String(side);
        if (QFileInfo::exists(f) && !QFile::remove(f))
            return give_up(QStringLiteral("Cannot create %1: cannot delete %2").arg(path, f));
    }
    // Created owner-only: the servers table holds passwords.
    const int fd = ::open(QFile::encodeName(part).constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0)
        return give_up(QStringLiteral("Cannot create %1: %2").arg(part, last_os_error()));
    ::close(fd);
    {
        ScopedConnection c(part);
        if (!c.ok())
            return give_up(c.error());
        QSqlDatabase db = c.db();
        QSqlQuery(db).exec(small_pages);
        if (!db.transaction())
            return give_up(db.lastError().text());
        for (const char *statement : schema) {
            QSqlQuery q(db);
            if (!q.exec(QString::fromLatin1(statement))) {
                const QString why = q.lastError().text();
                db.rollback();
                return give_up(why);
            }
        }
        if (!db.commit()) {
            const QString why = db.lastError().text();
            db.rollback();
            return give_up(why);
        }
    }
    if (!sync_file(part))
        return give_up(QStringLiteral("Cannot write %1: %2").arg(part, last_os_error()));
    // link(2) never replaces a file that appeared meanwhile; rename where
    // the file system has no links.
    if (::link(QFile::encodeName(part).constData(), QFile::encodeName(path).constData()) != 0) {
        const int link_errno = errno;
        if (link_errno == EEXIST || QFileInfo::exists(path)) {
            QFile::remove(part);
            return true;
        }
        QString why;
        if (!replace_file(part, path, &why))
            return give_up(why);
        return true;
    }
    QFile::remove(part);
    return true;
}

bool Database::Database_Compact(Frontend &ui, const QString &source, const QString &destination)
{
    QCoreApplication::processEvents();
    ui.clear_status();
    ui.add_status(QStringLiteral("Database Maintenance"));
    ui.add_status(QStringLiteral("    Repairing Database...(Just in case)!"));
    if (!integrity_ok(ScopedConnection(source))) {
        ui.add_status(QStringLiteral("        Repair failed..."));
        return false;
    }
    ui.add_status(QStringLiteral("    Compacting Database..."));
    {
        // Never written over: the entry procedure clears a leftover first.
        const bool existed = QFileInfo::exists(destination);
        bool good = !existed;
        if (good) {
            const OwnerOnly owner_only;
            ScopedConnection c(source);
            good = c.ok();
            if (good) {
                // A file of an earlier version gets them too (kept as they
                // were where SQLite cannot change them).
                QSqlQuery(c.db()).exec(small_pages);
                QSqlQuery q(c.db());
                q.prepare(QStringLiteral("VACUUM INTO ?"));
                q.addBindValue(destination);
                good = q.exec();
            }
        }
        if (!good) {
            if (!existed)
                QFile::remove(destination);
            ui.add_status(QStringLiteral("        Compact failed..."));
            return false;
        }
        QFile::setPermissions(destination, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
    ui.add_status(QStringLiteral("Database Maintenance Successfully Done!"));
    return true;
}

bool Database::maintain(Frontend &ui, const QString &db_file, const QString &db_base)
{
    const QString fresh = db_base + QStringLiteral(".new");
    if (!Database_Compact(ui, db_file, fresh))
        return false;
    // A write-ahead log or journal left beside the file would be replayed
    // into the compacted copy after the swap: never rotate while one exists.
    // (The last connection's close above checkpoints and removes the log;
    // nothing has the file open until the swap is done.)
    if (QFileInfo::exists(db_file + QStringLiteral("-wal"))
        || QFileInfo::exists(db_file + QStringLiteral("-journal"))) {
        QFile::remove(fresh);
        ui.add_status(QStringLiteral("        Compact failed..."));
        return false;
    }
    QFile::remove(db_file + QStringLiteral("-shm"));
    // An empty or foreign file passes the check but is no database of ours:
    // rotated, it would take the place of the last good backup.
    if (!usable_copy(fresh)) {
        QFile::remove(fresh);
        ui.add_status(QStringLiteral("    The database %1 holds none of the lists: its backup is kept")
                          .arg(native_path(db_file)));
        return false;
    }

    // brivane.mdb exists at every moment of the rotation, so a kill at any
    // point leaves a database to start from: the backup is made beside it
    // first, then the compacted copy is renamed over it in one step.
    // Flushed first: the backup is a second name of the file in use until the
    // rename, so that window is kept short.
    if (!sync_file(fresh)) {
        ui.add_status(QStringLiteral("    Cannot write %1: %2").arg(native_path(fresh), last_os_error()));
        QFile::remove(fresh);
        ui.add_status(QStringLiteral("        Compact failed..."));
        return false;
    }
    const QString bak = db_base + QStringLiteral(".BAK");
    QString error;
    if (!keep_copy(db_file, bak, true, &error)) {
        ui.add_status(QStringLiteral("    ") + error);
        QFile::remove(fresh);
        return false;
    }
    if (!replace_file(fresh, db_file, &error)) {
        ui.add_status(QStringLiteral("    ") + error);
        QFile::remove(fresh);
        // The backup may be a second name of the file still in use: make it
        // a copy of its own so the writes to come do not change it.
        if (!keep_copy(db_file, bak, false, &error))
            ui.add_status(QStringLiteral("    ") + error);
        return false;
    }
    return true;
}

bool Database::restore_missing(const QString &db_file, const QString &db_base, QString *note,
                               QString *error)
{
    if (QFileInfo::exists(db_file))
        return true;
    const QString fresh = db_base + QStringLiteral(".new");
    const QString bak = db_base + QStringLiteral(".BAK");
    if (!QFileInfo::exists(fresh) && !QFileInfo::exists(bak))
        return true;  // a new home

    // A log or journal beside a missing file belongs to no file that is
    // left: it must never be replayed into the one restored.
    for (const char *side : side_files) {
        const QString f = db_file + QLatin1String(side);
        if (QFileInfo::exists(f) && !QFile::remove(f)) {
            *error = QStringLiteral("The database %1 is missing and cannot be restored: cannot delete %2")
                         .arg(db_file, f);
            return false;
        }
    }

    QStringList damaged;
    for (const QString &copy : {fresh, bak}) {
        if (!QFileInfo::exists(copy))
            continue;
        if (!usable_copy(copy)) {
            damaged << copy;
            continue;
        }
        // The compacted copy is moved in; the backup is copied, so it stays
        // a backup.
        QString why;
        const bool done = copy == fresh ? replace_file(copy, db_file, &why)
                                        : keep_copy(copy, db_file, false, &why);
        if (!done) {
            *error = QStringLiteral("The database %1 is missing and cannot be restored: %2").arg(db_file, why);
            return false;
        }
        *note = QStringLiteral("The database %1 was missing: restored from %2").arg(db_file, copy);
        return true;
    }
    // Never replaced by an empty database: that would lose every list, and
    // the maintenance would then overwrite the backup too.
    const bool many = damaged.size() > 1;
    *error = QStringLiteral("The database %1 is missing and cannot be restored: %2 %3 damaged. "
                            "Move %4 away to start with a new, empty database.")
                 .arg(db_file, damaged.join(QStringLiteral(" and ")),
                      many ? QStringLiteral("are") : QStringLiteral("is"),
                      many ? QStringLiteral("them") : QStringLiteral("it"));
    return false;
}

bool Database::open(const QString &db_file, QString *error)
{
    close();
    connection_ = new_connection_name();
    db_ = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection_);
    open_existing(db_, db_file);
    auto refuse = [&](const QString &detail) {
        close();
        fail(QStringLiteral("Cannot open the database %1").arg(db_file), detail);
        if (error)
            *error = error_;
        return false;
    };
    if (!db_.open())
        return refuse(db_.lastError().text());
    // An emptied file or another program's database: the lists are not
    // there, and every command would fail on them. Left as it is, not made
    // a log-keeping database of ours.
    if (const std::optional<QString> foreign = missing_lists(db_))
        return refuse(*foreign);
    // WAL with NORMAL sync: every commit survives a crash of the program,
    // without an fsync per header. SQLite reads the file only now, so a
    // damaged one (or one we cannot write) fails here, not in a run.
    const std::optional<QString> unreadable = [this]() -> std::optional<QString> {
        QSqlQuery wal(db_);  // gone before refuse() closes the connection
        if (wal.exec(QStringLiteral("PRAGMA journal_mode=WAL")))
            return std::nullopt;
        return sql_error_text(wal.lastError());
    }();
    if (unreadable)
        return refuse(*unreadable);
    QSqlQuery q(db_);
    q.exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    // The hot statements go straight to the driver's connection, but only
    // when the Qt plugin runs the very SQLite linked here (Debian's links the
    // system library). A plugin with SQLite built in has its own copy: its
    // handle would not be ours to use, and QSqlQuery then does it all.
    const QVariant h = db_.driver()->handle();
    if (h.isValid() && qstrcmp(h.typeName(), "sqlite3*") == 0 && q.exec(QStringLiteral("select sqlite_source_id()"))
        && q.next() && q.value(0).toString() == QLatin1String(sqlite3_sourceid()))
        handle_ = *static_cast<sqlite3 *const *>(h.constData());
    q.finish();
    return true;
}

void Database::close()
{
    if (connection_.isEmpty())
        return;
    statements_.clear();  // prepared statements go before their connection
    for (auto &[text, stmt] : direct_)
        sqlite3_finalize(stmt);
    direct_.clear();
    handle_ = nullptr;
    db_.close();
    db_ = QSqlDatabase();
    QSqlDatabase::removeDatabase(connection_);
    connection_.clear();
}

bool Database::is_open() const
{
    return db_.isOpen();
}

bool Database::fail(const QString &what, const QString &detail)
{
    error_ = detail.isEmpty() ? what : what + QStringLiteral(": ") + detail;
    return false;
}

QString Database::like_pattern(const QString &user_pattern)
{
    QString out;
    out.reserve(user_pattern.size());
    for (const QChar c : user_pattern) {
        if (c == QLatin1Char('\\') || c == QLatin1Char('%') || c == QLatin1Char('_')) {
            out += QLatin1Char('\\');
            out += c;
        } else if (c == QLatin1Char('*')) {
            out += QLatin1Char('%');
        } else {
            out += c;
        }
    }
    return out;
}

QSqlQuery *Database::prepared(const QString &statement, const QVariantList &values)
{
    if (!db_.isOpen()) {
        fail(QStringLiteral("The database is not open"), QString());
        return nullptr;
    }
    auto it = statements_.find(statement);
    if (it == statements_.end()) {
        if (statements_.size() >= 64)  // texts are fixed (values are bound): a bound, not a limit
            statements_.clear();
        auto q = std::make_unique<QSqlQuery>(db_);
        q->setForwardOnly(true);
        if (!q->prepare(statement)) {
            fail(QStringLiteral("Database error"), q->lastError().text());
            return nullptr;
        }
        it = statements_.emplace(statement, std::move(q)).first;
    }
    QSqlQuery *q = it->second.get();
    for (int i = 0; i < values.size(); ++i)
        q->bindValue(i, values.at(i));
    return q;
}

bool Database::exec(const QString &statement, const QVariantList &values)
{
    QSqlQuery *q = prepared(statement, values);
    if (!q)
        return false;
    const bool ok = q->exec();
    if (!ok)
        fail(QStringLiteral("Database error"), q->lastError().text());
    q->finish();
    if (ok)
        error_.clear();
    return ok;
}

std::optional<qint64> Database::scalar(const QString &statement, const QVariantList &values)
{
    QSqlQuery *q = prepared(statement, values);
    if (!q)
        return std::nullopt;
    std::optional<qint64> n;
    if (q->exec() && q->next())
        n = q->value(0).toLongLong();
    else
        fail(QStringLiteral("Database error"), q->lastError().text());
    q->finish();  // a read left open would hold back the WAL checkpoint
    return n;
}

qint32 Database::count_newsgroups(const QString &server)
{
    auto n = scalar(QStringLiteral("select count(*) from newsgroups where server = ?"),
                    {server});
    return qint32(n.value_or(0));
}

qint32 Database::count_servers()
{
    auto n = scalar(QStringLiteral("select count(*) from servers"), {});
    return qint32(n.value_or(0));
}

std::optional<QList<GroupRow>> Database::groups_of(const QString &server)
{
    QSqlQuery q(db_);
    q.setForwardOnly(true);
    // A damaged file fails here already; its reason, not the binding's.
    if (!q.prepare(QStringLiteral("select name, last_msg from groups where server = ? order by rowid"))) {
        fail(QStringLiteral("Database error"), q.lastError().text());
        return std::nullopt;
    }
    q.addBindValue(server);
    if (!q.exec()) {
        fail(QStringLiteral("Database error"), q.lastError().text());
        return std::nullopt;
    }
    QList<GroupRow> rows;
    while (q.next())
        rows.append({q.value(0).toString(), q.value(1).toLongLong()});
    return rows;
}

bool Database::hold_locks(bool hold)
{
    if (!db_.isOpen())
        return fail(QStringLiteral("The database is not open"), QString());
    QSqlQuery q(db_);
    if (!q.exec(hold ? QStringLiteral("PRAGMA locking_mode=EXCLUSIVE")
                     : QStringLiteral("PRAGMA locking_mode=NORMAL")))
        return fail(QStringLiteral("Database error"), q.lastError().text());
    // The log is checkpointed every 1,000 commits, as by default: a longer
    // log made each commit dearer than the fewer checkpoints saved.
    if (hold)
        return true;
    // The mode changes now; held locks go only at the next access.
    if (!q.exec(QStringLiteral("select count(*) from masks")))
        return fail(QStringLiteral("Database error"), q.lastError().text());
    // What the run wrote goes into the database file and the log is emptied,
    // so no long log is left beside it. A reader in the way only defers that.
    q.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
    return true;
}

sqlite3_stmt *Database::direct(const QString &statement)
{
    if (!handle_)
        return nullptr;
    auto it = direct_.find(statement);
    if (it != direct_.end())
        return it->second;
    sqlite3_stmt *stmt = nullptr;
    const QByteArray text = statement.toUtf8();
    if (sqlite3_prepare_v3(handle_, text.constData(), int(text.size()), SQLITE_PREPARE_PERSISTENT, &stmt,
                           nullptr)
        != SQLITE_OK) {
        sqlite3_finalize(stmt);
        return nullptr;  // QSqlQuery tries it and reports the error
    }
    return direct_.emplace(statement, stmt).first->second;
}

void Database::bind_text(sqlite3_stmt *stmt, int index, const QString &value)
{
    if (value.isNull()) {
        sqlite3_bind_null(stmt, index);
        return;
    }
    const QByteArray utf8 = value.toUtf8();
    sqlite3_bind_text(stmt, index, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
}

bool Database::step(sqlite3_stmt *stmt, bool row)
{
    const int rc = sqlite3_step(stmt);
    const bool ok = rc == (row ? SQLITE_ROW : SQLITE_DONE);
    if (!ok)
        fail(QStringLiteral("Database error"),
             rc == SQLITE_DONE ? QStringLiteral("No row") : QString::fromUtf8(sqlite3_errmsg(handle_)));
    return ok;
}

bool Database::run_direct(sqlite3_stmt *stmt)
{
    const bool ok = step(stmt, false);
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    if (ok)
        error_.clear();
    return ok;
}

bool Database::set_last_msg(const QString &server, const QString &name, qint64 last_msg)
{
    static const QString statement = QStringLiteral("update groups set last_msg = ? where server = ? and name = ?");
    sqlite3_stmt *stmt = direct(statement);
    if (!stmt)
        return exec(statement, {last_msg, server, name});
    sqlite3_bind_int64(stmt, 1, last_msg);
    bind_text(stmt, 2, server);
    bind_text(stmt, 3, name);
    return run_direct(stmt);
}

bool Database::replace_newsgroups(const QString &server, const QStringList &names)
{
    if (!width_ok(server, width::newsgroups_server, "newsgroups.server", &error_))
        return false;
    if (!db_.transaction())
        return fail(QStringLiteral("Database error"), db_.lastError().text());
    QSqlQuery del(db_), ins(db_);
    if (!del.prepare(QStringLiteral("delete from newsgroups where server = ?"))
        || !ins.prepare(QStringLiteral("insert into newsgroups (name, server) values (?, ?)"))) {
        fail(QStringLiteral("Database error"), (del.lastError().isValid() ? del : ins).lastError().text());
        db_.rollback();
        return false;
    }
    del.addBindValue(server);
    if (!del.exec()) {
        fail(QStringLiteral("Database error"), del.lastError().text());
        db_.rollback();
        return false;
    }
    for (const QString &name : names) {
        ins.bindValue(0, name);
        ins.bindValue(1, server);
        if (!ins.exec()) {
            fail(QStringLiteral("Database error"), ins.lastError().text());
            db_.rollback();
            return false;
        }
    }
    if (!db_.commit()) {
        fail(QStringLiteral("Database error"), db_.lastError().text());
        db_.rollback();
        return false;
    }
    return true;
}

std::optional<QStringList> Database::masks()
{
    QSqlQuery q(db_);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("select mask from masks order by rowid"))) {
        fail(QStringLiteral("Database error"), q.lastError().text());
        return std::nullopt;
    }
    QStringList list;
    while (q.next())
        list << q.value(0).toString();
    return list;
}

std::optional<bool> Database::dupe_exists(const QString &filename)
{
    static const QString count = QStringLiteral("select count(*) from dupes where filename = ?");
    static const QString like = QStringLiteral("select filename from dupes where filename like ? escape '\\'");
    return holds(count, like, filename);
}

std::optional<qint64> Database::dupes_count()
{
    return scalar(QStringLiteral("select count(*) from dupes"), {});
}

bool Database::add_dupe(const QString &filename)
{
    if (!width_ok(filename, width::dupes_filename, "dupes.filename", &error_))
        return false;
    static const QString statement = QStringLiteral("insert into dupes (filename) values (?)");
    sqlite3_stmt *stmt = direct(statement);
    if (!stmt)
        return exec(statement, {filename});
    bind_text(stmt, 1, filename);
    return run_direct(stmt);
}

std::optional<bool> Database::sender_locked(const QString &sender)
{
    static const QString count = QStringLiteral("select count(*) from lockout where sender = ?");
    static const QString like = QStringLiteral("select sender from lockout where sender like ? escape '\\'");
    return holds(count, like, sender);
}

std::optional<bool> Database::holds(const QString &count, const QString &like, const QString &value)
{
    std::optional<qint64> n;
    if (sqlite3_stmt *stmt = direct(count)) {
        bind_text(stmt, 1, value);
        if (step(stmt, true))
            n = sqlite3_column_int64(stmt, 0);
        sqlite3_reset(stmt);  // a read left open would hold back the WAL checkpoint
        sqlite3_clear_bindings(stmt);
    } else {
        n = scalar(count, {value});
    }
    if (!n || *n > 0 || !has_non_ascii(value))
        return n ? std::optional<bool>(*n > 0) : std::nullopt;
    // The columns' NOCASE folds A-Z only: "JÖRG" and "Jörg" would differ.
    // The rows that agree in every ASCII character (LIKE, itself blind to
    // ASCII case, with any one character in place of each other one) are
    // compared here with the full case rules.
    QString pattern;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value[i];
        if (c.unicode() < 128) {
            if (c == QLatin1Char('\\') || c == QLatin1Char('%') || c == QLatin1Char('_'))
                pattern += QLatin1Char('\\');
            pattern += c;
        } else {
            pattern += QLatin1Char('_');
            if (c.isHighSurrogate() && i + 1 < value.size() && value[i + 1].isLowSurrogate())
                ++i;  // one character, as LIKE counts them
        }
    }
    QSqlQuery *q = prepared(like, {pattern});
    if (!q)
        return std::nullopt;
    if (!q->exec()) {
        fail(QStringLiteral("Database error"), q->lastError().text());
        q->finish();
        return std::nullopt;
    }
    bool found = false;
    while (!found && q->next())
        found = q->value(0).toString().compare(value, Qt::CaseInsensitive) == 0;
    q->finish();
    return found;
}

} // namespace brivane
