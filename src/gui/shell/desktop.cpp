#include "shell/desktop.h"

#include "app/app.h"
#include "shell/aboutbox.h"
#include "shell/commandline.h"
#include "shell/mainwindow.h"

#include <QApplication>

namespace brivane {

int run_desktop(QApplication &qapp)
{
    MainWindow window;
    QString error;
    const Paths paths = Paths::resolve(QString(), &error);
    if (paths.home().isEmpty()) {
        window.message(error);  // as plain text: the path may hold anything
        return 1;
    }
    App app(paths, window);
    if (!app.start())
        return 1;
    if (app.settings().show_splash)
        AboutBox().exec();
    app.switches() = scan_switches(get_command_line(command_line_text(QApplication::arguments().mid(1))));
    app.delete_log();
    window.start_auto_run_when_shown(app.switches().auto_run);
    window.show();
    // The maintenance's status lines let events through: the window may be
    // closed (or Quit chosen) before the event loop runs, when quitting
    // would not end it.
    const bool loaded = app.load();
    if (!window.isVisible())
        return 0;
    if (!loaded)
        return 1;  // the database cannot be opened: its message was given
    Commands commands(app);
    window.attach(&app, &commands);
    return qapp.exec();
}

} // namespace brivane
