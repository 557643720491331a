// What an update changes of the board's trust: the key set that checks images, which a signed
// update may replace, and the security version below which no image is taken any more.
#pragma once

#include <cstdint>

// An update's next key set travels in its archive as this folder of key files (*.key).
inline constexpr char kUpdateKeysFolderName[] = "update-keys";
inline constexpr char kUpdateKeysSource[] = "/tmp/update.d/update-keys";
// A set holds at most this many keys: the reception reads every one at each update.
inline constexpr int kMaxUpdateKeys = 16;

// The step UPDATE_KEYS: installs the update's key set as the board's (the image verified by a
// key of the current set, or a board without keys), else ends NOK with the set kept.
void updateKeysStep();

// Replaces the key folder target with the key files of source, as a whole: a new folder
// beside target is filled and then takes target's place, so that at no moment does the board
// hold a part of either set. Refuses (logged, target untouched) a source that is a link or no
// folder, a key file that can't be read as a key, more than kMaxUpdateKeys keys, or none. The
// count of keys installed, or -1.
int installUpdateKeys(const char* source, const char* target);

// At the end of an update that ended OK: when a key of the board verified its image, the
// board's security version becomes the image's if that is higher (written to a new file that
// then takes the old one's place). False (logged) when it couldn't be written.
bool raiseBoardSecurityVersion();
