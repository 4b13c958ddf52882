#pragma once
// One run of the setup program at a time per user.
#include "app/ScopedWin.h"

namespace tessara {

// Waits, saying so in the log, until no other run of this user holds the lock. Empty when the lock
// cannot be made; the program then runs without it.
unique_held_mutex AcquireRunLock();

}  // namespace tessara
