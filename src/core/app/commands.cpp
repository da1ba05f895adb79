#include "app/app.h"

#include "session/grouplist.h"
#include "session/session.h"

namespace brivane {

Commands::Commands(App &app)
    : app_(app), session_(std::make_unique<Session>(app.settings(), app.ui(), app.paths()))
{
    session_->log_enabled = app.switches().log_enabled;
}

Commands::~Commands() = default;

Outcome Commands::process()
{
    Run run(app_.settings(), app_.db(), *session_, app_.ui(), app_.paths(), app_.shared());
    return run.btnProc_Click();
}

Outcome Commands::catchup()
{
    return catchup_Click(*session_, app_.db(), app_.settings(), app_.ui());
}

Outcome Commands::get_groups()
{
    return get_all_newsgroups(*session_, app_.db(), app_.settings(), app_.ui());
}

void Commands::stop()
{
    session_->stop();
}

} // namespace brivane
