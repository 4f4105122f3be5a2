// The signals that end a run (Ctrl+C, a closed terminal, kill): a file half made is removed before the
// run ends by the signal, and a step that can't be cut in two is let finish first.
#pragma once

#include "file_system.hpp"

namespace brel::stop_signals {

// From here on, a stop removes the file named by remove_on_stop, then ends the run as the signal
// would have (the shell sees the signal). A signal the caller ignores stays ignored.
void take_over();

// The named file, not yet complete, that a stop removes; `file` is the file while it is open here, or
// null (it must stay where it is until keep_on_stop). One at a time; keep_on_stop() once it is
// complete or gone.
void remove_on_stop(const file_system::folder& place, const char* name, file_system::owned_file* file);
void keep_on_stop();

// While one exists, a stop waits until it is gone: for a write that must not be cut in two.
class hold {
public:
    hold();
    ~hold();
    hold(const hold&) = delete;
    hold& operator=(const hold&) = delete;
};

// Where stops are taken only at chosen points (Windows, whose console handler runs on a thread of its
// own), this is one; elsewhere a stop needs no such point and this does nothing.
void take_pending();

}  // namespace brel::stop_signals
