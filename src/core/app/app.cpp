#include "app/app.h"

#include "shell/frontend.h"
#include "shell/textutil.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brivane {

namespace {

// QLockFile judges a lock by the process ID and host name written in it,
// which a dead copy can leave looking alive: a container restarted with the
// same process ID, another host name, a file left empty by a power cut. A
// live holder keeps an flock on the file from the instant it made it; a
// file of some age that nobody holds so is left over.
bool left_over(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st = {};
    const bool old = ::fstat(fd, &st) == 0 && std::time(nullptr) - st.st_mtime >= 2;
    const bool free = old && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
}

} // namespace

App::App(Paths paths, Frontend &ui)
    : paths_(std::move(paths)), ui_(ui), settings_(paths_.ini_file())
{
}

App::~App()
{
    db_.close();
}

bool App::start()
{
    settings_.load_early();

    // One copy per program home; the GUI and the CLI share the lock. A lock
    // left by a crashed copy (its process gone) is taken over.
    lock_ = std::make_unique<QLockFile>(paths_.lock_file());
    lock_->setStaleLockTime(0);
    bool locked = lock_->tryLock(0);
    bool stuck = false;  // a left-over lock in a home that cannot be written
    if (!locked && lock_->error() == QLockFile::LockFailedError && left_over(paths_.lock_file())) {
        if (lock_->removeStaleLockFile())
            locked = lock_->tryLock(0);
        else  // else another copy starting now took it over first
            stuck = ::access(QFile::encodeName(paths_.home()).constData(), W_OK) != 0;
    }
    if (!locked) {
        // Only a lock held by a live copy means another copy; a home that
        // cannot be written must say so, not send the user looking for one.
        const QLockFile::LockError why = stuck ? QLockFile::PermissionError : lock_->error();
        lock_.reset();
        if (why == QLockFile::LockFailedError)
            ui_.message(QStringLiteral("Brivane is already running!"));
        else
            ui_.message(QStringLiteral("Cannot create the lock file %1: %2")
                            .arg(native_path(paths_.lock_file()),
                                 why == QLockFile::PermissionError
                                     ? QStringLiteral("the folder cannot be written")
                                 : !QFileInfo(paths_.home()).isDir()
                                     ? QStringLiteral("no such folder")
                                     : QStringLiteral("unknown error")));
        return false;
    }

    // A database lost by a crash (or an older version) is taken back from
    // its compacted copy or its backup; only a home without any of them
    // gets a new, empty one.
    QString error;
    restored_.clear();
    if (!Database::restore_missing(paths_.db_file(), paths_.db_base(), &restored_, &error)) {
        ui_.message(error);
        return false;
    }

    const QString fresh = paths_.db_base() + QStringLiteral(".new");
    if (QFile::exists(fresh) && !QFile::remove(fresh))
        ui_.add_status(QStringLiteral("Cannot delete %1: maintenance will be skipped").arg(fresh));

    if (!QFile::exists(paths_.db_file())) {
        if (!Database::create_database(paths_.db_file(), &error)) {
            ui_.message(QStringLiteral("Cannot create the database %1: %2").arg(paths_.db_file(), error));
            return false;
        }
    }
    return true;
}

void App::delete_log()
{
    const QString log = paths_.log_file();
    if (QFile::exists(log) && !QFile::remove(log))
        ui_.add_status(QStringLiteral("Cannot delete %1").arg(log));
    shared_.auto_run = switches_.auto_run;
}

int delete_work_files(const Paths &paths, Frontend &ui)
{
    // Only the names the program gives its work files ("work" and four
    // digits): the home may be a folder of the user's own, with a "workflow".
    static const QRegularExpression work_name(QStringLiteral("^work[0-9]{4}$"));
    int removed = 0;
    const QStringList names = QDir(paths.home()).entryList(QDir::Files | QDir::Hidden);
    for (const QString &name : names) {
        if (!work_name.match(name).hasMatch())
            continue;
        if (QFile::remove(paths.file(name)))
            ++removed;
        else
            ui.add_status(QStringLiteral("Cannot delete %1").arg(paths.file(name)));
    }
    return removed;
}

bool App::load()
{
    settings_.load();
    Database::maintain(ui_, paths_.db_file(), paths_.db_base());
    // After the maintenance, which begins the status list afresh.
    if (!restored_.isEmpty())
        ui_.add_status(restored_);
    delete_work_files(paths_, ui_);
    QString error;
    if (!db_.open(paths_.db_file(), &error)) {
        ui_.message(error);
        return false;
    }
    return true;
}

} // namespace brivane
