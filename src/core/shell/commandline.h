#pragma once
#include <QString>
#include <QStringList>

namespace brivane {

// Splits the command line into at most `maximum` words at blanks and tabs;
// no quoting. Index 0 is always empty, the words stand at 1..n.
QStringList get_command_line(const QString &command_line, int maximum = 10);

// The arguments of the process joined by blanks, as one command-line text.
QString command_line_text(const QStringList &arguments);

struct Switches {
    bool log_enabled = false;  // "/log"
    bool auto_run = false;     // "/auto"
};

// Only the exact, case-sensitive words "/log" and "/auto" count.
Switches scan_switches(const QStringList &words);

} // namespace brivane
