#pragma once
#include "shell/inifile.h"

#include <QHash>

namespace brivane {

// The preferences of section "SETUP", read once at start; the dialogs and
// the run change them here and save the key they changed.
class Settings {
public:
    explicit Settings(QString ini_path) : ini_(std::move(ini_path)) {}

    // "showsplash" and "ng_dirs": read before any window exists.
    void load_early();
    // The other ten keys, in the order the main window reads them.
    void load();

    // Writes the current value of `key` (one of the twelve) to the file.
    bool save(const QString &key, QString *error = nullptr) const;

    const IniFile &file() const { return ini_; }

    // True while `dlpath` is still the value loaded from a file that held a
    // longer one: the 49 characters kept name another folder than the user's.
    bool dlpath_too_long() const { return still_cut("dlpath", dlpath); }
    // The same for the login: a server name cut to 49 characters can name
    // another host, which would be given the user's password. The text of
    // the message that refuses it, or empty.
    QString login_too_long() const;

    QString news_server;
    QString userid;
    QString password;
    QString dlpath;
    bool preview = false;
    bool rcvunk = false;
    bool checkdupes = false;
    qint16 max_lines = 0;
    qint16 min_lines = 0;
    qint16 xposts = 0;
    bool show_splash = true;
    bool ng_dirs = false;

    static const QString section;  // "SETUP"

private:
    QString read_text(const char *key) const;
    bool read_flag(const char *key, int def) const;
    qint16 read_number(const char *key) const;
    QString read_kept(const char *key);
    bool still_cut(const char *key, const QString &value) const
    {
        const auto it = cut_.constFind(QLatin1String(key));
        return it != cut_.cend() && *it == value;
    }
    IniFile ini_;
    QHash<QString, QString> cut_;  // key -> the 49 characters kept of a longer value
};

} // namespace brivane
