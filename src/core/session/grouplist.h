#pragma once
#include "shell/outcome.h"

namespace brivane {

class Database;
class Frontend;
class Session;
class Settings;

// The "Get Newsgroups" command: downloads the active server's full group
// list and stores it in `newsgroups`, replacing that server's rows.
Outcome get_all_newsgroups(Session &session, Database &db, const Settings &settings, Frontend &ui);

} // namespace brivane
