// brivane: the desktop program.
#include "shell/desktop.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool set(const char *name)
{
    const char *v = std::getenv(name);
    return v && *v;
}

// Without a display Qt aborts with a plugin message (and a core dump) that
// says nothing of the cause; a session over ssh or a cron line meets it first.
bool display_reachable(int argc, char **argv)
{
    if (set("QT_QPA_PLATFORM") || set("DISPLAY") || set("WAYLAND_DISPLAY"))
        return true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    if (!display_reachable(argc, argv)) {
        std::fputs("brivane: no display to open the window on (DISPLAY and WAYLAND_DISPLAY are not set).\n"
                   "For runs without one, use brivane-cli.\n",
                   stderr);
        return 1;
    }
    QApplication qapp(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Brivane"));
    return brivane::run_desktop(qapp);
}
