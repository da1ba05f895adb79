#include "shell/mainwindow.h"

#include "app/app.h"
#include "preview/thumbnail.h"
#include "shell/aboutbox.h"
#include "shell/textutil.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <climits>

namespace brivane {

namespace {

struct BoxInfo {
    Box box;
    const char *name;
    const char *label;
    const char *tip;
};

const BoxInfo box_info[] = {
    {Box::Text4, "Text4", "Subject", "Current Subject"},
    {Box::sender_box, "sender_box", "From", "Current Sender name"},
    {Box::Text3, "Text3", "File Name", "Current File Name"},
    {Box::file_size, "file_size", "Size / Lines", "Approximate size of current file"},
    {Box::num_lines, "num_lines", nullptr, "# lines in current file"},
    {Box::files_this, "files_this", "Files Received", "Files received this session"},
    {Box::dupes_this, "dupes_this", "Dupes Skipped", "Duplicate files skipped this session"},
    {Box::tot_msg, "tot_msg", "Total Messages", "Total messages so far this session"},
    {Box::tot_bytes, "tot_bytes", "Bytes Transferred", "Total bytes this session"},
    {Box::lskip, "lskip", "Lockouts Skipped", "Lockouts skipped this session"},
    {Box::non_bin, "non_bin", "Others Skipped", "Others skipped this session"},
    {Box::lo_msg, "lo_msg", nullptr, "Low Message Number"},
    {Box::hi_msg, "hi_msg", nullptr, "High Message Number"},
    {Box::ppic, "ppic", nullptr, "Current Preview Picture"},
};

constexpr int max_status_lines = 350;
constexpr int kept_status_lines = 50;
// Lines waiting to be drawn when no events come (a run lets them through
// every 20 ms, some hundreds of lines): a bound, far above that.
constexpr int max_waiting_lines = 4096;
// Longer messages are cut in the box itself (see message()).
constexpr int max_message_chars = 800;
constexpr int max_message_word = 60;

} // namespace

MainWindow::MainWindow()
{
    setObjectName(QStringLiteral("mainform"));
    setWindowTitle(QStringLiteral("Brivane"));
    refresh_timer_ = new QTimer(this);
    refresh_timer_->setSingleShot(true);
    refresh_timer_->setInterval(50);
    connect(refresh_timer_, &QTimer::timeout, this, &MainWindow::show_pending);
    auto *central = new QWidget(this);
    auto *grid = new QGridLayout(central);

    auto make_box = [&](const BoxInfo &i) {
        auto *e = new QLineEdit(central);
        e->setObjectName(QLatin1String(i.name));
        e->setToolTip(QLatin1String(i.tip));
        e->setReadOnly(true);
        boxes_.insert(int(i.box), e);
        return e;
    };

    auto *frame2 = new QGroupBox(QStringLiteral("News Group"), central);
    frame2->setObjectName(QStringLiteral("Frame2"));
    auto *fl = new QHBoxLayout(frame2);
    Combo1 = new QComboBox(frame2);
    Combo1->setObjectName(QStringLiteral("Combo1"));
    Combo1->setToolTip(QStringLiteral("Current News Group"));
    Combo1->setEditable(true);
    // Typing a name and Enter picks that group; it must not grow the list of
    // subscriptions with whatever was typed.
    Combo1->setInsertPolicy(QComboBox::NoInsert);
    Combo1->setMinimumWidth(260);
    fl->addWidget(Combo1, 1);
    for (const BoxInfo &i : box_info)
        if (i.box == Box::lo_msg || i.box == Box::hi_msg)
            fl->addWidget(make_box(i));
    connect(Combo1, &QComboBox::activated, this, [this] {
        if (!app_)
            return;
        app_->shared().picked_group = Combo1->currentText();
        app_->shared().group_jump = true;
    });
    grid->addWidget(frame2, 0, 0, 1, 4);

    int row = 1;
    for (const BoxInfo &i : box_info) {
        if (i.box == Box::lo_msg || i.box == Box::hi_msg || i.box == Box::ppic || i.box == Box::num_lines)
            continue;
        grid->addWidget(new QLabel(QLatin1String(i.label), central), row, 0);
        grid->addWidget(make_box(i), row, 1, 1, i.box == Box::file_size ? 1 : 3);
        if (i.box == Box::file_size)
            grid->addWidget(make_box(box_info[4]), row, 2, 1, 2);
        ++row;
    }

    prog1 = new QProgressBar(central);
    prog1->setObjectName(QStringLiteral("prog1"));
    prog2 = new QProgressBar(central);
    prog2->setObjectName(QStringLiteral("prog2"));
    for (QProgressBar *p : {prog1, prog2}) {
        p->setTextVisible(false);
        p->setMaximum(1);
        p->setValue(0);
    }
    grid->addWidget(prog1, row++, 0, 1, 4);
    grid->addWidget(prog2, row++, 0, 1, 4);

    List1 = new QListWidget(central);
    List1->setObjectName(QStringLiteral("List1"));
    List1->setToolTip(QStringLiteral("Activity Log"));
    List1->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    List1->setUniformItemSizes(false);
    grid->addWidget(List1, 0, 4, row + 2, 1);
    grid->setColumnStretch(4, 2);

    Image1 = new QLabel(central);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setFixedSize(200, 200);
    Image1->setAlignment(Qt::AlignCenter);
    Image1->setFrameShape(QFrame::Box);
    grid->addWidget(new QLabel(QStringLiteral("Current Picture"), central), row, 0);
    grid->addWidget(Image1, row, 1, 2, 1);
    load_logo();  // until the first picture, as after Clear
    grid->addWidget(make_box(box_info[13]), row, 2, 1, 2);

    auto *buttons = new QHBoxLayout;
    light_ = new QLabel(central);
    light_->setObjectName(QStringLiteral("light"));
    light_->setFixedSize(16, 16);
    buttons->addWidget(light_);
    btnProc = new QPushButton(QStringLiteral("&Process Groups"), central);
    btnProc->setObjectName(QStringLiteral("btnProc"));
    btnProc->setToolTip(QStringLiteral("Process Button"));
    btnDisc = new QPushButton(QStringLiteral("&Stop"), central);
    btnDisc->setObjectName(QStringLiteral("btnDisc"));
    btnDisc->setToolTip(QStringLiteral("Stop Button"));
    btnDisc->setEnabled(false);
    buttons->addWidget(btnProc);
    buttons->addWidget(btnDisc);
    buttons->addStretch();
    grid->addLayout(buttons, row + 2, 0, 1, 5);
    connect(btnProc, &QPushButton::clicked, this, &MainWindow::btnProc_Click);
    connect(btnDisc, &QPushButton::clicked, this, &MainWindow::btnDisc_Click);

    setCentralWidget(central);

    QMenu *file = menuBar()->addMenu(QStringLiteral("&File"));
    file->setObjectName(QStringLiteral("file"));
    // Closing stops a run first (it waits in event loops of its own, which
    // would carry it on to its end; every finished header is already
    // stored), and also ends a start-up that has not reached the event loop.
    QAction *quit = file->addAction(QStringLiteral("&Quit"), this, [this] {
        close();
        QCoreApplication::quit();
    });
    quit->setObjectName(QStringLiteral("quit"));
    QMenu *groups = menuBar()->addMenu(QStringLiteral("&Newsgroups"));
    groups->setObjectName(QStringLiteral("newsgroups"));
    groups->addAction(QStringLiteral("&Get Newsgroups"), this, [this] { run_command(1); })
        ->setObjectName(QStringLiteral("GetAllNewsgroups"));
    groups->addAction(QStringLiteral("&Catch Up"), this, [this] { run_command(2); })
        ->setObjectName(QStringLiteral("catchup"));
    QMenu *help = menuBar()->addMenu(QStringLiteral("&Help"));
    help->setObjectName(QStringLiteral("help"));
    // Shown without a loop of its own: a run going on must not wait for it.
    help->addAction(QStringLiteral("&About"), this, [this] {
        auto *box = new AboutBox(this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    })
        ->setObjectName(QStringLiteral("about"));

    for (Box b : {Box::files_this, Box::dupes_this, Box::tot_msg, Box::lskip, Box::tot_bytes, Box::non_bin})
        set_text(b, QStringLiteral("0"));
    set_light(LightRed);
    resize(1000, 640);
}

void MainWindow::attach(App *app, Commands *commands)
{
    app_ = app;
    commands_ = commands;
    setWindowTitle(QStringLiteral("Brivane - V99.0808 ") + app->settings().news_server);
    start_auto_run();
}

void MainWindow::message(const QString &text)
{
    show_pending();  // the lines that led to the message are on screen behind it
    // A message may quote a server's reply or a file name: plain text, never
    // taken for markup, and a box that fits on the screen however long the
    // quote (the whole text is then under the details).
    QString shown = printable(text);
    if (shown.size() > max_message_chars) {
        shown.truncate(max_message_chars - (text.at(max_message_chars - 1).isHighSurrogate() ? 1 : 0));
        shown += QChar(0x2026);
    }
    // A line breaks only between words: a long run without blanks gets
    // invisible break chances.
    int run = 0;
    for (qsizetype i = 0; i < shown.size(); ++i) {
        run = shown.at(i).isSpace() ? 0 : run + 1;
        if (run > max_message_word && !shown.at(i).isLowSurrogate()) {
            shown.insert(i, QChar(0x200b));
            run = 0;
        }
    }
    QMessageBox box(QMessageBox::Information, QStringLiteral("Brivane"), shown, QMessageBox::Ok,
                    isVisible() ? this : nullptr);
    box.setTextFormat(Qt::PlainText);
    if (text.size() > max_message_chars)
        box.setDetailedText(printable(text));
    box.exec();
}

// A run writes thousands of lines and box texts a second. Drawn one by one,
// laying out and painting them would take most of its time: they are kept
// and shown together a few times a second, and the getters see them at once.
void MainWindow::schedule_refresh()
{
    if (!refresh_timer_->isActive())
        refresh_timer_->start();
}

void MainWindow::show_pending()
{
    refresh_timer_->stop();
    if (!pending_lines_.isEmpty()) {
        // The list as adding the lines one by one would leave it (cut back to
        // the newest 50 whenever it holds 350), built without the thousands
        // of items a busy run would add only to delete them.
        const qsizetype waiting = pending_lines_.size();
        qsizetype count = List1->count();
        for (qsizetype i = 0; i < waiting; ++i)
            count = (count >= max_status_lines ? kept_status_lines : count) + 1;
        const qsizetype old_kept = qMax<qsizetype>(0, count - waiting);
        if (old_kept == 0)
            List1->clear();
        else
            while (List1->count() > old_kept)
                delete List1->takeItem(0);
        List1->addItems(pending_lines_.mid(waiting - (count - old_kept)));
        pending_lines_.clear();
        List1->scrollToBottom();
    }
    for (auto it = pending_texts_.cbegin(); it != pending_texts_.cend(); ++it) {
        QLineEdit *e = boxes_.value(it.key());
        if (e->text() != it.value())
            e->setText(it.value());
    }
    pending_texts_.clear();
    for (int bar = 0; bar < 2; ++bar) {
        QProgressBar *p = bar == 0 ? prog1 : prog2;
        if (pending_progress_[bar].max >= 0)
            p->setMaximum(int(pending_progress_[bar].max));
        if (pending_progress_[bar].value >= 0)
            p->setValue(int(pending_progress_[bar].value));
        pending_progress_[bar] = Progress();
    }
}

QStringList MainWindow::status_lines() const
{
    QStringList out;
    for (int i = 0; i < List1->count(); ++i)
        out << List1->item(i)->text();
    return out + pending_lines_;
}

void MainWindow::show_status(const QString &line)
{
    pending_lines_ << printable(line);
    if (pending_lines_.size() >= max_waiting_lines)
        show_pending();
    else
        schedule_refresh();
    // Stop (and the rest of the window) is looked at every few milliseconds,
    // though not in the middle of a server's reply.
    if (!events_held() && (!last_events_.isValid() || last_events_.elapsed() >= 20)) {
        QCoreApplication::processEvents();
        last_events_.start();
    }
}

void MainWindow::clear_status()
{
    pending_lines_.clear();
    List1->clear();
}

void MainWindow::set_light(int n)
{
    static const char *colours[] = {nullptr, "#d00000", "#e0c000", "#00b000"};
    if (n < 1 || n > 3 || n == light_state_)
        return;
    light_state_ = n;
    light_->setStyleSheet(QStringLiteral("background:%1;border-radius:8px").arg(QLatin1String(colours[n])));
    light_->setToolTip(n == 1 ? QStringLiteral("Not connected") : n == 2 ? QStringLiteral("Connecting")
                                                                         : QStringLiteral("Connected"));
    light_->update();
}

void MainWindow::set_text(Box box, const QString &text)
{
    if (box == Box::Combo1) {
        if (Combo1->currentText() != text)
            Combo1->setEditText(text);
        return;
    }
    if (!boxes_.contains(int(box)))
        return;
    pending_texts_.insert(int(box), printable(text));  // a subject, a sender: strangers' text
    schedule_refresh();
}

QString MainWindow::text(Box box) const
{
    if (box == Box::Combo1)
        return Combo1->currentText();
    if (pending_texts_.contains(int(box)))
        return pending_texts_.value(int(box));
    QLineEdit *e = boxes_.value(int(box));
    return e ? e->text() : QString();
}

void MainWindow::set_enabled(Button b, bool on)
{
    // While a command goes on, Process starts nothing and Stop ends it, also
    // while it connects (again) between groups or reads the group list.
    if (busy_)
        on = b == Button::btnDisc;
    (b == Button::btnProc ? btnProc : btnDisc)->setEnabled(on);
}

void MainWindow::set_groups(const QStringList &groups)
{
    Combo1->clear();
    Combo1->addItems(groups);
}

void MainWindow::set_progress_max(int bar, qint64 max)
{
    Progress &p = pending_progress_[bar == 1 ? 0 : 1];
    p.max = qBound(qint64(1), max, qint64(INT_MAX));
    if (p.value > p.max)
        p.value = p.max;
    schedule_refresh();
}

void MainWindow::draw_progress(int bar, qint64 value)
{
    Progress &p = pending_progress_[bar == 1 ? 0 : 1];
    const qint64 max = p.max >= 0 ? p.max : (bar == 1 ? prog1 : prog2)->maximum();
    p.value = qBound(qint64(0), value, max);
    schedule_refresh();
}

void MainWindow::set_busy(bool busy)
{
    if (busy)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

bool MainWindow::preview_visible() const
{
    return Image1->isVisible();
}

bool MainWindow::draw_jpeg(const QString &path)
{
    const QImage img = fitted_picture(path, Image1->contentsRect().size());
    if (img.isNull())
        return false;
    Image1->setPixmap(QPixmap::fromImage(img));
    return true;
}

void MainWindow::load_logo()
{
    if (Image1->pixmap().isNull() && Image1->text() == QLatin1String("Brivane"))
        return;  // shown already: drawing it again after each bad picture costs
    Image1->setPixmap(QPixmap());
    Image1->setText(QStringLiteral("Brivane"));
}

void MainWindow::showEvent(QShowEvent *e)
{
    QMainWindow::showEvent(e);
    if (!first_resize_)
        return;
    first_resize_ = false;
    auto_run_due_ = auto_run_;
    start_auto_run();
}

void MainWindow::start_auto_run()
{
    // The window is shown before the program is attached, and the start-up's
    // maintenance lines let queued events through: the run waits for both.
    if (!auto_run_due_ || !app_ || !commands_)
        return;
    auto_run_due_ = false;
    QTimer::singleShot(0, this, [this] {
        btnProc_Click();
        auto_run_ = false;
        app_->shared().auto_run = false;
    });
}

void MainWindow::closeEvent(QCloseEvent *e)
{
    if (commands_)
        commands_->stop();
    e->accept();
}

void MainWindow::btnProc_Click()
{
    run_command(0);
}

void MainWindow::btnDisc_Click()
{
    if (commands_)
        commands_->stop();
}

void MainWindow::run_command(int which)
{
    if (!app_ || busy_)
        return;
    if (!commands_)
        return;
    busy_ = true;
    btnProc->setEnabled(false);
    btnDisc->setEnabled(true);
    if (which == 0)
        commands_->process();
    else if (which == 1)
        commands_->get_groups();
    else
        commands_->catchup();
    busy_ = false;
    show_pending();
    btnProc->setEnabled(true);
    btnDisc->setEnabled(false);  // every command ends disconnected
}

} // namespace brivane
