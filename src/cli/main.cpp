// brivane-cli: the program without windows, for cron jobs and timers.
// Exit codes: 0 done, 1 a message stopped the command, 2 usage error,
// 3 the command ended early: the server could not be reached or the
// connection was lost, it was stopped (SIGINT, SIGTERM, SIGHUP), or an error
// came after the first stored pointer (a full disk...; the last status
// lines say which).
#include "app/app.h"
#include "clifrontend.h"
#include "shell/commandline.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

int signal_pipe[2] = {-1, -1};

void on_signal(int)
{
    const int saved = errno;
    const char c = 1;
    [[maybe_unused]] ssize_t n = ::write(signal_pipe[1], &c, 1);
    errno = saved;
}

// Reads what the handler wrote; true when a signal came.
bool drain_signals()
{
    bool any = false;
    char buf[16];
    while (::read(signal_pipe[0], buf, sizeof buf) > 0)
        any = true;
    return any;
}

constexpr const char *usage =
    "usage: brivane-cli [--home DIR] [/log] [COMMAND]\n"
    "  (no command)  start-up and database maintenance only\n"
    "  get-groups    download the active server's group list\n"
    "  run           download new pictures of every subscribed group\n"
    "  catchup       set every subscribed group's pointer to its newest article\n";

bool is_command(const QString &a)
{
    return a == QLatin1String("run") || a == QLatin1String("catchup") || a == QLatin1String("get-groups");
}

bool is_switch(const QString &a)
{
    return a == QLatin1String("/log") || a == QLatin1String("/auto");
}

bool is_word(const QString &a)
{
    return is_command(a) || is_switch(a);
}

int exit_code(brivane::Outcome o)
{
    switch (o) {
    case brivane::Outcome::Done: return 0;
    case brivane::Outcome::Message: return 1;
    case brivane::Outcome::Stopped: return 3;
    }
    return 1;
}

// Started with a standard stream closed (by some daemons and schedulers),
// the first file opened would take its number and get the lines meant for
// it: /dev/null takes each free one first.
void fill_standard_streams()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int null = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    fill_standard_streams();
    QCoreApplication qapp(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Brivane"));
    // A reader that goes away (`| head`) must not kill a run half way: the
    // lines are lost, the command goes on and ends in order.
    std::signal(SIGPIPE, SIG_IGN);

    QString home, command;
    QStringList words;
    const QStringList args = QCoreApplication::arguments().mid(1);
    // Left as it is by cron, systemd and, after "--home=", most shells: a
    // new, empty home in a folder named "~".
    auto tilde = [](const QString &dir) {
        if (!dir.startsWith(QLatin1Char('~')))
            return false;
        std::fprintf(stderr, "brivane-cli: --home %s: \"~\" is not expanded here; write the full path\n",
                     qPrintable(dir));
        std::fputs(usage, stderr);
        return true;
    };
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &a = args[i];
        if (a == QLatin1String("--home")) {
            if (i + 1 >= args.size()) {
                std::fputs(usage, stderr);
                return 2;
            }
            home = args[++i];
            // An unset variable in a script (`--home $DIR run`): not some
            // other home, nor the command taken for one.
            if (home.isEmpty() || is_word(home) || home.startsWith(QLatin1Char('-'))) {
                std::fprintf(stderr, "brivane-cli: --home wants a folder, not \"%s\" (write --home=%s for a folder so named)\n",
                             qPrintable(home), qPrintable(home));
                std::fputs(usage, stderr);
                return 2;
            }
            if (tilde(home))
                return 2;
        } else if (a.startsWith(QLatin1String("--home="))) {
            home = a.mid(7);
            if (home.isEmpty()) {
                std::fputs(usage, stderr);
                return 2;
            }
            if (tilde(home))
                return 2;
        } else if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            std::fputs(usage, stdout);
            return 0;
        } else if (is_switch(a)) {
            words << a;  // the program's own switches (a path, "/lgo": usage errors)
        } else if (command.isEmpty() && is_command(a)) {
            command = a;
        } else {
            std::fprintf(stderr, "brivane-cli: unknown argument: %s\n", qPrintable(a));
            std::fputs(usage, stderr);
            return 2;
        }
    }

    brivane::CliFrontend ui;
    QString error;
    const brivane::Paths paths = brivane::Paths::resolve(home, &error);
    if (paths.home().isEmpty()) {
        ui.message(error);
        return 1;
    }

    // SIGINT, SIGTERM and SIGHUP (a closed terminal, `systemctl stop`) act as
    // the Stop button: the command ends in order, with every finished
    // header's pointer stored. They are caught from here on, so that one
    // coming during start-up maintenance lets it finish before the exit.
    bool stopped = false;
    brivane::Commands *running = nullptr;
    if (::pipe2(signal_pipe, O_NONBLOCK | O_CLOEXEC) == 0) {
        auto *notifier = new QSocketNotifier(signal_pipe[0], QSocketNotifier::Read, &qapp);
        QObject::connect(notifier, &QSocketNotifier::activated, &qapp, [&] {
            drain_signals();
            stopped = true;
            if (running)
                running->stop();
        });
        struct sigaction sa = {};
        sa.sa_handler = on_signal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        sigset_t stops;
        sigemptyset(&stops);
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
            // One ignored by whoever started us stays ignored (`nohup`, a
            // script's `&`): that was asked for.
            struct sigaction was = {};
            if (sigaction(sig, nullptr, &was) == 0 && was.sa_handler == SIG_IGN)
                continue;
            sigaction(sig, &sa, nullptr);
            sigaddset(&stops, sig);
        }
        // Blocked by a parent, a stop would wait for ever; one already
        // pending arrives now.
        sigprocmask(SIG_UNBLOCK, &stops, nullptr);
    }

    brivane::App app(paths, ui);
    if (!app.start())
        return 1;
    app.switches() = brivane::scan_switches(
        brivane::get_command_line(brivane::command_line_text(words)));
    app.delete_log();
    if (!app.load())
        return 1;
    // Start-up runs no event loop: a signal that came meanwhile is in the pipe.
    if (signal_pipe[0] >= 0 && drain_signals())
        stopped = true;
    if (stopped) {
        ui.add_status(QStringLiteral("Stopped during start-up"));
        return 3;
    }
    if (command.isEmpty())
        return 0;
    brivane::Commands commands(app);
    running = &commands;

    brivane::Outcome outcome = brivane::Outcome::Done;
    if (command == QLatin1String("run"))
        outcome = commands.process();
    else if (command == QLatin1String("catchup"))
        outcome = commands.catchup();
    else if (command == QLatin1String("get-groups"))
        outcome = commands.get_groups();
    running = nullptr;
    // A stop the command still finished through (it came while the last
    // group's connection was closing) leaves nothing undone: exit 0.
    if (stopped && outcome != brivane::Outcome::Done)
        outcome = brivane::Outcome::Stopped;
    return exit_code(outcome);
}
