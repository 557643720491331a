// mkupdate: builds and lists the update images of the BT-LAP update daemon.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/mkupdate/build_options.h"
#include "tools/mkupdate/image_builder.h"
#include "tools/mkupdate/image_files.h"
#include "tools/mkupdate/update_archive.h"
#include "tools/mkupdate/update_build.h"

namespace {

constexpr int kExitFailure = 1;  // a bad image, or a file that can't be read or written
constexpr int kExitUsage = 2;

const char* kHelp = R"(Usage: mkupdate COMMAND [OPTIONS] [FILES]
Builds, lists and takes apart update images of the BT-LAP update daemon. Every image has a
64-byte big-endian header: magic 0x11092001, header CRC-32, data size, data CRC-32, type,
name (at most 32 bytes, NUL-padded, not necessarily NUL-terminated); all other header
bytes are 0, so identical inputs give byte-identical images.

  mkupdate build -o OUT [--name NAME] [--note FILE] PARTS... [--steps LIST]
      Builds an update from its parts: writes update.d/updatetodo.txt and update.d/VERSION
      itself, packs update.d (mode 0755 for the DFU program, 0644 for the other files)
      and builds the multi-file image: FILE (or a line of the tool's own), the packed
      update.d, the LAP software image. NAME defaults to "BT-LAP update". One option per
      part; each file goes into update.d under the name shown:
        --lap IMAGE                 the LAP software image (made with wrap), or
        --lap-payload FILE --lap-name NAME   its payload, wrapped here (type 0)
        --pskeys FILE               pskeyorig.psr, the module's PS-Keys
        --dfu FILE                  dfu, the DFU program (must be executable)
        --stack FILE                stack.dfu, the module's firmware
        --bcsp-uart FILE            linabcsp_uart.o   } the BCSP kernel modules
        --bcsp FILE                 bcsp.o            } that the firmware step
        --bcsp-upchan FILE          linabcsp_upChan.o } loads
        --services FILE             service.txt, the SDP service records
        --firmware-version VERSION  BTFIRMWARE in VERSION
        --pskeys-version VERSION    CSRMODULINFO in VERSION
        --lap-version VERSION       LAP_VERSION in VERSION
        --flash-size BYTES          the board's flash (default 2097152)
      --steps LIST (step keywords, separated by commas; repeatable) is the to-do list.
      Without it the list holds every step whose part is given, in this order:
        CHECK_VERSIONS                  with a version
        BT_MOD_SET_FIRM_STACK           with the firmware (--dfu ... --bcsp-upchan),
        BT_MOD_SET_ALL_WRITE            and with --pskeys, over the firmware step's link
        BT_MOD_SET_READ, BT_MOD_SET_COMP, BT_MOD_SET_NEW_WRITE   with --pskeys alone
        LAP_SOFTWARE                    with the LAP software image
        CHECK_SDP                       with --services
        REMOVE_DFU_UPLOAD               with the firmware
      Nothing is written unless every part passes the daemon's own reading of it; each
      fault is reported (file, line, what is wrong) and the exit status is 1:
        PS-Keys: every line ends in CR LF and is at most 1023 bytes long; after the
          removal of "//" comments each line that begins with "&" is a key line the
          daemon reads ("&kkkk =", a blank and four hex digits per word, at most 40
          words); the keys ascend strictly.
        service records: the limits of the SDP merge (lines up to 1023 characters, each
          ended by a line feed; records of at least four fields; at most 40 records in
          2000 bytes).
        LAP software image: a header and checksums that the daemon accepts, and smaller
          than the flash's image space (flash size - 0x10000 - 0x20000).
        versions: not empty, no line break or other control character, the VERSION line
          at most 1022 characters. The firmware's is "BUILD VERSION" (a four-character
          build, a blank, the version, like "2114 17.3.5"); when the PS-Key file has key
          "&02a5", the build must be the one it carries (bytes 13 to 16), the one the
          version check compares with the installed firmware. LAP_VERSION is compared
          whole with the installed one.
        steps: keywords of the daemon's step table, at most 20, and each step's parts
          given (CHECK_VERSIONS a version, BT_MOD_SET_COMP and BT_MOD_SET_ALL_WRITE
          --pskeys, BT_MOD_SET_FIRM_STACK all five firmware files, LAP_SOFTWARE the LAP
          software image, CHECK_SDP --services).

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
      an image), what the update archive in file 1 holds (its members with modes and
      sizes, the steps of the to-do list as the daemon selects them, the versions of
      VERSION as the version check reads them), and the result.

  mkupdate extract IMAGE N -o OUT
      Writes file N (from 0) of a valid multi-file image to OUT. Extracting every file
      and giving them to "multi" with the image's name builds the same image again.

  mkupdate --help
      Shows this text.

