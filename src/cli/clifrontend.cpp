#include "clifrontend.h"

#include "shell/textutil.h"

namespace brivane {

static void put_line(FILE *f, const QString &text)
{
    const QByteArray bytes = printable(text).toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), f);
    std::fputc('\n', f);
    std::fflush(f);
}

void CliFrontend::message(const QString &text)
{
    had_message_ = true;
    put_line(stderr, text);
}

void CliFrontend::show_status(const QString &line)
{
    put_line(stdout, line);
}

} // namespace brivane
