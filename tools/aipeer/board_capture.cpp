#include "tools/aipeer/board_capture.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "core/platform.h"
#include "core/update_paths.h"
#include "image/flash.h"
#include "image/image_signature.h"
#include "image/update_image.h"
#include "tools/common/formatted.h"
#include "tools/common/input_file.h"

namespace {

constexpr std::string_view kFirmwareKey = "BTFIRMWARE=";
constexpr std::uint64_t kMebibyte = std::uint64_t{1} << 20;
// The /etc files that the daemon reads, which a board's folder holds in etc/.
constexpr const char* kEtcTexts[] = {"data.txt", "service.txt", "terminal.txt"};

void warn(const std::string& message) { std::fprintf(stderr, "aipeer: %s\n", message.c_str()); }

bool fail(const std::string& message) {
    warn(message);
    return false;
}

std::string_view withoutTrailing(std::string_view text, std::string_view characters) {
    while (!text.empty() && characters.find(text.back()) != std::string_view::npos)
        text.remove_suffix(1);
    return text;
}

// The dump as the read step left it: a regular file that root or this user owns, named
// without following a link, as any process on the board can put something at a name in /tmp.
bool readDump(std::string* dump) {
    int fd = open(kPsKeyDumpPath, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return fail(
            formatted("the read step left no dump %s: %s", kPsKeyDumpPath, std::strerror(errno)));
    struct stat info {};
    bool usable = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                  (info.st_uid == 0 || info.st_uid == geteuid());
    close(fd);
    if (!usable)
        return fail(
            formatted("%s is not a regular file of root's or this user's: not the read "
                      "step's dump",
                      kPsKeyDumpPath));
    std::string error;
    if (!readInputFile(kPsKeyDumpPath, dump, &error, kMaxCapturedFileBytes)) return fail(error);
    return true;
}

std::string captureOrigin() {
    char host[256] = "";
    if (gethostname(host, sizeof host - 1) != 0) std::snprintf(host, sizeof host, "%s", "?");
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char when[32] = "";
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &utc);
    return formatted("%s, %s", host, when);
}

// The flash through the daemon's platform seam: its size, and its contents when wanted.
std::optional<std::uint32_t> askFlashSize(std::string* error) {
    int fd = devOpen(kFlashDevicePath, O_RDONLY);
    if (fd < 0) {
        *error = formatted("%s: %s", kFlashDevicePath, std::strerror(errno));
        return std::nullopt;
    }
    FlashInfo info{};
    int asked = devIoctl(fd, FLASH_GET_INFO, &info);
    int askError = errno;
    devClose(fd);
    if (asked < 0) {
        *error = formatted("%s: asking its size: %s", kFlashDevicePath, std::strerror(askError));
        return std::nullopt;
    }
    if (info.totalSize == 0 || info.totalSize % sectorSize != 0) {
        *error = formatted("%s: a size of %u bytes, not whole 64 KiB sectors", kFlashDevicePath,
                           static_cast<unsigned>(info.totalSize));
        return std::nullopt;
    }
    return info.totalSize;
}

std::optional<std::string> readFlashContents(std::uint32_t size, std::string* error) {
    int fd = devOpen(kFlashDevicePath, O_RDONLY);
    if (fd < 0) {
        *error = formatted("%s: %s", kFlashDevicePath, std::strerror(errno));
        return std::nullopt;
    }
    std::string contents(size, '\0');
    std::size_t done = 0;
    bool read = devLseek(fd, 0, SEEK_SET) == 0;
    while (read && done < contents.size()) {
        errno = 0;
        ssize_t got = devRead(fd, contents.data() + done, contents.size() - done);
        if (got < 0 && errno == EINTR) continue;
        read = got > 0;
        if (read) done += static_cast<std::size_t>(got);
    }
    int readError = errno;
    devClose(fd);
    if (!read) {
        *error = formatted("%s: read %zu of %u bytes: %s", kFlashDevicePath, done,
                           static_cast<unsigned>(size),
                           readError != 0 ? std::strerror(readError) : "end of the device");
        return std::nullopt;
    }
    return contents;
}

}  // namespace

