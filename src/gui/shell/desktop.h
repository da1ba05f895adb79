#pragma once
// The desktop program's start-up in its fixed order: paths, the two early
// settings and the single-instance lock, database creation, splash, command
// line, the old log deleted, the main window and its load; then the event
// loop until the window closes.

class QApplication;

namespace brivane {

// The program's exit code.
int run_desktop(QApplication &qapp);

} // namespace brivane
