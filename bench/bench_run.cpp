// Speed of a whole download run on a loopback INN2: a group of N headers of
// which M are single-article pictures of about K kilobytes, fetched by the
// run (headers, filters, pointer after every header, fetch, repair, decode,
// filing, log, duplicate rows) and, as the yardstick, by a minimal raw NNTP
// client over one connection that only reads the same overview and articles
// (and once more saving each article to a file of its own). Prints headers/s,
// MB/s, peak memory and the ratios. Not a test.
//   bench_run [--headers N] [--pictures M] [--kb K] [--group NAME] [--keep] [--rounds R] [--window] [--run-only]
// With --group the articles of an earlier call (--keep prints its name) are
// used again instead of posting new ones (with the same --headers, --pictures
// and --kb: the pictures saved are checked). --window runs it through the main
// window, preview on.
#include "app/app.h"
#include "run/run.h"
#include "session/session.h"
#include "shell/frontend.h"
#include "shell/mainwindow.h"
#include "shell/settings.h"
#include "support/inn2.h"
#include "support/testsupport.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <type_traits>

using namespace brivane;
using namespace brivane::test;

namespace {

// A front end that counts the status lines and keeps the last: quiet on a
// bare Frontend, drawn as well on the main window.
template <class Base>
class Counting : public Base {
public:
    void message(const QString &text) override
    {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
    }
    qint64 lines = 0;
    QString last;

protected:
    void show_status(const QString &line) override
    {
        ++lines;
        last = line;
        if constexpr (std::is_same_v<Base, MainWindow>)
            Base::show_status(line);
    }
};
using CountingFrontend = Counting<Frontend>;
using CountingWindow = Counting<MainWindow>;

// Peak resident memory since the last reset, in kilobytes.
qint64 vm_hwm_kb()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

qint64 vm_rss_kb()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Processor time (user + system) of this process so far, in seconds.
double cpu_seconds()
{
    rusage u = {};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Gives freed memory back and starts a new peak (Linux: "5" to clear_refs).
void reset_peak()
{
    malloc_trim(0);
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    if (f.open(QIODevice::WriteOnly))
        f.write("5");
}

// The yardstick: one blocking connection, GROUP, the same XOVER ranges,
// ARTICLE for each picture, reading each reply to its end and nothing more.
class RawClient {
public:
    ~RawClient()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool open(quint16 port)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
            return false;
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return status().startsWith('2') && command("MODE READER").startsWith('2');
    }
    QByteArray command(const QByteArray &c)
    {
        const QByteArray line = c + "\r\n";
        if (::write(fd_, line.constData(), size_t(line.size())) != line.size())
            return {};
        return status();
    }
    // Reads a multi-line block to its ".", counting lines; returns false on failure.
    bool block(qint64 *lines, QList<QByteArray> *keep = nullptr)
    {
        while (true) {
            const QByteArray l = next_line();
            if (l.isNull())
                return false;
            if (l == ".")
                return true;
            ++*lines;
            if (keep)
                keep->append(l);
        }
    }
    qint64 bytes = 0;

private:
    QByteArray status() { return next_line(); }
    QByteArray next_line()
    {
        while (true) {
            const char *p = static_cast<const char *>(std::memchr(buf_.constData() + pos_, '\n', size_t(buf_.size() - pos_)));
            if (p) {
                const qsizetype end = p - buf_.constData();
                QByteArray line = buf_.mid(pos_, end - pos_);
                pos_ = end + 1;
                if (line.endsWith('\r'))
                    line.chop(1);
                return line.isNull() ? QByteArray("") : line;
            }
            buf_.remove(0, pos_);
            pos_ = 0;
            char chunk[1 << 16];
            const ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n <= 0)
                return QByteArray();
            bytes += n;
            buf_.append(chunk, n);
        }
    }
    int fd_ = -1;
    QByteArray buf_;
    qsizetype pos_ = 0;
};

struct RawResult {
    double seconds = 0, cpu = 0;
    qint64 bytes = 0, lines = 0, peak = 0;
};

