// Whether a staged key set may become the board's: the roles of image/key_set_statement.h.
// While neither set holds a root key and the new one carries no statement, any set that an
// image verified by a key of the board (or a board without keys) brings may replace it; from
// the first root key on, only the root keys decide.
#pragma once

#include <cstdint>

// Checks the set staged in the folder staged against the board's set in board (a folder that
// may be missing) and the board's key-set version. True when it may be put in, with the
// version its statement carries in version (0: no statement); false, with the reason logged
// in one line, when it may not.
bool keySetChangeAllowed(const char* board, const char* staged, std::uint32_t* version);