Every output is written to a temporary file and renamed: a refusal or a failure leaves
OUT as it was. Exit status: 0 success (list: a valid image whose archive can be read),
1 bad input (a refused part, a bad image) or a file that can't be read or written,
2 wrong usage.
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
    std::string name = mkupdate::kDefaultUpdateName;
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
    mkupdate::ImageReport report = mkupdate::reportImage(image);
    std::fputs(report.text.c_str(), stdout);
    return report.valid ? EXIT_SUCCESS : kExitFailure;
}

int buildCommand(int argc, char** argv) {
    std::string error;
    mkupdate::RequestRefusal refusal;
    auto request = mkupdate::readBuildRequest({argv + 2, argv + argc}, &error, &refusal);
    if (!request)
        return refusal == mkupdate::RequestRefusal::Usage ? usageError(error) : failure(error);
    std::vector<std::string> faults;
    auto image = mkupdate::buildUpdate(request->update, &faults);
    if (!image) {
        for (const std::string& fault : faults)
            std::fprintf(stderr, "mkupdate: %s\n", fault.c_str());
        return kExitFailure;
    }
    if (!mkupdate::writeWholeFile(request->output, *image, &error)) return failure(error);
    return EXIT_SUCCESS;
}

int extractCommand(int argc, char** argv) {
    std::vector<std::string> positional;
    std::string output;
    for (int at = 2; at < argc; ++at) {
        std::string arg = argv[at];
        if (arg == "-o") {
            if (!takeValue(argc, argv, &at, &output)) return usageError("-o needs a value");
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usageError("unknown option " + arg + " for extract");
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 2 || output.empty()) return usageError("extract takes IMAGE N -o OUT");
    const std::string& number = positional[1];
    char* end = nullptr;
    unsigned long index = std::strtoul(number.c_str(), &end, 10);
    if (number.empty() || number[0] < '0' || number[0] > '9' || *end != '\0')
        return usageError("extract takes a file number from 0, not \"" + number + "\"");

    std::string error;
    mkupdate::Bytes image;
    if (!mkupdate::readWholeFile(positional[0], &image, &error)) return failure(error);
    mkupdate::ImageListing listing = mkupdate::inspectImage(image);
    if (!listing.valid()) return failure(positional[0] + ": " + listing.failure);
    if (!listing.multiFile) return failure(positional[0] + " is not a multi-file image");
    if (index >= listing.files.size()) {
        return failure(positional[0] + " holds files 0 to " +
                       std::to_string(listing.files.size() - 1) + ", not file " + number);
    }
    const mkupdate::ListedFile& file = listing.files[index];
    mkupdate::Bytes content(image.begin() + static_cast<long>(file.offset),
                            image.begin() + static_cast<long>(file.offset + file.size));
    if (!mkupdate::writeWholeFile(output, content, &error)) return failure(error);
    return EXIT_SUCCESS;
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
    if (command == "build") return buildCommand(argc, argv);
    if (command == "extract") return extractCommand(argc, argv);
    return usageError("unknown command \"" + command + "\"");
}
