#include "shell/home.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <pwd.h>
#include <unistd.h>

namespace brivane {

QString Paths::file(const QString &name) const
{
    return native_path(QDir(home_).filePath(name));
}

QString native_path(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

static bool ensure_dir(const QString &dir, QString *error)
{
    QDir d(dir);
    if (d.exists())
        return true;
    if (QFileInfo(dir).exists()) {
        if (error)
            *error = QStringLiteral("The program folder %1 is a file, not a folder").arg(native_path(dir));
        return false;
    }
    if (!QDir().mkpath(dir)) {
        if (error)
            *error = QStringLiteral("Cannot create the program folder %1").arg(dir);
        return false;
    }
    QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                   | QFileDevice::ExeOwner);
    return true;
}

// cron and `env -i` may start the program without HOME: Qt would then take
// "/" as the user's folder. The password database knows it all the same.
static QString user_home()
{
    const QString home = qEnvironmentVariable("HOME");
    if (!home.isEmpty() && !QDir::isRelativePath(home))
        return home;
    if (const passwd *pw = ::getpwuid(::getuid()); pw && pw->pw_dir && *pw->pw_dir == '/')
        return QFile::decodeName(pw->pw_dir);
    return QDir::homePath();
}

Paths Paths::resolve(const QString &override_dir, QString *error)
{
    QString dir = override_dir;
    if (dir.isEmpty()) {
        // Set to nothing (`BRIVANE_HOME=$PICS` with PICS unset): no home
        // named, and not some other one taken instead.
        if (qEnvironmentVariableIsSet("BRIVANE_HOME") && qEnvironmentVariableIsEmpty("BRIVANE_HOME")) {
            if (error)
                *error = QStringLiteral("BRIVANE_HOME is set but empty");
            return Paths();
        }
        dir = qEnvironmentVariable("BRIVANE_HOME");
        // Set in a profile or a crontab ("~/pics", which cron does not
        // expand), a relative one would make a new, empty home wherever the
        // program happens to be started.
        if (!dir.isEmpty() && QDir::isRelativePath(dir)) {
            if (error)
                *error = QStringLiteral("BRIVANE_HOME is not an absolute path: %1").arg(dir);
            return Paths();
        }
    }
    if (dir.isEmpty()) {
        const QString exe_dir = QCoreApplication::applicationDirPath();
        if (!exe_dir.isEmpty() && ::access(QFile::encodeName(exe_dir).constData(), W_OK) == 0)
            dir = exe_dir;
    }
    if (dir.isEmpty()) {
        QString data = qEnvironmentVariable("XDG_DATA_HOME");
        // Only an absolute path counts (as the XDG rules say): a relative one
        // would put the home wherever the program was started from.
        if (data.isEmpty() || QDir::isRelativePath(data))
            data = user_home() + QStringLiteral("/.local/share");
        dir = data + QStringLiteral("/brivane");
    }
    dir = QFileInfo(dir).absoluteFilePath();
    if (!ensure_dir(dir, error))
        return Paths();
    return Paths(QDir::cleanPath(dir));
}

} // namespace brivane
