// Fuzz target: a raw article through the work-file repair and both
// decoders, as the run does it, and the decoders on the raw bytes as well.
// A decode either writes the whole picture under its name or nothing.
#include "preview/decoder.h"
#include "preview/workfile.h"
#include "shell/frontend.h"

#include <QDir>
#include <QFile>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

using namespace brivane;

namespace {

class QuietFrontend : public Frontend {
public:
    void message(const QString &) override {}

protected:
    void show_status(const QString &) override {}
};

void check(bool ok)
{
    if (!ok)
        std::abort();
}

const QString &folder()
{
    static const QString dir = [] {
        const char *base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        QByteArray tmpl = QByteArray(base) + "/brivane-fuzz-XXXXXX";
        if (!mkdtemp(tmpl.data()))
            std::abort();
        return QString::fromLocal8Bit(tmpl);
    }();
    return dir;
}

void decode_both(const QString &source)
{
    const QString uu = folder() + QStringLiteral("/out-uu.jpg");
    const QString b64 = folder() + QStringLiteral("/out-b64.jpg");
    const DecodeResult a = decode_uuencode(source, uu);
    check(a.ok() == QFile::exists(uu));
    check(a.ok() || !a.message.isEmpty());
    const DecodeResult b = decode_base64(source, b64);
    check(b.ok() == QFile::exists(b64));
    check(b.ok() || !b.message.isEmpty());
    if (a.ok()) {
        // Never over an existing picture.
        check(decode_uuencode(source, uu).status == DecodeStatus::TargetExists);
    }
    QFile::remove(uu);
    QFile::remove(b64);
    // No temporary file is ever left behind.
    check(QDir(folder()).entryList({QStringLiteral(".brivane-*")}, QDir::Files | QDir::Hidden).isEmpty());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QuietFrontend ui;
    static WorkfileRepair repair(folder() + QStringLiteral("/work2"));
    const QString work = folder() + QStringLiteral("/work1000");
    {
        QFile f(work);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            std::abort();
        f.write(reinterpret_cast<const char *>(data), qint64(size));
    }
    decode_both(work);

    const bool complete = repair.fix_workfile(work, ui);
    check(repair.io_error.isEmpty());
    // work2 stays only when the format was not recognised.
    const bool recognised = !QFile::exists(folder() + QStringLiteral("/work2"));
    check(!complete || recognised);
    check(!recognised || repair.begin_found || repair.jpeg64_found);
    // The cleaned file is never larger than the raw one plus a CR per line.
    check(QFile(work).size() <= qint64(size) * 2 + 2);
    decode_both(work);
    QFile::remove(folder() + QStringLiteral("/work2"));
    return 0;
}
