#pragma once
// The program's lists in one SQLite file, brivane.mdb. One connection stays
// open for the life of the program (WAL mode, so the pointer write after every
// header is cheap and survives a crash). Every value is a bound parameter.
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <map>
#include <memory>
#include <optional>

struct sqlite3;
struct sqlite3_stmt;

namespace brivane {

class Frontend;

struct GroupRow {
    QString name;
    qint64 last_msg = 0;
};

class Database {
public:
    Database() = default;
    ~Database();
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    // Creates the file with its six tables when it does not exist (built as
    // `path` + ".part" and put in place whole); an existing file (even an
    // empty or damaged one) is never touched.
    static bool create_database(const QString &path, QString *error = nullptr);

    // Repair (integrity check), then compact into `destination` (VACUUM
    // INTO), with the maintenance status lines. False when either fails.
    static bool Database_Compact(Frontend &ui, const QString &source, const QString &destination);

    // The whole start-up maintenance: Database_Compact into db_base + ".new",
    // then brivane.BAK := old file, brivane.mdb := compacted copy. `db_file`
    // exists at every moment, so a kill at any point loses nothing. Must run
    // before the file is opened.
    static bool maintain(Frontend &ui, const QString &db_file, const QString &db_base);

    // When `db_file` is missing but db_base + ".new" or db_base + ".BAK" is
    // left (by a crash or an older version), puts the first intact one in its
    // place and sets `note` to a status line saying so. True when restored or
    // when there was nothing to restore (a new home); false and `error` when
    // copies are there but none can be used: they are kept, and no empty
    // database may take their place.
    static bool restore_missing(const QString &db_file, const QString &db_base, QString *note,
                                QString *error);

    bool open(const QString &db_file, QString *error = nullptr);
    void close();
    bool is_open() const;
    QSqlDatabase &sql() { return db_; }
    // The text of the last failure, for a status line or message box.
    const QString &last_error() const { return error_; }

    // Converts the user's "*" wildcard into a LIKE pattern (escape "\").
    static QString like_pattern(const QString &user_pattern);

    // --- counts
    qint32 count_newsgroups(const QString &server);
    qint32 count_servers();

    // While `hold` is true the file's locks are taken once and kept, not
    // taken and dropped around every statement: a run's commit after each
    // header then costs half as much. Other programs cannot open the file
    // meanwhile; false gives the locks back.
    bool hold_locks(bool hold);

    // --- groups (subscriptions and message pointers)
    std::optional<QList<GroupRow>> groups_of(const QString &server);
    bool set_last_msg(const QString &server, const QString &name, qint64 last_msg);

    // --- newsgroups (a server's full group list)
    // Replaces the server's stored list in one transaction.
    bool replace_newsgroups(const QString &server, const QStringList &names);

    // --- masks
    std::optional<QStringList> masks();

    // --- dupes
    std::optional<bool> dupe_exists(const QString &filename);
    std::optional<qint64> dupes_count();
    bool add_dupe(const QString &filename);

    // --- lockout
    std::optional<bool> sender_locked(const QString &sender);

    // Runs one statement with bound values; false and last_error() on failure.
    bool exec(const QString &statement, const QVariantList &values = {});

private:
    bool fail(const QString &what, const QString &detail);
    // The statement prepared once per connection (the run asks the same few
    // after every header), its values bound; null and last_error() on failure.
    QSqlQuery *prepared(const QString &statement, const QVariantList &values);
    // Whether `column` of `table` holds `value`, regardless of case, for
    // letters beyond A-Z too.
    // `count` counts the rows holding the value (NOCASE), `like` lists the
    // column's values that match a LIKE pattern.
    std::optional<bool> holds(const QString &count, const QString &like, const QString &value);
    // Runs a query that yields one number in its first column.
    std::optional<qint64> scalar(const QString &statement, const QVariantList &values);
    std::map<QString, std::unique_ptr<QSqlQuery>> statements_;
    // The statements a run makes for every header (the pointer update, the
    // duplicate and lock-out lookups) and picture (the duplicate row) go
    // straight to SQLite on the driver's own connection, each prepared once:
    // through QSqlQuery each cost a few microseconds more. Null without that
    // connection (then QSqlQuery does it). Finalized before it closes.
    sqlite3_stmt *direct(const QString &statement);
    // Binds `value` as UTF-8 text (NULL for a null string, as Qt does).
    static void bind_text(sqlite3_stmt *stmt, int index, const QString &value);
    // Steps `stmt` to its end or first row; false and last_error() on failure.
    bool step(sqlite3_stmt *stmt, bool row);
    // Steps a statement that yields no row, then readies it for its next
    // use; false and last_error() on failure.
    bool run_direct(sqlite3_stmt *stmt);
    sqlite3 *handle_ = nullptr;
    std::map<QString, sqlite3_stmt *> direct_;
    QSqlDatabase db_;
    QString connection_;
    QString error_;
};

// Width limits of the text columns.
namespace width {
constexpr int dupes_filename = 50;
constexpr int groups_name = 125;
constexpr int groups_server = 50;
constexpr int lockout_sender = 100;
constexpr int masks_mask = 3;
constexpr int newsgroups_name = 125;
constexpr int newsgroups_server = 50;
constexpr int servers_server = 50;
constexpr int servers_userid = 25;
constexpr int servers_password = 25;
} // namespace width

} // namespace brivane
