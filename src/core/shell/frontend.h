#pragma once
// The one interface between the core and a front end (GUI, CLI, tests).
// The core never shows anything itself: it hands every user-facing text,
// counter, light and progress value to the front end through this class.
#include <QString>
#include <QStringList>

namespace brivane {

// The main window's display boxes, named as the window names them.
enum class Box {
    Combo1,      // current group
    lo_msg,      // article in hand / low article number
    hi_msg,      // high article number
    Text3,       // file name
    Text4,       // subject
    sender_box,  // sender
    num_lines,
    file_size,
    files_this,
    dupes_this,
    tot_msg,
    tot_bytes,
    lskip,
    non_bin,
    ppic,        // name of the previewed picture
};

enum class Button { btnProc, btnDisc };

// The connection light: set_light(1) red, 2 yellow, 3 green.
enum Light : int { LightRed = 1, LightYellow = 2, LightGreen = 3 };

class Frontend {
public:
    virtual ~Frontend() = default;

    // A status-list line. "~" is shown as "'" (senders are stored with "~").
    void add_status(const QString &line);
    // Empties the status list.
    virtual void clear_status() {}
    // A message box with an OK button only.
    virtual void message(const QString &text) = 0;

    virtual void set_light(int) {}
    virtual void set_text(Box, const QString &) {}
    virtual QString text(Box) const { return {}; }
    virtual void set_enabled(Button, bool) {}
    // Entries of the group box (Combo1).
    virtual void set_groups(const QStringList &) {}
    // Progress bars 1 (article) and 2 (headers of the group).
    virtual void set_progress_max(int /*bar*/, qint64 /*max*/) {}
    virtual void draw_progress(int /*bar*/, qint64 /*value*/) {}
    // Hourglass pointer while a long command runs.
    virtual void set_busy(bool) {}
    // Thumbnail preview: is the box visible, draw a picture into it, restore the logo.
    virtual bool preview_visible() const { return false; }
    virtual bool draw_jpeg(const QString & /*path*/) { return false; }
    virtual void load_logo() {}

    // Held while the core handles what a server just sent: a front end must
    // not let events through then, or a Stop would wait on the very reply
    // that is being read.
    bool events_held() const { return events_held_ > 0; }
    class EventHold {
    public:
        explicit EventHold(Frontend &ui) : ui_(ui) { ++ui_.events_held_; }
        ~EventHold() { --ui_.events_held_; }
        EventHold(const EventHold &) = delete;
        EventHold &operator=(const EventHold &) = delete;

    private:
        Frontend &ui_;
    };

protected:
    virtual void show_status(const QString &line) = 0;

private:
    int events_held_ = 0;
};

} // namespace brivane
