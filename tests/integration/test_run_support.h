#pragma once
// Shared pieces of the run and catch-up tests: real JPEG pictures, their
// uuencoded and MIME forms as posted articles, and a program home with
// settings and database filled in.
#include "app/app.h"
#include "db/database.h"
#include "run/run.h"
#include "session/session.h"
#include "shell/settings.h"
#include "support/inn2.h"
#include "support/testsupport.h"

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QSqlQuery>
#include <QVariant>
#include <functional>
#include <memory>

namespace brivane::test {

// The indent of the run's lines about one header.
inline const QString indent = QStringLiteral("    ");

// A real JPEG, different for every seed; `noise` makes it larger.
inline QByteArray make_jpeg(quint32 seed, int width = 96, int height = 64, bool noise = false)
{
    QImage img(width, height, QImage::Format_RGB32);
    QRandomGenerator rng(seed);
    img.fill(QColor::fromRgb(rng.generate() & 0xffffff));
    if (noise) {
        for (int y = 0; y < height; ++y) {
            auto *row = reinterpret_cast<QRgb *>(img.scanLine(y));
            for (int x = 0; x < width; ++x)
                row[x] = rng.generate() | 0xff000000u;
        }
    } else {
        QPainter p(&img);
        p.setPen(QColor::fromRgb(rng.generate() & 0xffffff));
        p.drawText(4, height / 2, QString::number(seed));
    }
    QByteArray out;
    QBuffer buf(&out);
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, "JPEG", 90);
    return out;
}

// `count` noisy JPEGs of `width` x `height`, seeds from `first_seed` + 1 on.
inline QList<QByteArray> noisy_jpegs(int count, quint32 first_seed, int width = 160, int height = 120)
{
    QList<QByteArray> out;
    for (int i = 1; i <= count; ++i)
        out << make_jpeg(first_seed + quint32(i), width, height, true);
    return out;
}

// A MIME body with one base64 JPEG part named `name`. Returns the headers to
// add to the article in `headers`.
inline QByteArray mime_body(const QByteArray &data, const QString &name, QByteArray *headers)
{
    const QByteArray boundary = "=_brivane_test_boundary";
    *headers = "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n";
    QByteArray out = "This is a multi-part message in MIME format.\r\n\r\n--" + boundary + "\r\n";
    out += "Content-Type: image/jpeg; name=\"" + name.toUtf8() + "\"\r\n";
    out += "Content-Transfer-Encoding: base64\r\n";
    out += "Content-Disposition: attachment; filename=\"" + name.toUtf8() + "\"\r\n\r\n";
    const QByteArray b64 = data.toBase64();
    for (qsizetype i = 0; i < b64.size(); i += 76)
        out += b64.mid(i, 76) + "\r\n";
    out += "\r\n--" + boundary + "--\r\n";
    return out;
}

// One single-part uuencoded article per picture, named "<stem>1.jpg" on.
inline QList<NewsArticle> picture_articles(const QString &group, const QList<QByteArray> &pics,
                                           const QString &stem)
{
    QList<NewsArticle> arts;
    for (qsizetype i = 0; i < pics.size(); ++i) {
        const QString name = QStringLiteral("%1%2.jpg").arg(stem).arg(i + 1);
        NewsArticle a;
        a.groups = {group};
        a.subject = name + QStringLiteral(" (1/1)");
        a.body = uuencode_block(pics.at(i), name);
        arts << a;
    }
    return arts;
}

// Writes Brivane.ini for a run against `server`: duplicate check on, no
// group folders, 3 cross-posts, 1 to 30000 lines, unless `tweak` says else.
inline void write_settings(const TempHome &home, const QString &server, const QString &dlpath,
                           const std::function<void(Settings &)> &tweak = {})
{
    Settings s(home.file(QStringLiteral("Brivane.ini")));
    s.news_server = server;
    s.dlpath = dlpath;
    s.checkdupes = true;
    s.ng_dirs = false;
    s.rcvunk = false;
    s.xposts = 3;
    s.min_lines = 1;
    s.max_lines = 30000;
    s.preview = false;
    s.show_splash = false;
    if (tweak)
        tweak(s);
    for (const char *k : {"news_server", "dlpath", "checkdupes", "ng_dirs", "rcvunk", "xposts",
                          "min_lines", "max_lines", "preview", "showsplash"})
        s.save(QLatin1String(k));
}

