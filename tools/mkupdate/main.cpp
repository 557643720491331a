// mkupdate: builds and lists the update images of the BT-LAP update daemon.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/mkupdate/image_builder.h"
#include "tools/mkupdate/image_files.h"
#include "tools/mkupdate/update_archive.h"

namespace {

constexpr int kExitFailure = 1;  // a bad image, or a file that can't be read or written
constexpr int kExitUsage = 2;
constexpr const char* kDefaultUpdateName = "BT-LAP update";

const char* kHelp = R"(Usage: mkupdate COMMAND [OPTIONS] [FILES]
Builds and lists update images of the BT-LAP update daemon. Every image has a 64-byte
big-endian header: magic 0x11092001, header CRC-32, data size, data CRC-32, type, name
(at most 32 bytes, NUL-padded, not necessarily NUL-terminated); all other header bytes
are 0, so identical inputs give byte-identical images.

  mkupdate wrap --name NAME [--type N] PAYLOAD -o OUT
      Wraps PAYLOAD into a single image of type N (0 to 255 but 4; default 0).
      The LAP software image is made this way; its name begins with "Linux".

  mkupdate multi [--name NAME] -o OUT FILE0 FILE1 [FILE...]
      Builds a multi-file update image (type 4) from the files in this order: file 0,
      file 1 (the update archive, a gzip-compressed tar of the folder update.d), ...,
      the last file (the LAP software image). Each file starts on a 4-byte boundary;
      the last one is not padded; no file may be empty. NAME defaults to "BT-LAP update".
      In place of any FILE, --pack-dir DIR packs the folder DIR, under the name
      update.d whatever DIR is called, as a gzip-compressed tar: members sorted by name,
      owner root, time 0, mode 0755 (folders, executables) or 0644.

  mkupdate list IMAGE
      Shows the header fields with both checksums verified, the files of a multi-file
      image with their offsets and sizes (and the header of a last file that is itself
      an image), and the result of the check that the daemon makes.

  mkupdate --help
      Shows this text.

Exit status: 0 success (list: a valid image), 1 a bad image or a file that can't be
read or written, 2 wrong usage.
)";

int usageError(const std::string& message) {
    std::fprintf(stderr, "mkupdate: %s (see mkupdate --help)\n", message.c_str());
    return kExitUsage;
}

int failure(const std::string& message) {
    std::fprintf(stderr, "mkupdate: %s\n", message.c_str());
    return kExitFailure;
}

bool isHelp(const char* arg) {
    return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0;
}

// An option's value: the next argument.
bool takeValue(int argc, char** argv, int* at, std::string* value) {
    if (*at + 1 >= argc) return false;
    *value = argv[++*at];
    return true;
}

int wrapCommand(int argc, char** argv) {
    std::string name;
    std::string output;
    std::string payloadPath;
    bool named = false;
    long type = 0;
    for (int at = 2; at < argc; ++at) {
        std::string arg = argv[at];
        std::string value;
        if (arg == "--name" || arg == "--type" || arg == "-o") {
            if (!takeValue(argc, argv, &at, &value)) return usageError(arg + " needs a value");
            if (arg == "--name") {
                name = value;
                named = true;
            } else if (arg == "-o") {
                output = value;
            } else {
                char* end = nullptr;
                type = std::strtol(value.c_str(), &end, 0);
                if (value.empty() || *end != '\0' || type < 0 || type > 255) {
                    return usageError("--type takes a number from 0 to 255, not \"" + value + "\"");
                }
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usageError("unknown option " + arg + " for wrap");
        } else if (payloadPath.empty()) {
            payloadPath = arg;
        } else {
            return usageError("wrap takes one payload file, got also " + arg);
        }
    }
    if (!named) return usageError("wrap needs --name NAME");
    if (payloadPath.empty()) return usageError("wrap needs a payload file");
    if (output.empty()) return usageError("wrap needs -o OUT");

    std::string error;
    mkupdate::Bytes payload;
    if (!mkupdate::readWholeFile(payloadPath, &payload, &error)) return failure(error);
    auto image = mkupdate::wrapImage(payload, name, static_cast<std::uint8_t>(type), &error);
    if (!image) return failure(error);
    if (!mkupdate::writeWholeFile(output, *image, &error)) return failure(error);
    return EXIT_SUCCESS;
}

int multiCommand(int argc, char** argv) {
    std::string name = kDefaultUpdateName;
    std::string output;
    // Each entry is a file path, or a folder to pack when marked.
    struct Item {
        std::string path;
        bool packFolder;
    };
    std::vector<Item> items;
    for (int at = 2; at < argc; ++at) {
        std::string arg = argv[at];
        std::string value;
        if (arg == "--name" || arg == "-o" || arg == "--pack-dir") {
            if (!takeValue(argc, argv, &at, &value)) return usageError(arg + " needs a value");
            if (arg == "--name") {
                name = value;
            } else if (arg == "-o") {
                output = value;
            } else {
                items.push_back({value, true});
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usageError("unknown option " + arg + " for multi");
        } else {
            items.push_back({arg, false});
        }
    }
    if (output.empty()) return usageError("multi needs -o OUT");
    if (items.size() < 2) return usageError("multi needs at least FILE0 and FILE1");

    std::string error;
    std::vector<mkupdate::Bytes> files;
    for (const Item& item : items) {
        mkupdate::Bytes content;
        if (item.packFolder) {
            auto archive = mkupdate::packUpdateFolder(item.path, &error);
            if (!archive) return failure(error);
            content = std::move(*archive);
        } else if (!mkupdate::readWholeFile(item.path, &content, &error)) {
            return failure(error);
        }
        if (content.empty()) return failure(item.path + " is empty; an image can't hold it");
        files.push_back(std::move(content));
    }
    auto image = mkupdate::buildMultiImage(files, name, &error);
    if (!image) return failure(error);
    if (!mkupdate::writeWholeFile(output, *image, &error)) return failure(error);
    return EXIT_SUCCESS;
}

int listCommand(int argc, char** argv) {
    if (argc != 3) return usageError("list takes one image file");
    std::string path = argv[2];
    if (path.size() > 1 && path[0] == '-')
        return usageError("unknown option " + path + " for list");
    std::string error;
    mkupdate::Bytes image;
    if (!mkupdate::readWholeFile(path, &image, &error)) return failure(error);
    std::string text = mkupdate::listingText(image);
    std::fputs(text.c_str(), stdout);
    return mkupdate::inspectImage(image).valid() ? EXIT_SUCCESS : kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usageError("no command given");
    for (int at = 1; at < argc; ++at) {
        if (isHelp(argv[at])) {
            std::fputs(kHelp, stdout);
            return EXIT_SUCCESS;
        }
    }
    std::string command = argv[1];
    if (command == "wrap") return wrapCommand(argc, argv);
    if (command == "multi") return multiCommand(argc, argv);
    if (command == "list") return listCommand(argc, argv);
    return usageError("unknown command \"" + command + "\"");
}
