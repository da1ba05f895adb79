#include "shell/frontend.h"

namespace brivane {

void Frontend::add_status(const QString &line)
{
    QString shown = line;
    shown.replace(QLatin1Char('~'), QLatin1Char('\''));
    show_status(shown);
}

} // namespace brivane