// Creates the database of `home` with subscriptions and masks.
inline bool fill_database(const TempHome &home, const QList<QPair<QString, QString>> &groups_servers,
                          const QStringList &masks, qint64 last_msg = 0)
{
    const QString file = home.file(QStringLiteral("brivane.mdb"));
    if (!Database::create_database(file))
        return false;
    Database db;
    if (!db.open(file))
        return false;
    for (const auto &gs : groups_servers) {
        if (!db.exec(QStringLiteral("insert into groups (name, last_msg, server) values (?, ?, ?)"),
                     {gs.first, last_msg, gs.second}))
            return false;
    }
    for (const QString &m : masks) {
        if (!db.exec(QStringLiteral("insert into masks (mask) values (?)"), {m}))
            return false;
    }
    return true;
}

// A home ready for a run of `group` on `server` into its folder "pictures",
// masks "jpg". Returns that folder; empty when the home could not be made.
inline QString picture_home(const TempHome &home, const QString &server, const QString &group,
                            bool checkdupes = true)
{
    const QString dl = home.file(QStringLiteral("pictures"));
    if (!QDir().mkpath(dl))
        return QString();
    write_settings(home, server, dl, [&](Settings &s) { s.checkdupes = checkdupes; });
    if (!fill_database(home, {{group, server}}, {QStringLiteral("jpg")}))
        return QString();
    return dl;
}

// A new INN2 group with `pics` posted as "<stem>1.jpg" on, and `home` ready
// to run it. The download folder, or empty (and `why`) when that failed.
inline QString posted_picture_home(Inn2Server &inn, const TempHome &home, const QList<QByteArray> &pics,
                                   const QString &stem, QString *why, bool checkdupes = true)
{
    const QString group = inn.new_group();
    if (group.isEmpty() || inn.post_all(picture_articles(group, pics, stem)).size() != pics.size()) {
        *why = inn.error();
        return QString();
    }
    const QString dl = picture_home(home, inn.setting(), group, checkdupes);
    if (dl.isEmpty())
        *why = QStringLiteral("cannot make the program home");
    return dl;
}

// Reads one number with a fresh connection (the program's own is left alone).
inline qint64 query_number(const TempHome &home, const QString &statement,
                           const QVariantList &values = {})
{
    Database db;
    if (!db.open(home.file(QStringLiteral("brivane.mdb"))))
        return -1;
    QSqlQuery q(db.sql());
    q.prepare(statement);
    for (const QVariant &v : values)
        q.addBindValue(v);
    if (!q.exec() || !q.next())
        return -1;
    return q.value(0).toLongLong();
}

inline QStringList query_texts(const TempHome &home, const QString &statement)
{
    Database db;
    QStringList out;
    if (!db.open(home.file(QStringLiteral("brivane.mdb"))))
        return out;
    QSqlQuery q(db.sql());
    if (!q.exec(statement))
        return out;
    while (q.next())
        out << q.value(0).toString();
    return out;
}

inline qint64 pointer(const TempHome &home, const QString &group, const QString &server)
{
    return query_number(home, QStringLiteral("select last_msg from groups where name = ? and server = ?"),
                        {group, server});
}

// The lines of dllog.txt; an empty line inside is kept, so a split line shows.
inline QStringList dllog_lines(const TempHome &home)
{
    QStringList lines = QString::fromUtf8(home.read(QStringLiteral("dllog.txt"))).split(QStringLiteral("\r\n"));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

// Starts `program` (the CLI unless told otherwise; the desktop program draws
// offscreen) on `home` without waiting for its end: a scripted server must
// answer from this event loop meanwhile.
inline bool start_program(QProcess &p, const QString &home, const QStringList &args,
                          const QString &program = QStringLiteral(BRIVANE_CLI_PATH))
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("BRIVANE_HOME"), home);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    p.setProcessEnvironment(env);
    p.start(program, args);
    return p.waitForStarted(10000);
}

