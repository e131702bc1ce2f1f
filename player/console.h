// The player's console front end: the progress line with its level meter, and the keys.
#pragma once

#include "hostlib/host.h"
#include "player/session.h"

namespace player {

// Plays the session on the console until its list ends or Ctrl+C. With trace, every call on the
// record, every host service call and every end-of-file message is told on stderr.
// Returns the exit status: 0 when a song played, 130 after Ctrl+C, and when none played
// 2 if the last refusal was a URL that could not be retrieved, else 1.
int RunConsole(hostlib::Host& host, Session& session, bool trace);

} // namespace player
