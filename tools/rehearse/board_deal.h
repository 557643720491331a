// Which boards of a rehearsal run and which stand in for each other: the boards in the order
// given, each named by its folder, the twins (tools/rehearse/twin_key.h) to the first of
// them, and with a shard only the part's boards.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tools/rehearse/board_keys.h"
#include "tools/rehearse/twin_key.h"

namespace rehearse {

// The folder's name as a rehearsal names the board: of its path as written (a link not
// followed), "." and ".." resolved.
std::string boardName(const std::string& folder);

struct DealtBoard {
    std::size_t position = 0;  // in the boards as given, from 1
    std::string name;
    std::string standIn;  // the board whose run stands for this one's; "" when it runs itself
    std::string folder;
};

struct DealRequest {
    std::vector<std::string> folders;
    std::vector<ImageReach> images;  // the image and the compared one, if any
    Shard shard;                     // 1/1: every board
    std::string runs;                // the folder of the runs ("": not checked)
};

// The boards of the part, in order. False, with the reason in error, for two boards named
// alike, a name that can't stand in a line (a tab, a line end) or is "compared" while an image
// is compared, a board folder inside runs or runs inside one, or a part that holds no board.
bool dealBoards(const DealRequest& request, std::vector<DealtBoard>* dealt, std::string* error);

}  // namespace rehearse
