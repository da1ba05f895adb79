// brivane: the desktop program.
#include "shell/desktop.h"

#include <QApplication>

int main(int argc, char **argv)
{
    QApplication qapp(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Brivane"));
    return brivane::run_desktop(qapp);
}
