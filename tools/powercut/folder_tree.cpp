#include "tools/powercut/folder_tree.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace powercut {

namespace fs = std::filesystem;

namespace {

unsigned modeOf(const fs::path& path) {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) return 0644;
    return static_cast<unsigned>(status.st_mode) & 07777;
}

bool readInto(Tree& tree, int at, const fs::path& folder, std::string* error) {
    std::error_code code;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, code)) {
        Node node;
        node.mode = modeOf(entry.path());
        fs::file_status status = entry.symlink_status();
        if (fs::is_symlink(status)) {
            node.kind = Node::Kind::Link;
            node.bytes = fs::read_symlink(entry.path(), code).string();
        } else if (fs::is_directory(status)) {
            node.kind = Node::Kind::Folder;
        } else if (fs::is_regular_file(status)) {
            std::ifstream in(entry.path(), std::ios::binary);
            std::stringstream bytes;
            bytes << in.rdbuf();
            node.bytes = bytes.str();
            if (!in) code = std::make_error_code(std::errc::io_error);
        } else {
            *error = entry.path().string() + ": neither a file, a folder nor a link";
            return false;
        }
        if (code) break;
        tree.nodes.push_back(node);
        int index = static_cast<int>(tree.nodes.size()) - 1;
        tree.nodes[static_cast<std::size_t>(at)].entries[entry.path().filename()] = index;
        if (node.kind == Node::Kind::Folder && !readInto(tree, index, entry.path(), error))
            return false;
    }
    if (code) *error = folder.string() + ": " + code.message();
    return !code;
}

bool writeInto(const Tree& tree, int at, const fs::path& path, std::string* error) {
    const Node& node = tree.nodes[static_cast<std::size_t>(at)];
    std::error_code code;
    if (node.kind == Node::Kind::Link) {
        fs::create_symlink(node.bytes, path, code);
    } else if (node.kind == Node::Kind::Folder) {
        fs::create_directory(path, code);
        for (const auto& [name, child] : node.entries) {
            if (!code && !writeInto(tree, child, path / name, error)) return false;
        }
    } else {
        std::ofstream out(path, std::ios::binary);
        out.write(node.bytes.data(), static_cast<std::streamsize>(node.bytes.size()));
        out.close();
        if (!out) code = std::make_error_code(std::errc::io_error);
    }
    if (!code && node.kind != Node::Kind::Link)
        fs::permissions(path, static_cast<fs::perms>(node.mode), code);
    if (code) *error = path.string() + ": " + code.message();
    return !code;
}

}  // namespace

std::optional<Tree> readFolder(const std::string& path, std::string* error) {
    Tree tree;
    tree.nodes.push_back(Node{Node::Kind::Folder, "", {}, modeOf(path)});
    if (!fs::is_directory(path)) {
        *error = path + ": not a folder";
        return std::nullopt;
    }
    if (!readInto(tree, 0, path, error)) return std::nullopt;
    return tree;
}

bool writeFolder(const Tree& tree, const std::string& path, std::string* error) {
    return writeInto(tree, 0, path, error);
}

}  // namespace powercut
