// The port lock on Windows: a named mutex per port number, owned by the thread of the copy that
// holds the port.
//
// The name is in the Global\ namespace, not Local\: a COM port belongs to the machine, and a
// copy run in another session (a second user through fast user switching or Remote Desktop)
// must see it too. Creating a mutex there needs no privilege (only file mappings do). A mutex
// that another user's copy made refuses this user's open with ERROR_ACCESS_DENIED: it is held.
//
// Ownership, not mere existence, is the lock: a copy that only looks at a lock (and closes it
// again) never makes the port look busy to the copy that holds it, and a copy that ended without
// letting go (a crash) leaves the mutex abandoned, which the next copy takes.
#include "host/port_lock.h"

port_lock_state port_lock_take(const port_path& path, HANDLE* lock) {
    *lock = nullptr;
    const port_lock_name name = port_lock_name_of(path);
    if (name[0] == '\0') {
        return PORT_LOCK_UNAVAILABLE;
    }
    const HANDLE mutex = CreateMutexA(nullptr, FALSE, name.data());
    if (mutex == nullptr) {
        return GetLastError() == ERROR_ACCESS_DENIED ? PORT_LOCK_HELD_ELSEWHERE
                                                     : PORT_LOCK_UNAVAILABLE;
    }
    switch (WaitForSingleObject(mutex, 0)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
        *lock = mutex;
        return PORT_LOCK_TAKEN;
    case WAIT_TIMEOUT:
        CloseHandle(mutex);
        return PORT_LOCK_HELD_ELSEWHERE;
    default:
        CloseHandle(mutex);
        return PORT_LOCK_UNAVAILABLE;
    }
}

void port_lock_release(HANDLE* lock) {
    if (*lock != nullptr) {
        ReleaseMutex(*lock);
        CloseHandle(*lock);
        *lock = nullptr;
    }
}
