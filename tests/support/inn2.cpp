#include "support/inn2.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <csignal>
#include <pwd.h>
#include <sys/types.h>
#include <unistd.h>

namespace brivane::test {

namespace {

const QString bin_dir = QStringLiteral("/usr/lib/news/bin");
const QString inn_conf = QStringLiteral("/etc/news/inn.conf");
// Shared by every test process on this machine: who uses the innd we started.
const QString shared_dir = QStringLiteral("/tmp/brivane-inn2");

QString bin(const char *name)
{
    return bin_dir + QLatin1Char('/') + QLatin1String(name);
}

QString random_text(int n)
{
    static const char chars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    QString s;
    for (int i = 0; i < n; ++i)
        s += QLatin1Char(chars[QRandomGenerator::global()->bounded(36)]);
    return s;
}

// Runs a program without a shell; its exit code, or -1.
int run(const QString &program, const QStringList &args, QByteArray *out = nullptr,
        int timeout_ms = 30000, const QProcessEnvironment &env = QProcessEnvironment())
{
    QProcess p;
    if (!env.isEmpty())
        p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForStarted(5000))
        return -1;
    p.closeWriteChannel();
    if (!p.waitForFinished(timeout_ms)) {
        p.kill();
        p.waitForFinished(2000);
        return -1;
    }
    if (out)
        *out = p.readAll();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

// Runs an INN program as the news user.
int run_as_news(const QString &program, const QStringList &args, QByteArray *out = nullptr)
{
    return run(QStringLiteral("/usr/sbin/runuser"),
               QStringList{QStringLiteral("-u"), QStringLiteral("news"), QStringLiteral("--"), program}
                   + args,
               out);
}

// True when `pid` is a live process named `comm` (a stale PID file must not
// lead us to some other process).
bool alive(qint64 pid, const char *comm)
{
    if (pid <= 0 || ::kill(pid_t(pid), 0) != 0)
        return false;
    QFile f(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!f.open(QIODevice::ReadOnly) || f.readAll().trimmed() != comm)
        return false;
    // An exited daemon may wait as a zombie until its parent reaps it.
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray st = stat.readAll();
    const qsizetype paren = st.lastIndexOf(')');
    return paren < 0 || st.mid(paren + 2, 1) != "Z";
}

qint64 pid_from(const QString &file)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    return f.readAll().trimmed().toLongLong();
}

// Ends a process we started: TERM, then KILL when it lingers.
void stop_pid(qint64 pid, const char *comm)
{
    if (!alive(pid, comm))
        return;
    ::kill(pid_t(pid), SIGTERM);
    for (int i = 0; i < 100 && alive(pid, comm); ++i)
        QThread::msleep(30);
    if (alive(pid, comm))
        ::kill(pid_t(pid), SIGKILL);
}

quint16 free_port()
{
    QTcpServer s;
    if (!s.listen(QHostAddress::LocalHost, 0))
        return 0;
    return s.serverPort();
}

QString path_run()
{
    QByteArray out;
    if (run(bin("innconfval"), {QStringLiteral("pathrun")}, &out) == 0 && !out.trimmed().isEmpty())
        return QString::fromLocal8Bit(out.trimmed());
    return QStringLiteral("/run/news");
}

bool chown_news(const QString &path)
{
    const struct passwd *pw = ::getpwnam("news");
    if (!pw)
        return false;
    return ::chown(QFile::encodeName(path).constData(), pw->pw_uid, pw->pw_gid) == 0;
}

bool write_file(const QString &path, const QByteArray &data)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(data) == data.size();
}

// A blocking line reader for the fixture's own NNTP conversations (posting,
// checks). Only the fixture blocks; the client under test never does.
class LineSocket {
public:
    bool open(quint16 port, QString *greeting)
    {
        s_.connectToHost(QHostAddress::LocalHost, port);
        if (!s_.waitForConnected(5000))
            return false;
        const QByteArray g = line();
        if (greeting)
            *greeting = QString::fromUtf8(g);
        return g.startsWith("200") || g.startsWith("201");
    }
    QByteArray line(int ms = 20000)
    {
        QDeadlineTimer deadline(ms);
        while (!s_.canReadLine()) {
            if (s_.state() != QAbstractSocket::ConnectedState || deadline.hasExpired())
                return {};
            s_.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        }
        QByteArray l = s_.readLine();
        while (l.endsWith('\n') || l.endsWith('\r'))
            l.chop(1);
        return l;
    }
    QByteArray command(const QByteArray &c)
    {
        send(c + "\r\n");
        return line();
    }
    bool send(const QByteArray &bytes)
    {
        s_.write(bytes);
        while (s_.bytesToWrite() > 0) {
            if (!s_.waitForBytesWritten(20000))
                return false;
        }
        return true;
    }
    ~LineSocket()
    {
        if (s_.state() == QAbstractSocket::ConnectedState) {
            s_.write("QUIT\r\n");
            s_.waitForBytesWritten(1000);
            s_.disconnectFromHost();
        }
    }

private:
    QTcpSocket s_;
};

