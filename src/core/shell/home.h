#pragma once
#include <QString>

namespace brivane {

// Where every file of the program lives (the "program directory").
class Paths {
public:
    Paths() = default;
    explicit Paths(QString home) : home_(std::move(home)) {}

    const QString &home() const { return home_; }
    QString file(const QString &name) const;   // home + separator + name
    QString db_file() const { return file(QStringLiteral("brivane.mdb")); }
    QString db_base() const { return file(QStringLiteral("brivane")); }
    QString ini_file() const { return file(QStringLiteral("Brivane.ini")); }
    QString log_file() const { return file(QStringLiteral("log.txt")); }
    QString dllog_file() const { return file(QStringLiteral("dllog.txt")); }
    QString lock_file() const { return file(QStringLiteral("brivane.lock")); }

    // The program home: `override_dir` when given (the CLI's --home), else
    // BRIVANE_HOME when set, else the executable's folder when writable, else
    // $XDG_DATA_HOME/brivane (~/.local/share/brivane). Created when missing,
    // owner-only. Returns an empty Paths and sets `error` on failure.
    static Paths resolve(const QString &override_dir, QString *error);

private:
    QString home_;
};

// The platform's separator between a folder and a name.
QString native_path(const QString &path);

} // namespace brivane
