// The operations that the update's log lines name where a helper reports on behalf of the one
// it serves (UPDATE_LOG_AS, UPDATE_ERR_AS): the name people grep the log for, spelt once.
#pragma once

// A start request: the image's reception and unpacking, and what the steps of an earlier
// update left (update/update_reception.cpp).
inline constexpr const char* kStartUpdate = "startUpdate";
// A message at the AI socket: the peer's requests, a child's end (update/update_events.cpp).
inline constexpr const char* kReadMessage = "readMessage";
// A step's action (update/state_machine.cpp).
inline constexpr const char* kStateMachine = "stateMachine";
