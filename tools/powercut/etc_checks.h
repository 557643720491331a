// What a power cut must never do to the board's /etc: each watched piece is as it was before
// the update or as the update left it, never missing, mixed or cut short.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/powercut/crash_model.h"

namespace powercut {

// The watched pieces of a state, each as a text that tells its versions apart.
struct Watched {
    std::string keys;       // the key set the daemon reads (boardKeySet's rule)
    std::string version;    // update-security-version
    std::string services;   // service.txt
    std::string terminal;   // terminal.txt
    bool keyed = false;     // a key file (*.key) in the key set: unsigned images are refused
    bool enrolled = false;  // update-keys.enrolled stands: the board refuses unsigned images
};

// The key set as the board finds it: through update-keys when something stands there (a link
// to a set update-keys.N beside it, or a plain folder); with nothing there, on a board with
// update-keys.enrolled, the highest-numbered update-keys.N that is a real folder. The node of
// that folder, or nullopt with why set to what a reader makes of it instead.
std::optional<int> boardKeySet(const Tree& tree, const std::string& root, std::string* why);

Watched watchedOf(const Tree& tree, const std::string& root);

// One line per piece of state that is neither as in before nor as in after.
std::vector<std::string> brokenPieces(const Watched& state, const Watched& before,
                                      const Watched& after);

// One line per piece that a durable state had in its new form (committed) and state has lost.
std::vector<std::string> rolledBack(const Watched& state, const Watched& committed,
                                    const Watched& before, const Watched& after);

}  // namespace powercut
