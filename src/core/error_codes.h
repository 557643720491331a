// The codes that UPDATE_ERR entries carry. A code is written nowhere and changes nothing; it
// sorts the entries by their kind for whoever looks at a call in the source or a debugger.
#pragma once

// A length or a period outside its bounds: a datagram's, the LED's blinking.
inline constexpr int kErrorOutOfRange = 103;
// A datagram of a type the daemon doesn't take, or from a sender it doesn't take it from.
inline constexpr int kErrorUnknownMessage = 104;
// An operation on the update's data failed: a read, a check of what was read, a file, flash
// or shell operation.
inline constexpr int kErrorOperationFailed = 106;
// A write fell short or couldn't be made, or an event cut into the work: a signal, a time-out,
// the exit.
inline constexpr int kErrorWriteOrEvent = 107;
// The AI socket couldn't be opened.
inline constexpr int kErrorAiSocket = 108;
// A service of the system or a device refused, or was asked wrongly: an open, an ioctl, a
// fork, an exec, the poll, the signal set-up.
inline constexpr int kErrorSystem = 110;
// The poll reported readiness on no entry that the daemon knows.
inline constexpr int kErrorUnknownDescriptor = 111;