QByteArray dot_stuffed(const QByteArray &body)
{
    QByteArray out;
    out.reserve(body.size() + body.size() / 40 + 8);
    QList<QByteArray> lines = body.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    for (QByteArray l : lines) {
        if (l.endsWith('\r'))
            l.chop(1);
        if (l.startsWith('.'))
            out += '.';
        out += l;
        out += "\r\n";
    }
    return out;
}

bool header_safe(const QString &s)
{
    return !s.contains(QLatin1Char('\r')) && !s.contains(QLatin1Char('\n'));
}

void teardown_at_exit()
{
    Inn2Server::instance().shutdown();
}

} // namespace

Inn2Server &Inn2Server::instance()
{
    static Inn2Server server;
    return server;
}

Inn2Server::Inn2Server()
{
    available_ = start();
    if (!available_)
        shutdown();
    else if (QCoreApplication::instance())
        qAddPostRoutine(teardown_at_exit);
}

Inn2Server::~Inn2Server()
{
    shutdown();
}

bool Inn2Server::fail(const QString &why)
{
    error_ = why;
    return false;
}

QString Inn2Server::setting() const
{
    return host() + QLatin1Char(':') + QString::number(port_);
}

QString Inn2Server::auth_setting() const
{
    return host() + QLatin1Char(':') + QString::number(auth_port_);
}

QString Inn2Server::tls_setting(const QString &h) const
{
    return QStringLiteral("nntps://") + h + QLatin1Char(':') + QString::number(tls_port_);
}

bool Inn2Server::start()
{
    for (const char *p : {"innd", "nnrpd", "ctlinnd", "rc.news", "innconfval"}) {
        if (!QFile::exists(bin(p)))
            return fail(QStringLiteral("INN2 is not installed (run tests/support/inn2-setup.sh)"));
    }
    if (::geteuid() != 0)
        return fail(QStringLiteral("the INN2 fixture must run as root"));
    if (!QFile::exists(QStringLiteral("/usr/sbin/runuser")))
        return fail(QStringLiteral("runuser is missing"));

    QDir().mkpath(shared_dir + QStringLiteral("/users"));
    {
        QLockFile lock(shared_dir + QStringLiteral("/lock"));
        lock.setStaleLockTime(60000);
        if (!lock.tryLock(60000))
            return fail(QStringLiteral("cannot lock %1/lock").arg(shared_dir));
        if (!start_innd())
            return false;
        write_file(shared_dir + QStringLiteral("/users/") + QString::number(::getpid()), "");
    }
    if (!make_files())
        return false;

    port_ = free_port();
    auth_port_ = free_port();
    tls_port_ = free_port();
    if (!port_ || !auth_port_ || !tls_port_)
        return fail(QStringLiteral("no free loopback port"));
    const qint64 plain = start_nnrpd(port_, {}, {});
    const qint64 auth = start_nnrpd(auth_port_, {QStringLiteral("-c"), dir_ + QStringLiteral("/readers-auth.conf")}, {});
    const qint64 tls = start_nnrpd(tls_port_, {QStringLiteral("-S")}, dir_ + QStringLiteral("/inn.conf"));
    if (!plain || !auth || !tls)
        return false;
    if (!wait_for_greeting(port_, false, 10000) || !wait_for_greeting(auth_port_, false, 10000)
        || !wait_for_greeting(tls_port_, true, 10000))
        return fail(QStringLiteral("the nnrpd daemons did not answer: ") + error_);
    return true;
}

