// brivane: the desktop program. Start-up in its fixed order: paths, the two
// early settings and the single-instance lock, database creation, splash,
// command line, the old log deleted, the main window and its load.
#include "app/app.h"
#include "shell/aboutbox.h"
#include "shell/commandline.h"
#include "shell/mainwindow.h"

#include <QApplication>
#include <QMessageBox>

int main(int argc, char **argv)
{
    QApplication qapp(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Brivane"));

    brivane::MainWindow window;
    QString error;
    const brivane::Paths paths = brivane::Paths::resolve(QString(), &error);
    if (paths.home().isEmpty()) {
        QMessageBox::critical(nullptr, QStringLiteral("Brivane"), error);
        return 1;
    }
    brivane::App app(paths, window);
    if (!app.start())
        return 1;
    if (app.settings().show_splash)
        brivane::AboutBox().exec();
    app.switches() = brivane::scan_switches(brivane::get_command_line(
        brivane::command_line_text(QApplication::arguments().mid(1))));
    app.delete_log();
    window.start_auto_run_when_shown(app.switches().auto_run);
    window.show();
    app.load();
    brivane::Commands commands(app);
    window.attach(&app, &commands);
    return qapp.exec();
}
