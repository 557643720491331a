// Reading a mapped file that is cut short meanwhile (a peer truncating /tmp/image while the
// daemon checks it where it lies) faults with SIGBUS at the first page that no longer exists.
// A guarded read turns that fault into a result. Its SIGBUS handler is installed only while
// the read runs and jumps back out of the read: it is the one handler of the daemon that does
// more than note its signal, because the fault is synchronous to the main flow's own read,
// which can't go on.
//
// The jump skips whatever the read had still to do, so a guarded read is plain reading: while
// it touches the mapping it holds no lock, no open resource and no object with a destructor.
// Writes from a mapping to a file or device are no guarded reads: the kernel copies those
// bytes and fails the write with EFAULT instead.
#pragma once

#include <type_traits>

// Runs read(context); true when it ran to its end, false when it touched a page of a mapped
// file that no longer exists and was abandoned there, or was not run as it couldn't be guarded
// (logged).
bool runGuardedRead(void (*read)(void* context), void* context);

template <typename Read>
bool guardedRead(Read&& read) {
    using Function = std::remove_reference_t<Read>;
    return runGuardedRead([](void* context) { (*static_cast<Function*>(context))(); }, &read);
}
