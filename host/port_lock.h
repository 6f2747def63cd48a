// The named lock by which copies of this program on one PC never share a port: a copy holds the
// lock of a port for as long as it holds the port open.
#pragma once

#include <windows.h>

#include "host/port_select.h"

// Takes the lock of `path` into *lock (nullptr when it is not taken): PORT_LOCK_TAKEN, or
// PORT_LOCK_HELD_ELSEWHERE when another copy holds it, or PORT_LOCK_UNAVAILABLE when no lock
// could be made (the open then decides alone).
port_lock_state port_lock_take(const port_path& path, HANDLE* lock);
// Gives the lock up; nothing when *lock is nullptr. *lock is nullptr afterwards.
void port_lock_release(HANDLE* lock);
