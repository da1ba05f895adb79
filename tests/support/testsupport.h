#pragma once
// Shared pieces of the tests and benchmarks: a front end that records what
// the core shows, a throw-away program home, and a uuencoder.
#include "shell/frontend.h"

#include <QHash>
#include <functional>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>

namespace brivane::test {

class RecordingFrontend : public Frontend {
public:
    void message(const QString &text) override { messages << text; }
    void set_light(int n) override { lights << n; }
    void set_text(Box b, const QString &t) override { boxes[int(b)] = t; }
    QString text(Box b) const override { return boxes.value(int(b)); }
    void set_enabled(Button b, bool on) override { enabled[int(b)] = on; }
    void set_groups(const QStringList &g) override { groups = g; }

    QStringList status;
    QStringList messages;
    QList<int> lights;
    QHash<int, QString> boxes;
    QHash<int, bool> enabled;
    QStringList groups;
    // Called after each status line, where the window would handle events
    // (a Stop click, a close).
    std::function<void(const QString &)> on_status;

protected:
    void show_status(const QString &line) override
    {
        status << line;
        if (on_status)
            on_status(line);
    }
};

// A fresh, empty program home removed at the end of the test.
class TempHome {
public:
    TempHome();
    QString path() const { return dir_.path(); }
    QString file(const QString &name) const { return dir_.filePath(name); }
    bool write(const QString &name, const QByteArray &data) const;
    QByteArray read(const QString &name) const;

private:
    QTemporaryDir dir_;
};

// Runs brivane-cli with `args` and BRIVANE_HOME=home; returns the exit code.
int run_cli(const QString &home, const QStringList &args, QByteArray *out = nullptr,
            QByteArray *err = nullptr, int timeout_ms = 120000);

// unshare's arguments for a private mount namespace (for a small tmpfs or a
// read-only bind mount of the test's own), or empty when this machine allows
// none (no root, no user namespaces).
QStringList namespace_args();

// Runs the sh `script` in the private mount namespace `ns` with the
// positional parameters `args`; true when it ends with 0. Its output goes to
// *out.
bool run_in_namespace(const QStringList &ns, const QString &script, const QStringList &args,
                      QByteArray *out,
                      const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment());

// `data` as a uuencoded block named `name`: begin and end lines included,
// 45 bytes a line, CRLF line ends.
QByteArray uuencode_block(const QByteArray &data, const QString &name);

} // namespace brivane::test
