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

QStringList namespace_args()
{
    for (const QStringList &args : {QStringList{QStringLiteral("-m")},
                                    QStringList{QStringLiteral("-r"), QStringLiteral("-m")}}) {
        QProcess p;
        p.start(QStringLiteral("unshare"),
                args + QStringList{QStringLiteral("sh"), QStringLiteral("-c"),
                                   QStringLiteral("d=$(mktemp -d) && mount -t tmpfs -o size=64k brivane $d"
                                                  " && umount $d && rmdir $d")});
        if (p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
            return args;
    }
    return {};
}

bool run_in_namespace(const QStringList &ns, const QString &script, const QStringList &args,
                      QByteArray *out, const QProcessEnvironment &env)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("unshare"),
            ns + QStringList{QStringLiteral("sh"), QStringLiteral("-c"), script, QStringLiteral("sh")} + args);
    const bool done = p.waitForFinished(120000);
    if (!done)
        p.kill();
    *out = p.readAll();
    return done && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

QByteArray uuencode_block(const QByteArray &data, const QString &name)
{
    auto enc = [](unsigned v) { return char(v ? v + 0x20 : 0x60); };
    QByteArray out = "begin 644 " + name.toUtf8() + "\r\n";
    out.reserve(out.size() + data.size() * 142 / 100 + 16);
    const auto *p = reinterpret_cast<const unsigned char *>(data.constData());
    for (qsizetype left = data.size(); left > 0;) {
        const int n = int(qMin<qsizetype>(45, left));
        out += enc(unsigned(n));
        for (int i = 0; i < n; i += 3) {
            const unsigned a = p[i], b = i + 1 < n ? p[i + 1] : 0, c = i + 2 < n ? p[i + 2] : 0;
            out += enc(a >> 2);
            out += enc(((a << 4) | (b >> 4)) & 63);
            out += enc(((b << 2) | (c >> 6)) & 63);
            out += enc(c & 63);
        }
        out += "\r\n";
        p += n;
        left -= n;
    }
    out += "`\r\nend\r\n";
    return out;
}

} // namespace brivane::test
