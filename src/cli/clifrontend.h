#pragma once
#include "shell/frontend.h"

#include <cstdio>

namespace brivane {

// Status lines to standard output, message boxes to standard error, one line
// each, flushed at once so a log or a pipe shows a run live.
class CliFrontend : public Frontend {
public:
    void message(const QString &text) override;
    bool had_message() const { return had_message_; }

protected:
    void show_status(const QString &line) override;

private:
    bool had_message_ = false;
};

} // namespace brivane
