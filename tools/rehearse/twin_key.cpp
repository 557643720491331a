#include "tools/rehearse/twin_key.h"

#include <algorithm>
#include <cctype>
#include <regex>

#include "btlink/pskey_walks.h"
#include "tools/common/input_file.h"
#include "tools/rehearse/board_keys.h"
#if defined(REHEARSE_READS_ARCHIVES)
#include "tools/common/archive_listing.h"
#include "tools/common/image_builder.h"
#include "tools/common/image_files.h"
#endif

namespace rehearse {

namespace {

// The version check reads a keyword's line with a buffer of this many characters: a longer
// line goes on in the next read, which could pass for a line of its own. A data.txt with such
// a line is taken whole.
constexpr std::size_t kReadLine = 1022;
// Of the CSRMODULINFO value the version check reads the settings mark, at this place, and
// the settings code, its last two characters (before a CR).
constexpr std::size_t kSettingsMarkAt = 41;
constexpr std::size_t kSettingsMarkLength = 4;
constexpr std::size_t kSettingsCodeLength = 2;
constexpr std::string_view kModuleInfo = "CSRMODULINFO";
constexpr std::string_view kSerial = "SERIALNO=";

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Every "&kkkk" in a key file, wherever it stands: more than the keys it sets is no harm.
std::set<std::string> keysIn(const std::string& text) {
    std::set<std::string> keys;
    static const std::regex key("&[0-9A-Fa-f]{4}");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), key);
         it != std::sregex_iterator(); ++it)
        keys.insert(lowered(it->str()));
    return keys;
}

// The keys the daemon sets by itself, whichever line the module talks on.
std::set<std::string> presetKeys() {
    std::set<std::string> keys;
    for (const auto* list : {&presetKeysHci, &presetKeysBcsp})
        for (std::string_view preset : *list) keys.merge(keysIn(std::string(preset)));
    return keys;
}

// The CSRMODULINFO value's fields (";" apart) that hold none of the characters read, each
// masked in value and noted with its name (its text before a space).
void maskModuleInfo(std::string& value, std::map<std::string, std::string>* leftOut) {
    std::size_t end = value.size() - (value.ends_with('\r') ? 1 : 0);
    if (end < kSettingsCodeLength) return;
    auto read = [&](std::size_t at) {
        return (at >= kSettingsMarkAt && at < kSettingsMarkAt + kSettingsMarkLength) ||
               at + kSettingsCodeLength >= end;
    };
    for (std::size_t start = 0; start < end;) {
        std::size_t stop = std::min(value.find(';', start), end);
        bool unread = stop > start;
        for (std::size_t at = start; at < stop && unread; ++at) unread = !read(at);
        if (unread) {
            std::string field = value.substr(start, stop - start);
            (*leftOut)[std::string("data.txt ") + std::string(kModuleInfo) + "= field " +
                       field.substr(0, field.find(' '))] = field;
            std::fill(value.begin() + static_cast<std::ptrdiff_t>(start),
                      value.begin() + static_cast<std::ptrdiff_t>(stop), '*');
        }
        start = stop + 1;
    }
}

}  // namespace

ImageReach readImageReach([[maybe_unused]] const std::string& imagePath) {
    ImageReach reach;
#if defined(REHEARSE_READS_ARCHIVES)
    // The update archive is the image's file 1; the daemon reads the keys at update.d/.
    constexpr std::size_t kArchiveFile = 1;
    constexpr std::string_view kUpdateKeys = "update.d/pskeyorig.psr";
    mkupdate::Bytes image;
    std::string error;
    if (!mkupdate::readWholeFile(imagePath, &image, &error)) return reach;
    mkupdate::ImageListing listing = mkupdate::inspectImage(image);
    if (!listing.valid() || !listing.multiFile || listing.files.size() <= kArchiveFile ||
        !listing.files[kArchiveFile].inside)
        return reach;
    const mkupdate::ListedFile& file = listing.files[kArchiveFile];
    mkupdate::ArchiveListing archive =
        mkupdate::listUpdateArchive(std::span(image).subspan(file.offset, file.size));
    if (!archive.failure.empty()) return reach;
    reach.read = true;
    if (const auto* keys = mkupdate::findArchiveFile(archive.contents.entries, kUpdateKeys))
        reach.keysNamed = keysIn(std::string(keys->content.begin(), keys->content.end()));
#endif
    return reach;
}

