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
    std::vector<ImageReach> images;   // the image and the compared one, if any
    Shard shard;                      // 1/1: every board
    std::string runs;                 // the folder of the runs ("": not checked)
    std::vector<std::string> fleets;  // the fleets' folders, which runs may not lie in
};

// The board folders of a fleet's folder, in the order of their names' bytes: each folder in
// it (hidden ones aside, links followed) that holds a board's piece (etc/, module.psr, flash or
// flash.bin). False, with the reason in error, when fleet is no folder or holds no board.
bool fleetBoards(const std::string& fleet, std::vector<std::string>* folders, std::string* error);

// The rehearsal's folder of runs, made when missing. False, with the reason in error, when it
// is a link or no folder, or holds anything but what rehearsals write there: the boards'
// runs, compared/ with the old image's runs, the pages and the JSON (a board's folder above
// all is not a rehearsal's to remove or write over).
bool makeRunsFolder(const std::string& runs, std::string* error);

// The boards of the part, in order. False, with the reason in error, for two boards named
// alike, a name that can't stand in a line (a tab, a line end) or is "compared" while an image
// is compared, a board folder inside runs or runs inside one or a fleet's, or a part that holds no
// board.
bool dealBoards(const DealRequest& request, std::vector<DealtBoard>* dealt, std::string* error);

// Each twin's run in each of the folders of runs, made anew: only twin-of, naming its stand-in.
// False, with the reason in error, when one can't be written.
bool writeTwinRuns(const std::vector<DealtBoard>& dealt, const std::vector<std::string>& runs,
                   std::string* error);

}  // namespace rehearse
