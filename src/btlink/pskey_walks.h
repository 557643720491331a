// The three PS-Key walks. Each call sends one request; the step calls the walk again when the
// module has answered, so exactly one request is outstanding at a time.
//   reading walk  readAllPSKeys      get requests for the key ids 0x0000 to 0x03FF
//   file walk     writeAllPSKeys     set requests for the key lines of a .psr file
//   preset walk   writePresetPSKeys  set requests for the preset keys of the transport
// A walk that reaches its end says so in its result and is back at its start; the step then
// sets its end state and posts its wake-up. resetPsKeyWalks puts every walk back at its
// start when a step ends, so that a walk a step abandoned never continues in the next one.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string_view>

#include "btlink/pskey_line.h"
#include "core/file_util.h"

enum PsKeyWalkResult : int {
    WALK_FILE_NOT_OPENED = -1,  // writeAllPSKeys: the file can't be opened (logged). Nothing was
                                // sent and no end is reported: the step stays waiting and its
                                // alarm ends it " NOK".
    WALK_RESTARTED = 0,         // writePresetPSKeys(1): the list is back at its start, nothing sent
    WALK_REQUEST_SENT = 1,      // one request went to the module (a failed write is logged): wait
                                // for the answer
    WALK_LIST_END = 2,          // readAllPSKeys, writeAllPSKeys: the walk has ended, nothing sent:
                                // set STATE_LIST_END and post a wake-up
    WALK_PRESETS_DONE = 3,      // writePresetPSKeys: the list has ended, nothing sent: set
                                // STATE_PRESETS_DONE and post a wake-up
};

// The preset keys, one list per transport, each ended by an empty entry. Key 0x01a5 is set
// twice in each: to 1 and then to 0 on the HCI device, the other way round on the BCCMD
// channel.
inline constexpr std::array<std::string_view, 6> presetKeysHci{
    "&01a5 = 0001",
    "&01a5 = 0000",
    "&01a6 = 0000",
    "&01f9 = 0001",
    "&0191 = 1002 002e 00fa 0014 0004 0000 0004 001e 0064 000a",
    "",
};
inline constexpr std::array<std::string_view, 6> presetKeysBcsp{
    "&01a5 = 0000",
    "&01a5 = 0001",
    "&01a6 = 0001",
    "&01f9 = 0003",
    "&0191 = 1002 00a8 00fa 0014 0004 0000 0004 001e 0064 000a",
    "",
};

// The reading walk asks for every key id below this one.
inline constexpr std::uint32_t kReadKeyIdEnd = 0x0400;

// --- Next requests (the walk's sequence, without sending) ---

// The next key id of the reading walk, or nothing when every id has been asked for: the walk
// is then back at its start.
std::optional<std::uint16_t> nextReadRequest();

// The next preset of the list for transport, or nothing at the list's end: the walk is then
// back at its start.
std::optional<PsKey> nextPresetRequest(std::int32_t transport);

// The next key of the file walk's stream (the walk under way). Lines that don't begin with "&"
// are passed over; a key line that departs from the format is refused (logged with the file,
// its line number and what is wrong, counted) and passed over as well. Nothing at the file's
// end; the stream stays open.
std::optional<PsKey> nextFileRequest();

// --- The walks ---

// Sends the get request of the next key id (stores 0x0007). WALK_REQUEST_SENT, or
// WALK_LIST_END on the call after the one for 0x03FF (nothing sent; the next call begins a new
// walk at 0x0000).
PsKeyWalkResult readAllPSKeys();

// Sends the set request of the next key line of path (opened by the first call of a walk; a
// walk under way goes on in its stream, whatever path is given). WALK_REQUEST_SENT;
// WALK_LIST_END at the file's end (the stream closed); WALK_FILE_NOT_OPENED.
PsKeyWalkResult writeAllPSKeys(const char* path);

// restart 1: back to the start of the list, nothing sent (WALK_RESTARTED). Any other value:
// sends the set request of the next preset of the list for tlInterface (WALK_REQUEST_SENT), or
// reports the list's end (WALK_PRESETS_DONE, back at the start).
PsKeyWalkResult writePresetPSKeys(std::int32_t restart);

// The number of key lines the file walk has refused since it opened its file (or since the
// last reset). A step whose walk refused lines ends " NOK" after the walk.
std::int32_t refusedPsKeyLines();

// Puts every walk back at its start: the file walk's stream closed, the preset and reading
// walks at their first entries, the refusals forgotten. Called when a step ends.
void resetPsKeyWalks();