bool Inn2Server::start_innd()
{
    QFile conf(inn_conf);
    if (!conf.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read %1").arg(inn_conf));
    const QString text = QString::fromLocal8Bit(conf.readAll());
    const bool configured = text.contains(QRegularExpression(QStringLiteral("(?m)^bindaddress:\\s*127\\.0\\.0\\.1\\s*$")))
        && text.contains(QRegularExpression(QStringLiteral("(?m)^port:\\s*11120\\s*$")))
        && text.contains(QRegularExpression(QStringLiteral("(?m)^maxartsize:\\s*20000000\\s*$")));
    if (!configured) {
        QByteArray out;
        const QString script = QStringLiteral(BRIVANE_SOURCE_DIR "/tests/support/inn2-setup.sh");
        if (run(QStringLiteral("/bin/bash"), {script, QStringLiteral("--configure")}, &out) != 0)
            return fail(QStringLiteral("inn2-setup.sh --configure failed: ") + QString::fromLocal8Bit(out));
    }

    const QString rundir = path_run();
    if (alive(pid_from(rundir + QStringLiteral("/innd.pid")), "innd"))
        return true;  // someone else's (or an earlier run's) innd: use it, leave it

    QDir().mkpath(rundir);
    chown_news(rundir);
    QProcess rc;
    rc.setStandardOutputFile(QProcess::nullDevice());
    rc.setStandardErrorFile(QProcess::nullDevice());
    rc.start(QStringLiteral("/usr/sbin/runuser"),
             {QStringLiteral("-u"), QStringLiteral("news"), QStringLiteral("--"), bin("rc.news")});
    if (!rc.waitForFinished(60000))
        return fail(QStringLiteral("rc.news did not finish"));

    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        if (alive(pid_from(rundir + QStringLiteral("/innd.pid")), "innd")
            && run_as_news(bin("ctlinnd"), {QStringLiteral("-s"), QStringLiteral("mode")}) == 0) {
            write_file(shared_dir + QStringLiteral("/innd-started"),
                       QByteArray::number(pid_from(rundir + QStringLiteral("/innd.pid"))));
            return true;
        }
        QThread::msleep(100);
    }
    return fail(QStringLiteral("innd did not start"));
}

