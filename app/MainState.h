#pragma once
// The state that the main window's handlers share. One instance, owned by TFCOMM, touched by
// the GUI thread only; the logger engine works on it.

#include "session/LoggerSession.h"

using MainState = LoggerState;