std::string firmwareOfDataTxt(std::string_view dataTxt) {
    for (std::size_t at = 0; at < dataTxt.size();) {
        std::size_t end = std::min(dataTxt.find('\n', at), dataTxt.size());
        std::string_view line = dataTxt.substr(at, end - at);
        if (line.starts_with(kFirmwareKey))
            return std::string(withoutTrailing(line.substr(kFirmwareKey.size()), " \r"));
        at = end + 1;
    }
    return "";
}

std::string capturedModulePsr(std::string_view dump, std::string_view dataTxt,
                              std::string_view origin) {
    // CR LF, as the dump's own lines end.
    std::string text = "// captured by aipeer capture on " + std::string(origin) +
                       ": the read step's dump of the module's PS-Keys\r\n";
    const std::string firmware = firmwareOfDataTxt(dataTxt);
    if (firmware.empty()) {
        text +=
            "// the module's firmware is not named in /etc/data.txt (BTFIRMWARE=): add "
            "it as // firmware: VERSION\r\n";
    } else {
        text += "// firmware: " + firmware + "\r\n";
    }
    // The read step talks HCI from the module's reset: a module that starts on BCSP never
    // answers it, and its capture ends NOK.
    text += "// starts on: hci\r\n";
    text +=
        "// keys the module's firmware refuses to set can't be read off a board: add them "
        "as // refuses: &kkkk &kkkk\r\n";
    text += dump;
    return text;
}

std::string captureSignatureHint(std::string_view cause, bool ownImage) {
    const std::string refused = std::string("image file ") + kImagePath + " refused: ";
    const std::string update = ownImage ? "aipeer's read-only update" : "the image given";
    if (cause.find(refused + "no signature") != std::string_view::npos)
        return "the board takes only signed images, and " + update +
               " is unsigned: sign it with the makers' key (aipeer capture-image FILE; "
               "mkupdate sign --key KEY.pem FILE) and capture with --image FILE, or from the "
               "PC: scripts/capture-board.sh --sign KEY.pem";
    if (cause.find(refused + "signed by unknown key ") != std::string_view::npos)
        return "no key of the board signed " + update +
               ": sign it with the makers' key that the board holds";
    constexpr std::string_view kOlder = " is older than the board's ";
    const std::size_t older = cause.find(kOlder);
    if (cause.find(refused + "security version ") == std::string_view::npos ||
        older == std::string_view::npos)
        return "";
    const std::string_view rest = cause.substr(older + kOlder.size());
    const std::string board(rest.substr(0, rest.find_first_not_of("0123456789")));
    return "the board's security version is " + board +
           ": sign the read-only update again with --security-version " + board +
           " (mkupdate sign --resign), or from the PC: scripts/capture-board.sh --sign KEY.pem "
           "--security-version " +
           board;
}

std::string flashSizeText(std::uint64_t size) {
    if (size % kMebibyte == 0)
        return formatted("%lluM\n", static_cast<unsigned long long>(size / kMebibyte));
    return formatted("%llu\n", static_cast<unsigned long long>(size));
}

BoardFolder::~BoardFolder() { discard(); }

bool BoardFolder::make(const std::string& path) {
    path_ = path;
    if (mkdir(path.c_str(), 0755) != 0) {
        if (errno == EEXIST)
            return fail(path + " exists: a capture makes the board's folder itself");
        return fail(
            formatted("can't make the board's folder %s: %s", path.c_str(), std::strerror(errno)));
    }
    made_.push_back(path);
    return true;
}

bool BoardFolder::addFolder(const std::string& name) {
    const std::string path = path_ + "/" + name;
    if (mkdir(path.c_str(), 0755) != 0)
        return fail(formatted("can't make %s: %s", path.c_str(), std::strerror(errno)));
    made_.push_back(path);
    return true;
}