std::string dataTxtForKey(const std::string& text, std::map<std::string, std::string>* leftOut) {
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(start, end - start));
        if (lines.back().size() > kReadLine) return text;
        start = end;
    }
    std::string out;
    bool infoRead = false;
    for (std::string& line : lines) {
        bool ended = line.ends_with('\n');
        std::string body = ended ? line.substr(0, line.size() - 1) : line;
        if (body.starts_with(kSerial)) {
            // Nothing reads the serial number.
            std::string value = body.substr(kSerial.size());
            if (value.ends_with('\r')) value.pop_back();
            (*leftOut)["data.txt " + std::string(kSerial)] = value;
            body = std::string(kSerial) + (body.ends_with('\r') ? "\r" : "");
        } else if (body.starts_with(kModuleInfo) && !infoRead && ended &&
                   body.size() > kModuleInfo.size()) {
            // The first such line is the one read, its value after one separator; a line
            // without its line end loses its last character to the reading.
            infoRead = true;
            std::string value = body.substr(kModuleInfo.size() + 1);
            maskModuleInfo(value, leftOut);
            body = body.substr(0, kModuleInfo.size() + 1) + value;
        } else if (body.starts_with(kModuleInfo)) {
            infoRead = true;
        }
        out += body + (ended ? "\n" : "");
    }
    return out;
}

std::string modulePsrForKey(const std::string& text, const std::vector<ImageReach>& images,
                            std::map<std::string, std::string>* leftOut) {
    if (images.empty() ||
        !std::all_of(images.begin(), images.end(), [](const ImageReach& i) { return i.read; }))
        return text;
    static const std::set<std::string> presets = presetKeys();
    // A key line as seeding takes it: its words are all a key holds.
    static const std::regex keyLine("(&[0-9A-Fa-f]{4}) =((?: [0-9A-Fa-f]{4}){0,40})( *//.*)?\r?");
    std::string out;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(start, end - start);
        start = end;
        std::smatch match;
        std::string body = line.substr(0, line.size() - (line.ends_with('\n') ? 1 : 0));
        if (std::regex_match(body, match, keyLine)) {
            const std::string key = lowered(match[1].str());
            bool reached = presets.contains(key) ||
                           std::any_of(images.begin(), images.end(), [&](const ImageReach& i) {
                               return i.keysNamed.contains(key);
                           });
            if (!reached) {
                std::string words = match[2].str();
                (*leftOut)["module PS-Key " + key] = lowered(words.empty() ? "" : words.substr(1));
                for (char& c : words)
                    if (c != ' ') c = '*';
                line = match[1].str() + " =" + words + line.substr(match[2].second - body.begin());
            }
        }
        out += line;
    }
    return out;
}

TwinKey twinKey(const std::string& folder, const std::vector<ImageReach>& images) {
    TwinKey twin;
    twin.key = folderKey(folder, [&](const std::string& name, std::string content) {
        if (name == "etc/data.txt") return dataTxtForKey(content, &twin.leftOut);
        if (name == "module.psr") return modulePsrForKey(content, images, &twin.leftOut);
        return content;
    });
    return twin;
}

std::vector<std::string> twinsDifferIn(const std::vector<const TwinKey*>& boards) {
    // Per key: its boards, and per label the values seen and the boards that hold it.
    struct Seen {
        std::size_t boards = 0;
        std::map<std::string, std::pair<std::set<std::string>, std::size_t>> labels;
    };
    std::map<std::string, Seen> seen;
    for (const TwinKey* board : boards) {
        if (board->key.empty()) continue;
        Seen& twins = seen[board->key];
        ++twins.boards;
        for (const auto& [label, value] : board->leftOut) {
            auto& [values, holding] = twins.labels[label];
            values.insert(value);
            ++holding;
        }
    }
    std::set<std::string> differ;
    for (const auto& [key, twins] : seen)
        for (const auto& [label, held] : twins.labels)
            if (held.first.size() > 1 || held.second < twins.boards) differ.insert(label);
    return {differ.begin(), differ.end()};
}

}  // namespace rehearse
