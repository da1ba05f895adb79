#include "shell/commandline.h"

namespace brivane {

QStringList get_command_line(const QString &command_line, int maximum)
{
    QStringList words(maximum + 1);
    int count = 0;
    bool in_word = false;
    for (const QChar c : command_line) {
        if (c != QLatin1Char(' ') && c != QLatin1Char('\t')) {
            if (!in_word) {
                if (count == maximum)
                    break;
                ++count;
                in_word = true;
            }
            words[count].append(c);
        } else {
            in_word = false;
        }
    }
    words.resize(count + 1);
    return words;
}

QString command_line_text(const QStringList &arguments)
{
    return arguments.join(QLatin1Char(' '));
}

Switches scan_switches(const QStringList &words)
{
    Switches s;
    for (qsizetype i = 1; i < words.size(); ++i) {
        if (words[i] == QLatin1String("/log"))
            s.log_enabled = true;
        if (words[i] == QLatin1String("/auto"))
            s.auto_run = true;
    }
    return s;
}

} // namespace brivane
