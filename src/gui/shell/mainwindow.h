#pragma once
// The main window: the status list, the run's boxes and counters, the
// connection light and progress bars, and the commands. It is the GUI's
// implementation of the core's Frontend.
#include "shell/frontend.h"

#include <QElapsedTimer>
#include <QHash>
#include <QMainWindow>
#include <QTimer>

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;

namespace brivane {

class App;
class Commands;

class MainWindow : public QMainWindow, public Frontend {
    Q_OBJECT
public:
    MainWindow();
    void attach(App *app, Commands *commands);

    void message(const QString &text) override;
    void clear_status() override;
    void set_light(int n) override;
    void set_text(Box box, const QString &text) override;
    QString text(Box box) const override;
    void set_enabled(Button b, bool on) override;
    void set_groups(const QStringList &groups) override;
    void set_progress_max(int bar, qint64 max) override;
    void draw_progress(int bar, qint64 value) override;
    void set_busy(bool busy) override;
    bool preview_visible() const override;
    bool draw_jpeg(const QString &path) override;
    void load_logo() override;

    // Draws at once what is waiting to be shown (lines, box texts, progress).
    void show_pending();
    // The status list's lines, those still waiting to be drawn included.
    QStringList status_lines() const;

    // Starts the run once when the window is first shown with "/auto".
    void start_auto_run_when_shown(bool on) { auto_run_ = on; }

protected:
    void show_status(const QString &line) override;
    void showEvent(QShowEvent *e) override;
    void closeEvent(QCloseEvent *e) override;

private:
    void btnProc_Click();
    void btnDisc_Click();
    void run_command(int which);
    void start_auto_run();
    void schedule_refresh();

    App *app_ = nullptr;
    Commands *commands_ = nullptr;
    QListWidget *List1 = nullptr;
    QPushButton *btnProc = nullptr;
    QPushButton *btnDisc = nullptr;
    QComboBox *Combo1 = nullptr;
    QLabel *light_ = nullptr;
    QLabel *Image1 = nullptr;
    QProgressBar *prog1 = nullptr;
    QProgressBar *prog2 = nullptr;
    QHash<int, QLineEdit *> boxes_;
    bool first_resize_ = true;
    bool auto_run_ = false;
    bool auto_run_due_ = false;  // shown with "/auto", waiting for attach()
    bool busy_ = false;
    QElapsedTimer last_events_;  // when show_status last let events through
    // What the run has shown that is not drawn yet (see schedule_refresh).
    struct Progress {
        qint64 max = -1, value = -1;
    };
    QStringList pending_lines_;
    QHash<int, QString> pending_texts_;
    Progress pending_progress_[2];
    QTimer *refresh_timer_ = nullptr;
    int light_state_ = 0;
};

} // namespace brivane