// GROUP, the run's XOVER ranges, ARTICLE for each picture over one
// connection. With `save_dir` each article is also written to a new file
// there: the least disk work any downloader does.
bool raw_fetch(quint16 port, const QString &group, qint64 low, qint64 high, const QString &save_dir,
               RawResult *r)
{
    reset_peak();
    r->cpu = cpu_seconds();
    QElapsedTimer clock;
    clock.start();
    RawClient raw;
    if (!raw.open(port) || !raw.command("GROUP " + group.toUtf8()).startsWith("211"))
        return false;
    QList<qint64> wanted;
    for (qint64 first = low; first <= high; first += Run::default_chunk) {
        const qint64 last = qMin(high, first + Run::default_chunk - 1);
        if (!raw.command("XOVER " + QByteArray::number(first) + '-' + QByteArray::number(last)).startsWith("224"))
            return false;
        QList<QByteArray> lines;
        if (!raw.block(&r->lines, &lines))
            return false;
        for (const QByteArray &l : lines) {
            const QList<QByteArray> f = l.split('\t');
            if (f.size() > 1 && f.at(1).contains(".jpg"))
                wanted << f.at(0).toLongLong();
        }
    }
    for (qint64 n : wanted) {
        if (!raw.command("ARTICLE " + QByteArray::number(n)).startsWith("220"))
            return false;
        if (save_dir.isEmpty()) {
            if (!raw.block(&r->lines))
                return false;
            continue;
        }
        QList<QByteArray> lines;
        if (!raw.block(&r->lines, &lines))
            return false;
        QFile f(save_dir + QStringLiteral("/") + QString::number(n));
        if (!f.open(QIODevice::WriteOnly) || f.write(lines.join("\r\n")) < 0)
            return false;
    }
    raw.command("QUIT");
    r->seconds = clock.nsecsElapsed() / 1e9;
    r->cpu = cpu_seconds() - r->cpu;
    r->bytes = raw.bytes;
    r->peak = vm_hwm_kb();
    return true;
}

// The next picture posted: random bytes behind a JPEG's first marker.
QByteArray bench_picture(QRandomGenerator &rng, int kb)
{
    QByteArray data(kb * 1024, Qt::Uninitialized);
    rng.fillRange(reinterpret_cast<quint32 *>(data.data()), data.size() / 4);
    data[0] = char(0xff), data[1] = char(0xd8), data[2] = char(0xff), data[3] = char(0xe0);
    return data;
}
constexpr quint32 picture_seed = 4711;

struct RunResult {
    double seconds = 0, cpu = 0;
    qint64 examined = 0, pictures = 0, files = 0, lines = 0, bytes = 0, peak = 0, rss_before = 0;
};

// One whole run over the group, in a program home of its own.
bool measure_run(Inn2Server &inn, const QString &group, qint64 low, bool window, int pictures, int kb,
                 RunResult *out)
{
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/brivane-bench-XXXXXX"));
    const QString dl = home.filePath(QStringLiteral("pictures"));
    QDir().mkpath(dl);
    {
        Settings s(home.filePath(QStringLiteral("Brivane.ini")));
        s.news_server = inn.setting();
        s.dlpath = dl;
        s.checkdupes = true;
        s.xposts = 3;
        s.min_lines = 1;
        s.max_lines = 30000;
        s.preview = window;
        for (const char *k : {"news_server", "dlpath", "checkdupes", "xposts", "min_lines", "max_lines", "preview"})
            s.save(QLatin1String(k));
        const QString db_file = home.filePath(QStringLiteral("brivane.mdb"));
        Database::create_database(db_file);
        Database db;
        db.open(db_file);
        db.exec(QStringLiteral("insert into groups (name, last_msg, server) values (?, ?, ?)"),
                {group, low - 1, inn.setting()});
        db.exec(QStringLiteral("insert into masks (mask) values ('jpg')"));
        db.exec(QStringLiteral("insert into masks (mask) values ('gif')"));
    }

    CountingFrontend quiet;
    std::unique_ptr<CountingWindow> shown;
    if (window) {
        shown = std::make_unique<CountingWindow>();
        shown->show();
    }
    Frontend &ui = window ? static_cast<Frontend &>(*shown) : quiet;
    App brivane(Paths(home.path()), ui);
    if (!brivane.start() || !brivane.load())
        return false;
    Commands commands(brivane);
    reset_peak();
    out->rss_before = vm_rss_kb();
    const double cpu = cpu_seconds();
    QElapsedTimer clock;
    clock.start();
    Run run(brivane.settings(), brivane.db(), commands.session(), ui, brivane.paths(), brivane.shared());
    const Outcome o = run.btnProc_Click();
    if (shown)
        shown->show_pending();
    out->seconds = clock.nsecsElapsed() / 1e9;
    out->cpu = cpu_seconds() - cpu;
    out->peak = vm_hwm_kb();
    out->examined = run.counters().articles_count;
    out->pictures = run.counters().files_this_count;
    out->bytes = commands.session().total_bytes;
    out->lines = window ? shown->lines : quiet.lines;
    out->files = QDir(dl).entryList(QDir::Files).size();
    if (o != Outcome::Done) {
        std::fprintf(stderr, "bench_run: the run did not finish (last line: %s)\n",
                     qPrintable(window ? shown->last : quiet.last));
        return false;
    }
    // Speed is worth nothing without the right bytes (after the clock).
    QRandomGenerator rng(picture_seed);
    for (int k = 1; k <= pictures; ++k) {
        QFile f(dl + QStringLiteral("/bench%1.jpg").arg(k));
        if (!f.open(QIODevice::ReadOnly) || f.readAll() != bench_picture(rng, kb)) {
            std::fprintf(stderr, "bench_run: %s is missing or wrong (a --group must have been posted "
                                 "with the same --pictures and --kb)\n",
                         qPrintable(f.fileName()));
            return false;
        }
    }
    return true;
}

