#include "pictures.h"

#include <QBuffer>
#include <QImage>
#include <QProcess>
#include <QStringList>

namespace brivane::test {

namespace {

QImage pattern()
{
    QImage img(97, 61, QImage::Format_RGB32);
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            img.setPixel(x, y, qRgb((x * 7) & 255, (y * 11) & 255, ((x ^ y) * 5) & 255));
    return img;
}

// `program` run with `args` and fed `input`: its output, or empty when it failed.
QByteArray run_tool(const QString &program, const QStringList &args, const QByteArray &input)
{
    QProcess p;
    p.start(program, args);
    bool good = p.waitForStarted(30000);
    if (good) {
        p.write(input);
        p.closeWriteChannel();
        good = p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }
    if (!good) {
        p.kill();
        p.waitForFinished();
    }
    return good ? p.readAllStandardOutput() : QByteArray();
}

} // namespace

QByteArray make_picture(const QString &format)
{
    QByteArray out;
    QBuffer buf(&out);
    buf.open(QIODevice::WriteOnly);
    return pattern().save(&buf, format == "jpg" ? "JPEG" : "PNG") ? out : QByteArray();
}

QByteArray uuencode(const QByteArray &data, const QString &name)
{
    return run_tool("uuencode", {name}, data);
}

QByteArray base64(const QByteArray &data)
{
    return run_tool("base64", {}, data);
}

QByteArray crlf(const QByteArray &text)
{
    QByteArray out = text;
    out.replace("\r\n", "\n");
    out.replace("\n", "\r\n");
    return out;
}

QByteArray article(const QByteArray &body)
{
    return crlf("Path: news.example.org!not-for-mail\n"
                "From: Poster <poster@example.org>\n"
                "Newsgroups: alt.binaries.test\n"
                "Subject: a picture (1/1)\n"
                "Message-ID: <1@example.org>\n"
                "\n"
                "Here it is.\n"
                "\n")
           + crlf(body);
}

QByteArray mime_article(const QByteArray &encoded, const QByteArray &part_headers)
{
    return crlf("From: Poster <poster@example.org>\n"
                "Subject: a picture\n"
                "MIME-Version: 1.0\n"
                "Content-Type: multipart/mixed; boundary=\"XyZ\"\n"
                "\n"
                "This is a multi-part message in MIME format.\n"
                "--XyZ\n"
                "Content-Type: text/plain\n"
                "\n"
                "Enjoy\n"
                "--XyZ\n")
           + crlf(part_headers) + "\r\n" + crlf(encoded) + crlf("\n--XyZ--\n");
}

} // namespace brivane::test