inline QByteArray read_file(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Work files, scratch files and hidden temporary files in a program home.
inline QStringList leftovers(const QString &home)
{
    QStringList out;
    for (const QString &n : QDir(home).entryList(QDir::Files | QDir::Hidden)) {
        if ((n.startsWith(QLatin1String("work")) && !n.contains(QLatin1Char('.')))
            || n.endsWith(QLatin1String(".part")))
            out << n;
    }
    return out;
}

// A recording front end with a visible thumbnail box (drawing a file QImage
// reads as JPEG) and a hook called for every status line.
class RunFrontend : public RecordingFrontend {
public:
    bool preview_visible() const override { return preview_on; }
    bool draw_jpeg(const QString &path) override
    {
        QImage img;
        return img.load(path, "JPEG");
    }
    void load_logo() override { ++logos; }
    void draw_progress(int bar, qint64 value) override
    {
        if (bar == 2)
            header_bar << value;
    }

    bool preview_on = false;
    int logos = 0;
    QList<qint64> header_bar;  // values drawn on the headers' bar

    int count(const QString &line) const { return int(status.count(line)); }
    bool has(const QString &line) const { return status.contains(line); }
    int count_starting(const QString &head) const
    {
        int n = 0;
        for (const QString &s : status)
            n += s.startsWith(head) ? 1 : 0;
        return n;
    }
};

// A program home set up for runs, with the App the GUI and the CLI use.
struct RunRig {
    RunRig() : dl(home.file(QStringLiteral("pictures")))
    {
        QDir().mkpath(dl);
    }

    // Starts the App as the CLI does; false with the reason in `why`.
    bool start()
    {
        commands.reset();
        app = std::make_unique<App>(Paths(home.path()), ui);
        if (!app->start() || !app->load()) {
            why = ui.messages.join(QLatin1Char('|')) + ui.status.join(QLatin1Char('|'));
            return false;
        }
        commands = std::make_unique<Commands>(*app);
        Session::Timeouts &t = session().timeouts;
        t.connect = 5000;
        t.quit = 1000;
        t.select = 5000;
        t.xover = 5000;
        t.article = 5000;
        return true;
    }
    // Settings for `server`, `groups` subscribed on it with masks "jpg",
    // then start().
    bool setup(const QString &server, const QStringList &groups, bool checkdupes = true,
               bool ng_dirs = false, qint64 last_msg = 0)
    {
        write_settings(home, server, dl, [&](Settings &s) {
            s.checkdupes = checkdupes;
            s.ng_dirs = ng_dirs;
        });
        QList<QPair<QString, QString>> rows;
        for (const QString &g : groups)
            rows.append({g, server});
        if (!fill_database(home, rows, {QStringLiteral("jpg")}, last_msg)) {
            why = QStringLiteral("cannot make the database");
            return false;
        }
        return start();
    }
    // One run, its status lines and messages alone kept.
    Outcome run(qint64 chunk = 0)
    {
        ui.status.clear();
        ui.messages.clear();
        Run r(app->settings(), app->db(), session(), ui, app->paths(), app->shared());
        if (chunk > 0)
            r.set_chunk_size(chunk);
        const Outcome o = r.btnProc_Click();
        counters = r.counters();
        return o;
    }
    Outcome catchup()
    {
        ui.status.clear();
        ui.messages.clear();
        return commands->catchup();
    }
    Session &session() { return commands->session(); }

    qint64 pointer(const QString &group, const QString &server) const
    {
        return brivane::test::pointer(home, group, server);
    }
    QStringList pictures(const QString &sub = QString()) const
    {
        return QDir(sub.isEmpty() ? dl : dl + QLatin1Char('/') + sub)
            .entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }
    QByteArray picture(const QString &name) const { return read_file(dl + QLatin1Char('/') + name); }
    QStringList dllog() const { return dllog_lines(home); }
    QStringList leftovers() const { return brivane::test::leftovers(home.path()); }
    QString dump() const { return ui.status.join(QLatin1Char('\n')) + QStringLiteral("\nMESSAGES: ") + ui.messages.join(QLatin1Char('|')); }

    TempHome home;
    QString dl;
    RunFrontend ui;
    std::unique_ptr<App> app;
    std::unique_ptr<Commands> commands;
    RunCounters counters;
    QString why;
};

} // namespace brivane::test
