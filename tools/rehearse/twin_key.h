// Which boards are twins for an image: two boards need one run when they differ only in values
// that no step of the image reads or writes. What the image can reach is read from the image
// itself (the PS-Keys its key file names); what the daemon reads of a board is what its steps
// read: data.txt only through the version check (the first line of each version keyword, and
// of CSRMODULINFO only its settings code and mark), the module's keys only through the steps
// that compare or set the image's keys and the keys the daemon presets. When in doubt a value
// matters: an image whose archive can't be read reaches every module key.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

namespace rehearse {

// What an image's steps can see of a module's keys.
struct ImageReach {
    bool read = false;  // the update archive was read whole: without it every key matters
    // Every "&kkkk" (lower case) that the image's PS-Key file holds anywhere, comments too.
    std::set<std::string> keysNamed;
};

// The image's reach; one that can't be read (or a build without the archive reader) reaches
// everything.
ImageReach readImageReach(const std::string& imagePath);

struct TwinKey {
    std::string key;  // "" when the folder can't be read whole: rehearsed on its own
    // What the key leaves out, each as its label ("data.txt SERIALNO=", "module PS-Key
    // &0001", "data.txt CSRMODULINFO= field SN") and the board's own value.
    std::map<std::string, std::string> leftOut;
};

// A board folder's key under every image of the rehearsal: the same for boards that are twins.
TwinKey twinKey(const std::string& folder, const std::vector<ImageReach>& images);

// data.txt as the key takes it: the values no version check reads left out (into leftOut).
std::string dataTxtForKey(const std::string& text, std::map<std::string, std::string>* leftOut);
// A module.psr as the key takes it: the words of the keys that no image reaches left out.
std::string modulePsrForKey(const std::string& text, const std::vector<ImageReach>& images,
                            std::map<std::string, std::string>* leftOut);

// What the twins of a group differed in: the labels whose values are not all alike among
// boards of the same key.
std::vector<std::string> twinsDifferIn(const std::vector<const TwinKey*>& boards);

}  // namespace rehearse
