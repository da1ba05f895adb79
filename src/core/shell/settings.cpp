#include "shell/settings.h"

#include "shell/textutil.h"

namespace brivane {

const QString Settings::section = QStringLiteral("SETUP");

QString Settings::read_text(const char *key) const
{
    // A 50-character buffer: at most 49 characters, NUL-ended, rest blanks.
    QString buffer = ini_.read_string(section, QLatin1String(key), QString(), 50);
    buffer.replace(QChar(0), QLatin1Char(' '));
    return clean_profile_text(buffer);
}

bool Settings::read_flag(const char *key, int def) const
{
    return ini_.read_int(section, QLatin1String(key), def) != 0;
}

qint16 Settings::read_number(const char *key) const
{
    // Out-of-range values are clamped to the 16-bit range.
    return qint16(qBound(-32768, ini_.read_int(section, QLatin1String(key), 0), 32767));
}

void Settings::load_early()
{
    show_splash = read_flag("showsplash", -1);
    ng_dirs = read_flag("ng_dirs", 0);
}

void Settings::load()
{
    cut_.clear();
    news_server = read_kept("news_server");
    userid = read_kept("userid");
    password = read_kept("password");
    dlpath = read_kept("dlpath");
    preview = read_flag("preview", 0);
    rcvunk = read_flag("rcvunk", 0);
    checkdupes = read_flag("checkdupes", 0);
    max_lines = read_number("max_lines");
    min_lines = read_number("min_lines");
    xposts = read_number("xposts");
}

// A text key, noting when the file held more than the characters kept.
QString Settings::read_kept(const char *key)
{
    const QString kept = read_text(key);
    if (clean_profile_text(ini_.read_string(section, QLatin1String(key), QString(), 4096)).size() > kept.size())
        cut_.insert(QLatin1String(key), kept);
    return kept;
}

QString Settings::login_too_long() const
{
    if (still_cut("news_server", news_server))
        return QStringLiteral("News server is longer than 49 characters!");
    if (still_cut("userid", userid))
        return QStringLiteral("User name is longer than 49 characters!");
    if (still_cut("password", password))
        return QStringLiteral("Password is longer than 49 characters!");
    return QString();
}

bool Settings::save(const QString &key, QString *error) const
{
    auto flag = [](bool b) { return b ? QStringLiteral("-1") : QStringLiteral("0"); };
    QString value;
    const QString k = key.toLower();
    if (k == QLatin1String("news_server")) value = news_server;
    else if (k == QLatin1String("userid")) value = userid;
    else if (k == QLatin1String("password")) value = password;
    else if (k == QLatin1String("dlpath")) value = dlpath;
    else if (k == QLatin1String("preview")) value = flag(preview);
    else if (k == QLatin1String("rcvunk")) value = flag(rcvunk);
    else if (k == QLatin1String("checkdupes")) value = flag(checkdupes);
    else if (k == QLatin1String("max_lines")) value = QString::number(max_lines);
    else if (k == QLatin1String("min_lines")) value = QString::number(min_lines);
    else if (k == QLatin1String("xposts")) value = QString::number(xposts);
    else if (k == QLatin1String("showsplash")) value = flag(show_splash);
    else if (k == QLatin1String("ng_dirs")) value = flag(ng_dirs);
    else {
        if (error)
            *error = QStringLiteral("Unknown setting %1").arg(key);
        return false;
    }
    return ini_.write_string(section, k, value, error);
}

} // namespace brivane
