// The board's key set on flash. /etc/update-keys (link below) is a symbolic link to a
// versioned folder beside it, "update-keys.N", N rising with each set. A new set is written
// and synced in a folder of its own, and takes the old one's place by one rename of a new
// link over the old, which is atomic on every file system (an exchange of two folders isn't
// available on every flash file system, and two renames leave a moment with no key folder).
// "update-keys.enrolled" beside them stands once the board has held keys: from then on a
// board without keys refuses every image instead of taking images unsigned.
//
// Every write here is followed by a sync of the folder it changed, in an order that leaves
// the board, at a cut between any two of them, with its old set or its new one.
#pragma once

#include <cstdint>
#include <optional>

#include "image/image_signature.h"

// A set holds at most this many keys: the reception reads every one at each update.
inline constexpr int kMaxUpdateKeys = 16;

// Where the board's keys are read from now.
struct KeySetPlace {
    enum class Form {
        None,      // nothing at the link's name (and no set to read in its place)
        Folder,    // a plain folder (or a file) at the link's name: the form before links
        Link,      // a link naming set number (it may still be missing: the reader says so)
        Unlinked,  // an enrolled board with no link: its set is the highest-numbered folder
        Stray,     // a link to anything but a set beside it: the reader refuses it
    };
    Form form = Form::None;
    std::uint32_t number = 0;  // Link, Unlinked: the set's number
};
KeySetPlace findKeySet(const char* link);

// The path of set number beside link ("/etc/update-keys.3"), in path (size bytes); false when
// it doesn't fit.
bool keySetPath(const char* link, std::uint32_t number, char* path, std::size_t size);

// Whether the board has held keys: anything at link followed by ".enrolled" counts, so that
// a record that a cut or a hand damaged keeps the board closed.
bool keySetEnrolled(const char* link);
// Records it (written to a new name, synced, renamed, folder synced). False (logged) when it
// couldn't.
bool recordEnrolment(const char* link);

// Before a set is staged: the record is written when the board holds keys now (keyed), every
// versioned folder that isn't the board's set and the names a cut may leave of an unfinished
// link are removed, and a board with a plain key folder (or an enrolled one whose link a cut
// removed) is moved to the link form with its keys unchanged. False (logged) when that
// couldn't be done: nothing is to be staged then.
bool prepareKeySetChange(const char* link, bool keyed);

// Moves a plain key folder to the link form: the board's record first, then a new link
// naming set 0, then the folder renamed to set 0's name and the link renamed to the folder's,
// each synced. Between the two renames an enrolled board reads its set from the moved folder
// (Unlinked). False (logged) when it couldn't.
bool moveFolderToLinkForm(const char* link);

// Writes the key files of the real folder source (a link is refused, each file opened without
// following one) into a new versioned folder beside link, numbered above every set folder,
// synced with the folder that holds it. The link still names the board's set. Refuses
// (logged, nothing left) a key file that can't be read as a key, more than kMaxUpdateKeys
// keys, or none. The new set's number and its count of keys.
struct StagedKeySet {
    std::uint32_t number;
    int keys;
};
std::optional<StagedKeySet> stageKeySet(const char* source, const char* link);

// Makes set number the board's: the enrolment recorded first, then a new link naming the set
// renamed over the old one, then the folder that the old link named removed. False (logged)
// when the set couldn't be put in place: the board keeps its set then.
bool commitKeySet(const char* link, std::uint32_t number);

// Removes a staged set that isn't to be the board's.
void dropKeySet(const char* link, std::uint32_t number);