int usage()
{
    std::fputs("usage: bench_run [--headers N] [--pictures M] [--kb K] [--group NAME] [--keep] [--rounds R] [--window] [--run-only]\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    // --window runs through the main window, with the preview on; without a
    // display it is drawn offscreen.
    const bool window = std::any_of(argv + 1, argv + argc, [](const char *a) { return std::strcmp(a, "--window") == 0; });
    if (window && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    std::unique_ptr<QCoreApplication> qapp = window ? std::make_unique<QApplication>(argc, argv)
                                                    : std::make_unique<QCoreApplication>(argc, argv);
    QCoreApplication &app = *qapp;
    int headers = 10000, pictures = 1000, kb = 100;
    QString group;
    bool keep = false, run_only = false;
    int rounds = 3;
    const QStringList args = app.arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args[i];
        auto value = [&]() { return i + 1 < args.size() ? args[++i] : QString(); };
        if (a == QLatin1String("--headers")) headers = value().toInt();
        else if (a == QLatin1String("--pictures")) pictures = value().toInt();
        else if (a == QLatin1String("--kb")) kb = value().toInt();
        else if (a == QLatin1String("--group")) group = value();
        else if (a == QLatin1String("--keep")) keep = true;
        else if (a == QLatin1String("--run-only")) run_only = true;
        else if (a == QLatin1String("--rounds")) rounds = value().toInt();
        else if (a == QLatin1String("--window")) continue;
        else return usage();
    }
    if (headers <= 0 || pictures < 0 || pictures > headers || kb <= 0 || rounds <= 0)
        return usage();

    Inn2Server &inn = Inn2Server::instance();
    if (!inn.available()) {
        std::fprintf(stderr, "bench_run: INN2 unavailable: %s\n", qPrintable(inn.error()));
        return 1;
    }

    // Articles: every (headers/pictures)-th one a picture, the rest plain text.
    QElapsedTimer clock;
    if (group.isEmpty()) {
        group = inn.new_group(QStringLiteral("alt.binaries.brivane.bench"));
        if (group.isEmpty()) {
            std::fprintf(stderr, "bench_run: %s\n", qPrintable(inn.error()));
            return 1;
        }
        clock.start();
        const int every = pictures > 0 ? headers / pictures : headers + 1;
        int made = 0;
        QList<NewsArticle> batch;
        QRandomGenerator rng(picture_seed);
        for (int i = 1; i <= headers; ++i) {
            NewsArticle a;
            a.groups = {group};
            if (made < pictures && i % every == 0) {
                ++made;
                const QByteArray data = bench_picture(rng, kb);
                const QByteArray name = "bench" + QByteArray::number(made) + ".jpg";
                a.subject = QString::fromLatin1(name) + QStringLiteral(" (1/1)");
                a.body = "A picture.\r\n\r\n" + uuencode_block(data, QString::fromLatin1(name));
            } else {
                a.subject = QStringLiteral("Discussion thread %1").arg(i);
                a.body = "Just some words in a text article.\r\nAnd a second line.\r\n";
            }
            batch << a;
            if (batch.size() == 200 || i == headers) {
                if (inn.post_all(batch).size() != batch.size()) {
                    std::fprintf(stderr, "bench_run: posting failed: %s\n", qPrintable(inn.error()));
                    return 1;
                }
                batch.clear();
            }
        }
        std::printf("posted %d articles (%d pictures of %d KB) to %s in %.1f s\n", headers, made, kb,
                    qPrintable(group), clock.elapsed() / 1000.0);
    }
    qint64 count = 0, low = 0, high = 0;
    if (!inn.group_range(group, &count, &low, &high) || count <= 0) {
        std::fprintf(stderr, "bench_run: group %s is empty\n", qPrintable(group));
        return 1;
    }

    // Each round: the run in a fresh program home, then both raw clients.
    // This machine's timings wander, so the rounds are interleaved and the
    // best and the median of each are given.
    QList<double> run_times, run_cpus, raw_times, raw_cpus, save_times, ratios, save_ratios;
    for (int round = 1; round <= rounds; ++round) {
        RunResult r;
        if (!measure_run(inn, group, low, window, pictures, kb, &r))
            return 1;
        if (run_only) {
            std::printf("round %d: run %.3f s (cpu %.3f)\n", round, r.seconds, r.cpu);
            continue;
        }
        RawResult raw, saving;
        QTemporaryDir raw_dir(QDir::tempPath() + QStringLiteral("/brivane-bench-raw-XXXXXX"));
        if (!raw_fetch(inn.port(), group, low, high, QString(), &raw)
            || !raw_fetch(inn.port(), group, low, high, raw_dir.path(), &saving)) {
            std::fprintf(stderr, "bench_run: the raw client failed\n");
            return 1;
        }
        std::printf("round %d: run %.3f s (cpu %.3f), raw %.3f s (cpu %.3f), raw+save %.3f s, "
                    "run/raw %.2f\n",
                    round, r.seconds, r.cpu, raw.seconds, raw.cpu, saving.seconds, r.seconds / raw.seconds);
        if (round == 1) {
            std::printf("run:  %lld headers, %lld pictures saved (%lld files), %lld status lines\n",
                        static_cast<long long>(r.examined), static_cast<long long>(r.pictures),
                        static_cast<long long>(r.files), static_cast<long long>(r.lines));
            std::printf("run:  %.0f headers/s, %.1f MB/s received (%.1f MB), peak RSS %lld KB (%lld KB at start)\n",
                        r.examined / r.seconds, r.bytes / 1e6 / r.seconds, r.bytes / 1e6,
                        static_cast<long long>(r.peak), static_cast<long long>(r.rss_before));
            std::printf("raw:  %.0f headers/s, %.1f MB/s received (%.1f MB), peak RSS %lld KB\n",
                        r.examined / raw.seconds, raw.bytes / 1e6 / raw.seconds, raw.bytes / 1e6,
                        static_cast<long long>(raw.peak));
        }
        run_times << r.seconds;
        run_cpus << r.cpu;
        raw_times << raw.seconds;
        raw_cpus << raw.cpu;
        save_times << saving.seconds;
        ratios << r.seconds / raw.seconds;
        save_ratios << r.seconds / saving.seconds;
    }
    if (run_only)
        return 0;
    auto best = [](QList<double> v) { return *std::min_element(v.cbegin(), v.cend()); };
    auto median = [](QList<double> v) {
        std::sort(v.begin(), v.end());
        return v.size() % 2 ? v.at(v.size() / 2) : (v.at(v.size() / 2 - 1) + v.at(v.size() / 2)) / 2;
    };
    std::printf("best:   run %.3f s, raw %.3f s, raw+save %.3f s; cpu run %.3f s, raw %.3f s\n",
                best(run_times), best(raw_times), best(save_times), best(run_cpus), best(raw_cpus));
    std::printf("median: run %.3f s, raw %.3f s, raw+save %.3f s; cpu run %.3f s, raw %.3f s\n",
                median(run_times), median(raw_times), median(save_times), median(run_cpus),
                median(raw_cpus));
    std::printf("ratio run/raw: best times %.2f, median of rounds %.2f\n",
                best(run_times) / best(raw_times), median(ratios));
    std::printf("ratio run/raw+save: best times %.2f, median of rounds %.2f\n",
                best(run_times) / best(save_times), median(save_ratios));
    if (keep)
        std::printf("group kept: %s\n", qPrintable(group));
    return 0;
}
