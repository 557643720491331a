#include "tools/rehearse/board_keys.h"

#include <algorithm>
#include <filesystem>
#include <vector>

#include "image/sha256.h"
#include "tools/common/input_file.h"
#include "tools/common/numbers.h"

namespace fs = std::filesystem;

namespace {

// Deeper than any board's folder: a loop of links, which the seeding refuses.
constexpr int kDeepest = 16;

void hashText(Sha256Context& context, const std::string& text) {
    sha256Update(context, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

// One folder's entries into the hash, in name order, each file's content as transform gives it:
// false when one can't be read.
bool hashTree(Sha256Context& context, const fs::path& folder, const std::string& prefix, int depth,
              const ContentTransform& transform) {
    if (depth > kDeepest) return false;
    std::error_code error;
    std::vector<fs::directory_entry> entries;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        entries.push_back(*it);
    if (error) return false;
    std::sort(entries.begin(), entries.end());
    for (const fs::directory_entry& entry : entries) {
        const std::string name = prefix + entry.path().filename().string();
        if (entry.is_symlink(error))
            hashText(context,
                     "link " + name + '\0' + fs::read_symlink(entry, error).string() + '\0');
        if (entry.is_directory(error)) {
            hashText(context, "folder " + name + '\0');
            if (!hashTree(context, entry.path(), name + '/', depth + 1, transform)) return false;
        } else if (entry.is_regular_file(error)) {
            std::string content, unread;
            if (!readInputFile(entry.path().string(), &content, &unread)) return false;
            content = transform(name, std::move(content));
            hashText(context, "file " + name + '\0' + std::to_string(content.size()) + '\0');
            hashText(context, content);
        } else {
            return false;
        }
        if (error) return false;
    }
    return true;
}

std::string treeKey(const std::vector<std::pair<fs::path, std::string>>& trees,
                    const ContentTransform& transform) {
    Sha256Context context;
    sha256Init(context);
    for (const auto& [folder, prefix] : trees)
        if (!hashTree(context, folder, prefix, 0, transform)) return "";
    const Sha256Digest digest = sha256Final(context);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : digest) text += {kHex[byte >> 4], kHex[byte & 15]};
    return text;
}

}  // namespace

std::string folderKey(const std::string& folder, const ContentTransform& transform) {
    return treeKey({{folder, ""}}, transform);
}

bool parseShard(const std::string& text, Shard* shard) {
    std::size_t slash = text.find('/');
    if (slash == std::string::npos) return false;
    std::optional<std::uint64_t> part = unsignedNumber(std::string_view(text).substr(0, slash));
    std::optional<std::uint64_t> parts = unsignedNumber(std::string_view(text).substr(slash + 1));
    // (A million parts is more than any fleet needs, and a count even a 32-bit build holds.)
    if (!part || !parts || *part < 1 || *part > *parts || *parts > 1000000) return false;
    shard->part = static_cast<std::size_t>(*part);
    shard->parts = static_cast<std::size_t>(*parts);
    return true;
}