bool Inn2Server::make_files()
{
    dir_ = QStringLiteral("/tmp/brivane-inn2-%1-%2").arg(::getpid()).arg(random_text(6));
    if (!QDir().mkpath(dir_))
        return fail(QStringLiteral("cannot create %1").arg(dir_));
    QFile::setPermissions(dir_, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    // The tests' own certificate (CN localhost, SAN DNS:localhost and
    // IP:127.0.0.1), copied so the key can be the owner's alone.
    const QString cert = dir_ + QStringLiteral("/cert.pem");
    const QString key = dir_ + QStringLiteral("/key.pem");
    const QString tls = QStringLiteral(BRIVANE_SOURCE_DIR "/tests/support/tls/");
    if (!QFile::copy(tls + QStringLiteral("localhost-cert.pem"), cert)
        || !QFile::copy(tls + QStringLiteral("localhost-key.pem"), key))
        return fail(QStringLiteral("cannot copy the test certificate into %1").arg(dir_));
    QFile::setPermissions(key, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    ca_file_ = cert;

    // A copy of inn.conf naming the certificate, for the TLS daemon only.
    QFile conf(inn_conf);
    if (!conf.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read %1").arg(inn_conf));
    QByteArray copy;
    for (const QByteArray &line : conf.readAll().split('\n')) {
        if (!line.startsWith("tlscertfile:") && !line.startsWith("tlskeyfile:"))
            copy += line + '\n';
    }
    copy += "tlscertfile: " + QFile::encodeName(cert) + "\ntlskeyfile: " + QFile::encodeName(key) + '\n';
    if (!write_file(dir_ + QStringLiteral("/inn.conf"), copy))
        return fail(QStringLiteral("cannot write the inn.conf copy"));

    // The readers file of the daemon that wants a login.
    QByteArray out;
    if (run(QStringLiteral("openssl"), {QStringLiteral("passwd"), QStringLiteral("-6"), password()}, &out) != 0)
        return fail(QStringLiteral("openssl passwd failed"));
    const QString passwd = dir_ + QStringLiteral("/nntp.passwd");
    if (!write_file(passwd, user().toUtf8() + ':' + out.trimmed() + '\n'))
        return fail(QStringLiteral("cannot write %1").arg(passwd));
    const QByteArray readers = "auth \"test\" {\n    hosts: \"*\"\n    auth: \"ckpasswd -f "
        + QFile::encodeName(passwd) + "\"\n}\naccess \"test\" {\n    users: \"" + user().toUtf8()
        + "\"\n    newsgroups: \"*\"\n    access: RPA\n}\n";
    if (!write_file(dir_ + QStringLiteral("/readers-auth.conf"), readers))
        return fail(QStringLiteral("cannot write readers-auth.conf"));

    for (const QString &f : {dir_, cert, key, passwd, dir_ + QStringLiteral("/inn.conf"),
                             dir_ + QStringLiteral("/readers-auth.conf")}) {
        if (!chown_news(f))
            return fail(QStringLiteral("cannot give %1 to news").arg(f));
    }
    return true;
}

qint64 Inn2Server::start_nnrpd(quint16 port, const QStringList &extra, const QString &innconf)
{
    QProcess p;
    p.setProgram(bin("nnrpd"));
    p.setArguments(QStringList{QStringLiteral("-D"), QStringLiteral("-f"), QStringLiteral("-b"),
                               QStringLiteral("127.0.0.1"), QStringLiteral("-p"), QString::number(port)}
                   + extra);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!innconf.isEmpty())
        env.insert(QStringLiteral("INNCONF"), innconf);
    p.setProcessEnvironment(env);
    p.setStandardInputFile(QProcess::nullDevice());
    p.setStandardOutputFile(dir_ + QStringLiteral("/nnrpd-%1.log").arg(port));
    p.setStandardErrorFile(dir_ + QStringLiteral("/nnrpd-%1.log").arg(port));
    qint64 pid = 0;
    if (!p.startDetached(&pid) || pid <= 0) {
        fail(QStringLiteral("cannot start nnrpd on port %1").arg(port));
        return 0;
    }
    nnrpd_pids_ << pid;
    return pid;
}

bool Inn2Server::wait_for_greeting(quint16 port, bool tls, int ms)
{
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        if (tls) {
            QSslSocket s;
            s.setPeerVerifyMode(QSslSocket::VerifyNone);
            s.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
            if (s.waitForEncrypted(2000) && (s.canReadLine() || s.waitForReadyRead(2000))
                && s.readLine().startsWith("200")) {
                s.write("QUIT\r\n");
                s.waitForBytesWritten(500);
                return true;
            }
        } else {
            LineSocket s;
            if (s.open(port, nullptr))
                return true;
        }
        QThread::msleep(50);
    }
    error_ = QStringLiteral("no greeting on port %1 (see %2)").arg(port).arg(dir_ + QStringLiteral("/nnrpd-%1.log").arg(port));
    return false;
}

QString Inn2Server::new_group(const QString &prefix)
{
    static const QRegularExpression valid(QStringLiteral("^[a-z0-9][a-z0-9.+_-]*$"));
    if (!valid.match(prefix).hasMatch()) {
        error_ = QStringLiteral("invalid group prefix: %1").arg(prefix);
        return {};
    }
    const QString name = prefix + QLatin1Char('.') + random_text(10);
    QByteArray out;
    if (run_as_news(bin("ctlinnd"), {QStringLiteral("newgroup"), name, QStringLiteral("y")}, &out) != 0) {
        error_ = QStringLiteral("ctlinnd newgroup failed: ") + QString::fromLocal8Bit(out);
        return {};
    }
    return name;
}

QString Inn2Server::post(const QStringList &groups, const QString &subject, const QString &from,
                         const QByteArray &body, const HeaderList &extra_headers)
{
    NewsArticle a;
    a.groups = groups;
    a.subject = subject;
    a.from = from;
    a.body = body;
    a.headers = extra_headers;
    const QStringList ids = post_all({a});
    return ids.value(0);
}

QStringList Inn2Server::post_all(const QList<NewsArticle> &articles)
{
    LineSocket s;
    QString greeting;
    if (!s.open(port_, &greeting)) {
        error_ = QStringLiteral("cannot reach nnrpd to post: ") + greeting;
        return {};
    }
    QStringList ids;
    for (const NewsArticle &a : articles) {
        if (a.groups.isEmpty() || !header_safe(a.subject) || !header_safe(a.from)
            || !header_safe(a.message_id)) {
            error_ = QStringLiteral("an article needs groups and one-line headers");
            return {};
        }
        const QString id = a.message_id.isEmpty()
            ? QStringLiteral("<%1.%2@brivane.test>").arg(random_text(12)).arg(::getpid())
            : a.message_id;
        QByteArray text = "From: " + a.from.toUtf8() + "\r\nNewsgroups: " + a.groups.join(QLatin1Char(',')).toUtf8()
            + "\r\nSubject: " + a.subject.toUtf8() + "\r\nMessage-ID: " + id.toUtf8() + "\r\n";
        for (const auto &h : a.headers)
            text += h.first + ": " + h.second + "\r\n";
        text += "\r\n" + dot_stuffed(a.body) + ".\r\n";

        const QByteArray go = s.command("POST");
        if (!go.startsWith("340")) {
            error_ = QStringLiteral("POST refused: ") + QString::fromUtf8(go);
            return {};
        }
        if (!s.send(text)) {
            error_ = QStringLiteral("posting broke off");
            return {};
        }
        const QByteArray done = s.line();
        if (!done.startsWith("240")) {
            error_ = QStringLiteral("article refused: ") + QString::fromUtf8(done);
            return {};
        }
        ids << id;
    }
    return ids;
}

bool Inn2Server::cancel(const QString &message_id)
{
    static const QRegularExpression valid(QStringLiteral("^<[^<>\\s]+>$"));
    if (!valid.match(message_id).hasMatch()) {
        error_ = QStringLiteral("invalid Message-ID: %1").arg(message_id);
        return false;
    }
    QByteArray out;
    if (run_as_news(bin("ctlinnd"), {QStringLiteral("cancel"), message_id}, &out) != 0) {
        error_ = QStringLiteral("ctlinnd cancel failed: ") + QString::fromLocal8Bit(out);
        return false;
    }
    return true;
}

bool Inn2Server::group_range(const QString &group, qint64 *count, qint64 *low, qint64 *high)
{
    LineSocket s;
    if (!s.open(port_, nullptr))
        return false;
    const QList<QByteArray> f = s.command("GROUP " + group.toUtf8()).split(' ');
    if (f.size() < 4 || f.at(0) != "211")
        return false;
    if (count)
        *count = f.at(1).toLongLong();
    if (low)
        *low = f.at(2).toLongLong();
    if (high)
        *high = f.at(3).toLongLong();
    return true;
}

void Inn2Server::shutdown()
{
    if (shut_down_)
        return;
    shut_down_ = true;
    for (qint64 pid : std::as_const(nnrpd_pids_))
        stop_pid(pid, "nnrpd");
    nnrpd_pids_.clear();
    if (port_ || auth_port_ || tls_port_) {
        const QString rundir = path_run();
        for (quint16 p : {port_, auth_port_, tls_port_})
            QFile::remove(rundir + QStringLiteral("/nnrpd-%1.pid").arg(p));
    }
    if (!dir_.isEmpty())
        QDir(dir_).removeRecursively();

    if (!QDir(shared_dir).exists())
        return;
    QLockFile lock(shared_dir + QStringLiteral("/lock"));
    lock.setStaleLockTime(60000);
    if (!lock.tryLock(30000))
        return;
    QDir users(shared_dir + QStringLiteral("/users"));
    QFile::remove(users.filePath(QString::number(::getpid())));
    bool others = false;
    for (const QString &name : users.entryList(QDir::Files)) {
        const qint64 pid = name.toLongLong();
        if (pid > 0 && ::kill(pid_t(pid), 0) == 0)
            others = true;
        else
            QFile::remove(users.filePath(name));  // a test process that died
    }
    const QString marker = shared_dir + QStringLiteral("/innd-started");
    if (others || !QFile::exists(marker))
        return;

    // The innd this fixture started, and its watcher, go by their PIDs.
    const QString rundir = path_run();
    const qint64 innd = pid_from(rundir + QStringLiteral("/innd.pid"));
    if (pid_from(marker) == innd && alive(innd, "innd")) {
        stop_pid(pid_from(rundir + QStringLiteral("/innwatch.pid")), "innwatch");
        run_as_news(bin("ctlinnd"), {QStringLiteral("-s"), QStringLiteral("shutdown"), QStringLiteral("tests done")});
        for (int i = 0; i < 200 && alive(innd, "innd"); ++i)
            QThread::msleep(50);
        if (alive(innd, "innd"))
            stop_pid(innd, "innd");
    }
    QFile::remove(marker);
}

} // namespace brivane::test
