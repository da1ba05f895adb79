// Decoder and work-file repair speed: uuencode and base64 over ~100 MB of
// random data, file to file as the run uses them, and the repair of a
// typical 100 KB article. Prints the numbers; not a test.
//   bench_decoder [megabytes]     (default 100)
#include "preview/decoder.h"
#include "preview/workfile.h"
#include "shell/frontend.h"
#include "support/testsupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>

using namespace brivane;
using namespace brivane::test;

namespace {

class QuietFrontend : public Frontend {
public:
    void message(const QString &) override {}

protected:
    void show_status(const QString &) override {}
};

QByteArray base64_lines(const QByteArray &data)
{
    const QByteArray flat = data.toBase64();
    QByteArray out;
    out.reserve(flat.size() + flat.size() / 76 * 2 + 4);
    for (qsizetype i = 0; i < flat.size(); i += 76) {
        out += flat.mid(i, 76);
        out += "\r\n";
    }
    return out;
}

bool write_file(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

// Best of `rounds` decodes of `source`; seconds.
double time_decode(DecodeResult (*decode)(const QString &, const QString &), const QString &source,
                   const QString &target, int rounds)
{
    double best = 1e9;
    for (int r = 0; r < rounds; ++r) {
        QFile::remove(target);
        QElapsedTimer t;
        t.start();
        const DecodeResult res = decode(source, target);
        const double s = double(t.nsecsElapsed()) / 1e9;
        if (!res.ok()) {
            std::fprintf(stderr, "decode failed: %s\n", qPrintable(res.message));
            return -1;
        }
        best = qMin(best, s);
    }
    QFile::remove(target);
    return best;
}

// Best of `rounds` in-memory decodes; seconds, -1 when the result is wrong.
double time_memory(DecodeResult (*decode)(const QByteArray &, QByteArray *), const QByteArray &text,
                   const QByteArray &expected, int rounds)
{
    double best = 1e9;
    for (int r = 0; r < rounds; ++r) {
        QByteArray out;
        QElapsedTimer t;
        t.start();
        const DecodeResult res = decode(text, &out);
        best = qMin(best, double(t.nsecsElapsed()) / 1e9);
        if (!res.ok() || out != expected) {
            qsizetype at = 0;
            while (at < qMin(out.size(), expected.size()) && out[at] == expected[at])
                ++at;
            std::fprintf(stderr, "%s decode failed: %s (%lld of %lld bytes, first difference at %lld)\n",
                         decode == uudecode_bytes ? "uu" : "b64", qPrintable(res.message),
                         static_cast<long long>(out.size()), static_cast<long long>(expected.size()),
                         static_cast<long long>(at));
            return -1;
        }
    }
    return best;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qsizetype megabytes = argc > 1 ? QByteArray(argv[1]).toLongLong() : 100;
    const qsizetype size = qMax<qsizetype>(1, megabytes) * 1024 * 1024;
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;

    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(data.data()), size / 4);
    // A JPEG's first bytes: the base64 decoder starts at "/9j/", and random
    // data may hold that at the start of some later line.
    data[0] = char(0xff), data[1] = char(0xd8), data[2] = char(0xff), data[3] = char(0xe0);
    const QByteArray uu = uuencode_block(data, QStringLiteral("big.jpg"));
    const QByteArray b64 = base64_lines(data);
    if (!write_file(dir.filePath("uu"), uu) || !write_file(dir.filePath("b64"), b64))
        return 1;

    const double mb = double(size) / (1024 * 1024);
    const double tu = time_decode(decode_uuencode, dir.filePath("uu"), dir.filePath("out.uu"), 3);
    const double tb = time_decode(decode_base64, dir.filePath("b64"), dir.filePath("out.b64"), 3);
    const double mu = time_memory(uudecode_bytes, uu, data, 3);
    const double mbase = time_memory(base64_decode_bytes, b64, data, 3);
    if (tu < 0 || tb < 0 || mu < 0 || mbase < 0)
        return 1;
    std::printf("folder for the files: %s\n", qPrintable(dir.path()));
    std::printf("uudecode, file to file: %.0f MB in %.3f s = %.0f MB/s decoded (%.0f MB/s of input)\n", mb,
                tu, mb / tu, double(uu.size()) / (1024 * 1024) / tu);
    std::printf("uudecode, in memory:    %.0f MB in %.3f s = %.0f MB/s decoded (%.0f MB/s of input)\n", mb,
                mu, mb / mu, double(uu.size()) / (1024 * 1024) / mu);
    std::printf("base64, file to file:   %.0f MB in %.3f s = %.0f MB/s decoded (%.0f MB/s of input)\n", mb,
                tb, mb / tb, double(b64.size()) / (1024 * 1024) / tb);
    std::printf("base64, in memory:      %.0f MB in %.3f s = %.0f MB/s decoded (%.0f MB/s of input)\n", mb,
                mbase, mb / mbase, double(b64.size()) / (1024 * 1024) / mbase);

    // The repair of a typical article: headers, a 100 KB picture uuencoded.
    QuietFrontend ui;
    WorkfileRepair repair(dir.filePath("work2"));
    const QByteArray article = "Path: x\r\nSubject: pic.jpg (1/1)\r\nFrom: a@b\r\n\r\n"
                               + uuencode_block(data.left(100 * 1024), QStringLiteral("pic.jpg"));
    const int rounds = 500;
    QElapsedTimer t;
    qint64 total = 0, in_memory = 0;
    for (int i = 0; i < rounds; ++i) {
        write_file(dir.filePath("work1000"), article);  // not timed
        t.start();
        repair.fix_workfile(dir.filePath("work1000"), ui);
        total += t.nsecsElapsed();
        QByteArray cleaned;
        bool recognised = false;
        t.start();
        repair.repair_text(article, &cleaned, &recognised);
        in_memory += t.nsecsElapsed();
    }
    std::printf("fix_workfile, %.0f KB article: %.1f us in memory, %.1f us with reading and writing "
                "the files (%d rounds)\n",
                double(article.size()) / 1024, double(in_memory) / rounds / 1000,
                double(total) / rounds / 1000, rounds);

    // The decode of that article, as a run does it: the buffer's pages are
    // reused from one article to the next, as malloc gives them.
    {
        QByteArray cleaned, picture;
        bool recognised = false;
        repair.repair_text(article, &cleaned, &recognised);
        qint64 best = -1, sum = 0;
        for (int i = 0; i < rounds; ++i) {
            t.start();
            uudecode_bytes(cleaned, &picture);
            const qint64 ns = t.nsecsElapsed();
            sum += ns;
            best = best < 0 ? ns : qMin(best, ns);
        }
        std::printf("uudecode, %.0f KB article: %.1f us (best %.1f us, %.0f MB/s of input)\n",
                    double(cleaned.size()) / 1024, double(sum) / rounds / 1000, double(best) / 1000,
                    double(cleaned.size()) / (double(best) / 1e9) / 1e6);
    }

    // And over the whole big block.
    write_file(dir.filePath("work1000"), uu);
    t.start();
    repair.fix_workfile(dir.filePath("work1000"), ui);
    const double tf = double(t.nsecsElapsed()) / 1e9;
    std::printf("fix_workfile: %.0f MB work file in %.3f s = %.0f MB/s\n",
                double(uu.size()) / (1024 * 1024), tf, double(uu.size()) / (1024 * 1024) / tf);
    return 0;
}