bool BoardFolder::addFile(const std::string& name, std::string_view content) {
    const std::string path = path_ + "/" + name;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return fail(formatted("can't write %s: %s", path.c_str(), std::strerror(errno)));
    made_.push_back(path);
    std::size_t done = 0;
    while (done < content.size()) {
        ssize_t put = write(fd, content.data() + done, content.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) break;
        done += static_cast<std::size_t>(put);
    }
    int error = done == content.size() ? 0 : errno;
    if (close(fd) != 0 && error == 0) error = errno;
    if (done != content.size() || error != 0)
        return fail(
            formatted("can't write %s: %s", path.c_str(), std::strerror(error != 0 ? error : EIO)));
    return true;
}

void BoardFolder::discard() {
    for (auto it = made_.rbegin(); it != made_.rend(); ++it) std::remove(it->c_str());
    made_.clear();
}

bool BoardFolder::fill(bool flashContents) {
    std::string dataTxt, dump;
    if (!addEtcTexts(&dataTxt) || !addTrust() || !readDump(&dump)) return false;
    if (!addFile("module.psr", capturedModulePsr(dump, dataTxt, captureOrigin()))) return false;
    return addFlash(flashContents);
}

bool BoardFolder::addEtcTexts(std::string* dataTxt) {
    std::string error;
    if (!addFolder("etc")) return false;
    for (const char* name : kEtcTexts) {
        const std::string path = std::string("/etc/") + name;
        std::string content;
        if (access(path.c_str(), F_OK) != 0 && errno == ENOENT) {
            warn(path + ": not on the board; a rehearsal takes the sample board's in its place");
            continue;
        }
        if (!readInputFile(path, &content, &error, kMaxCapturedFileBytes)) return fail(error);
        if (!addFile(std::string("etc/") + name, content)) return false;
        if (std::string_view(name) == "data.txt") *dataTxt = content;
    }
    return true;
}

// The board's trust: its update keys and its security version, as the daemon finds them.
bool BoardFolder::addTrust() {
    std::string error;
    struct stat info {};
    if (stat(kUpdateKeyFolder, &info) == 0 && S_ISDIR(info.st_mode)) {
        std::unique_ptr<DIR, int (*)(DIR*)> folder(opendir(kUpdateKeyFolder), closedir);
        if (!folder) return fail(formatted("%s: %s", kUpdateKeyFolder, std::strerror(errno)));
        std::vector<std::string> names;
        while (dirent* entry = readdir(folder.get())) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        if (!addFolder("etc/update-keys")) return false;
        for (const std::string& name : names) {
            const std::string path = std::string(kUpdateKeyFolder) + "/" + name;
            // The daemon opens its keys without following a link: a link is no key it reads.
            if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
                warn(path +
                     ": not a regular file; left out (the board counts it as a key it "
                     "can't read)");
                continue;
            }
            std::string content;
            if (!readInputFile(path, &content, &error, kMaxCapturedFileBytes)) return fail(error);
            if (!addFile("etc/update-keys/" + name, content)) return false;
        }
    } else if (lstat(kUpdateKeyFolder, &info) == 0) {
        warn(std::string(kUpdateKeyFolder) +
             ": not a folder; left out (the board refuses every image)");
    }
    if (lstat(kSecurityVersionPath, &info) == 0) {
        std::string content;
        if (!readInputFile(kSecurityVersionPath, &content, &error, kMaxCapturedFileBytes))
            return fail(error);
        if (!addFile("etc/update-security-version", content)) return false;
    }
    return true;
}

bool BoardFolder::addFlash(bool flashContents) {
    std::string error;
    std::optional<std::uint32_t> size = askFlashSize(&error);
    if (!size) {
        warn("the flash's size is not captured: " + error +
             "; a rehearsal takes the sample board's");
        return !flashContents || fail("the flash's contents can't be captured without its size");
    }
    if (!addFile("flash", flashSizeText(*size))) return false;
    if (!flashContents) return true;
    std::optional<std::string> contents = readFlashContents(*size, &error);
    if (!contents) return fail("the flash's contents: " + error);
    return addFile("flash.bin", *contents);
}
