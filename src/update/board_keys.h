// What an update changes of the board's trust: the key set that checks images, which a signed
// update may replace, and the security version below which no image is taken any more. Both
// change together, at the end of an update whose steps all ended OK, and only then.
#pragma once

#include <cstdint>

#include "image/image_signature.h"
#include "update/key_set_folders.h"
#include "update/step_actions.h"  // updateKeysStep, the step UPDATE_KEYS

// An update's next key set travels in its archive as this folder of key files (*.key).
inline constexpr char kUpdateKeysFolderName[] = "update-keys";
inline constexpr char kUpdateKeysSource[] = "/tmp/update.d/update-keys";

// Where the reception reads the board's keys (the key folder, or on an enrolled board whose
// link is missing its newest set), and in rules by which rules: the key folder's link only to a
// set beside it, and no image without keys on a board that has held them.
const char* boardKeyFolder(KeyFolderRules* rules);

// At the end of an update. One that ended OK (ok) raises the board's security version to its
// image's when a key of the board verified it and that is higher, then puts in the key set that
// its key step staged, then records its key-set version; false (logged) when the version or
// the set couldn't be put in. One that ended NOK (false
// then) leaves both as they were and removes the staged set.
bool finishBoardTrust(bool ok);
