#include "support/testsupport.h"

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>

namespace brivane::test {

TempHome::TempHome() : dir_(QDir::tempPath() + QStringLiteral("/brivane-test-XXXXXX")) {}

bool TempHome::write(const QString &name, const QByteArray &data) const
{
    QFile f(file(name));
    if (!f.open(QIODevice::WriteOnly))
        return false;
    return f.write(data) == data.size();
}

QByteArray TempHome::read(const QString &name) const
{
    QFile f(file(name));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

int run_cli(const QString &home, const QStringList &args, QByteArray *out, QByteArray *err,
            int timeout_ms)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("BRIVANE_HOME"), home);
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(BRIVANE_CLI_PATH), args);
    if (!p.waitForFinished(timeout_ms)) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    if (out)
        *out = p.readAllStandardOutput();
    if (err)
        *err = p.readAllStandardError();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
}

} // namespace brivane::test
