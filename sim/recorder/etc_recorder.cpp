// The power-cut check's recorder: a library loaded (LD_PRELOAD) into the simulated-board daemon
// and every program it starts, which logs each file-system operation on a path under /etc, in
// the order they were made, for tools/powercut to build the states a power cut could leave.
// It sees the libc calls that programs make themselves (the daemon's, its shell's and cp's);
// calls inside libc (stdio's writes) it can't see, so a stdio stream opened for writing under
// /etc is logged as "unsupported" and fails the replay rather than being missed. Not followed
// either: a descriptor opened under /etc that a program keeps across an exec, and O_TMPFILE
// files (the replay's check of /etc after the run finds what they would have left).
//
// POWER_CUT_LOG names the log (appended to; nothing is logged without it). One operation a
// line, fields separated by one space, paths and bytes percent-encoded (every byte that isn't
// a letter, a digit or one of "/._-+" as %XX):
//   open PID FD PATH            an existing file or folder opened
//   create PID FD PATH MODE     a file created by the open
//   write PID FD OFFSET BYTES   bytes written at OFFSET (also what a copy_file_range or a
//                               sendfile put there, read back)
//   trunc PID FD SIZE           the file cut to SIZE (an open with O_TRUNC: SIZE 0)
//   fsync PID FD | close PID FD | dup PID FD NEWFD
//   rename FROM TO | exchange A B | link FROM TO | symlink TARGET PATH
//   unlink PATH | rmdir PATH | mkdir PATH MODE | sync | unsupported WHAT PATH
//   fchmod PID FD MODE          the mode of the file open as FD changed (fchmod)
//   chmod PATH MODE             the mode of what PATH leads to changed (chmod, fchmodat)
// The replay keeps no owners: a change of owner under /etc is logged as unsupported (one that
// leaves the owner as it was is no change and isn't logged).
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

namespace {

// The sandbox binds this machine's /etc/alternatives there for /usr's programs: not the board's.
constexpr std::string_view kRoot = "/etc";
constexpr std::string_view kSkipped = "/etc/alternatives";
constexpr int kMaxFd = 4096;
bool tracked[kMaxFd];

template <typename Function>
Function real(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

using OpenFn = int (*)(const char*, int, ...);
using OpenatFn = int (*)(int, const char*, int, ...);
using WriteFn = ssize_t (*)(int, const void*, size_t);
using CloseFn = int (*)(int);

std::string encoded(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size());
    for (char c : bytes) {
        auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
            (byte >= '0' && byte <= '9') || std::strchr("/._-+", byte) != nullptr) {
            text += c;
        } else {
            text += '%';
            text += kHex[byte >> 4];
            text += kHex[byte & 15];
        }
    }
    return text;
}

// One line to the log, in one write, through libc's own calls (never back into this library).
void logLine(const std::string& line) {
    const char* path = getenv("POWER_CUT_LOG");
    if (path == nullptr) return;
    int saved = errno;
    static auto realOpen = real<OpenFn>("open");
    static auto realWrite = real<WriteFn>("write");
    static auto realClose = real<CloseFn>("close");
    int fd = realOpen(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        std::string text = line + "\n";
        (void)!realWrite(fd, text.data(), text.size());
        realClose(fd);
    }
    errno = saved;
}

std::string number(long long value) { return std::to_string(value); }
std::string pid() { return number(getpid()); }

// The absolute path that dirfd and path name, with "." and ".." taken away by their names.
std::string absolute(int dirfd, const char* path) {
    std::string base;
    if (path[0] != '/') {
        char buffer[4096];
        if (dirfd == AT_FDCWD) {
            if (getcwd(buffer, sizeof buffer) == nullptr) return "";
        } else {
            std::string link = "/proc/self/fd/" + number(dirfd);
            ssize_t length = readlink(link.c_str(), buffer, sizeof buffer - 1);
            if (length < 0) return "";
            buffer[length] = '\0';
        }
        base = buffer;
    }
    std::string whole = base + "/" + path;
    std::string out;
    std::size_t at = 0;
    while (at < whole.size()) {
        std::size_t end = whole.find('/', at);
        if (end == std::string::npos) end = whole.size();
        std::string_view part(whole.data() + at, end - at);
        if (part == "..") {
            std::size_t slash = out.rfind('/');
            out.resize(slash == std::string::npos ? 0 : slash);
        } else if (!part.empty() && part != ".") {
            out += "/";
            out += part;
        }
        at = end + 1;
    }
    return out.empty() ? "/" : out;
}

bool watched(const std::string& path) {
    auto under = [&](std::string_view folder) {
        return path == folder || (path.size() > folder.size() && path.starts_with(folder) &&
                                  path[folder.size()] == '/');
    };
    return under(kRoot) && !under(kSkipped);
}

bool isTracked(int fd) { return fd >= 0 && fd < kMaxFd && tracked[fd]; }

// Called before an open with the path it names; after it with its result.
struct OpenWatch {
    std::string path;
    bool existed = false;
};

OpenWatch beforeOpen(int dirfd, const char* path) {
    OpenWatch watch{absolute(dirfd, path), false};
    struct stat status {};
    if (watched(watch.path)) watch.existed = fstatat(dirfd, path, &status, 0) == 0;
    return watch;
}

void afterOpen(const OpenWatch& watch, int fd, int flags, mode_t mode) {
    if (fd < 0 || !watched(watch.path)) return;
    if (fd < kMaxFd) tracked[fd] = true;
    std::string head = pid() + " " + number(fd) + " " + encoded(watch.path);
    if (!watch.existed && (flags & O_CREAT) != 0) {
        // The mode as made, the process's umask taken off.
        struct stat status {};
        if (fstat(fd, &status) == 0) mode = status.st_mode;
        logLine("create " + head + " " + number(mode & 07777));
    } else {
        logLine("open " + head);
        if ((flags & O_TRUNC) != 0 && (flags & O_ACCMODE) != O_RDONLY)
            logLine("trunc " + pid() + " " + number(fd) + " 0");
    }
}

mode_t modeOf(int flags, va_list args) {
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

int doOpenat(const char* name, int dirfd, const char* path, int flags, mode_t mode) {
    static auto realOpenat = real<OpenatFn>(name);
    OpenWatch watch = beforeOpen(dirfd, path);
    int fd = realOpenat(dirfd, path, flags, mode);
    afterOpen(watch, fd, flags, mode);
    return fd;
}

int doOpen(const char* name, const char* path, int flags, mode_t mode) {
    static auto realOpen = real<OpenFn>(name);
    OpenWatch watch = beforeOpen(AT_FDCWD, path);
    int fd = realOpen(path, flags, mode);
    afterOpen(watch, fd, flags, mode);
    return fd;
}

void logWrite(int fd, off_t offset, const void* bytes, ssize_t done) {
    if (done <= 0) return;
    logLine("write " + pid() + " " + number(fd) + " " + number(offset) + " " +
            encoded({static_cast<const char*>(bytes), static_cast<std::size_t>(done)}));
}

// Where a write() on fd lands: its offset, or the end for a file opened to append.
off_t writeOffset(int fd) {
    if ((fcntl(fd, F_GETFL) & O_APPEND) != 0) {
        struct stat status {};
        return fstat(fd, &status) == 0 ? status.st_size : 0;
    }
    return lseek(fd, 0, SEEK_CUR);
}

// What a copy into fd put at offset, read back through a descriptor of its own.
void logCopied(int fd, off_t offset, ssize_t done) {
    if (done <= 0) return;
    std::string link = "/proc/self/fd/" + number(fd);
    static auto realOpen = real<OpenFn>("open");
    static auto realClose = real<CloseFn>("close");
    int reader = realOpen(link.c_str(), O_RDONLY | O_CLOEXEC);
    std::string bytes(static_cast<std::size_t>(done), '\0');
    if (reader < 0 || pread(reader, bytes.data(), bytes.size(), offset) != done) {
        logLine("unsupported copy " + encoded(link));
    } else {
        logWrite(fd, offset, bytes.data(), done);
    }
    if (reader >= 0) realClose(reader);
}

void logPaths(const char* what, int dirfd1, const char* from, int dirfd2, const char* to) {
    std::string a = absolute(dirfd1, from);
    std::string b = absolute(dirfd2, to);
    if (watched(a) && watched(b)) {
        logLine(std::string(what) + " " + encoded(a) + " " + encoded(b));
    } else if (watched(a) || watched(b)) {
        logLine(std::string("unsupported ") + what + " " + encoded(watched(a) ? a : b));
    }
}

void logPath(const char* what, int dirfd, const char* path, const std::string& tail = "") {
    std::string a = absolute(dirfd, path);
    if (watched(a)) logLine(std::string(what) + " " + encoded(a) + tail);
}

// A folder made, with its mode as made (the process's umask taken off).
void logFolder(int dirfd, const char* path, mode_t mode) {
    struct stat status {};
    if (fstatat(dirfd, path, &status, AT_SYMLINK_NOFOLLOW) == 0) mode = status.st_mode;
    logPath("mkdir", dirfd, path, " " + number(mode & 07777));
}

void logSymlink(const char* target, int dirfd, const char* path) {
    std::string at = absolute(dirfd, path);
    if (watched(at)) logLine("symlink " + encoded(target) + " " + encoded(at));
}

// The path a descriptor was opened under, or "" when it can't be told.
std::string pathOf(int fd) {
    char buffer[4096];
    std::string link = "/proc/self/fd/" + number(fd);
    ssize_t length = readlink(link.c_str(), buffer, sizeof buffer - 1);
    if (length <= 0) return "";
    return {buffer, static_cast<std::size_t>(length)};
}

// A mode changed through a descriptor: logged on a tracked one; one opened under /etc out of
// the recorder's sight (before an exec) fails the replay.
void logModeOf(int fd, mode_t mode) {
    if (isTracked(fd)) {
        logLine("fchmod " + pid() + " " + number(fd) + " " + number(mode & 07777));
    } else if (std::string path = pathOf(fd); watched(path)) {
        logLine("unsupported fchmod " + encoded(path));
    }
}

// Whether a change of owner to uid and gid (-1: kept) of what status describes changes it.
bool ownerChanges(const struct stat& status, uid_t uid, gid_t gid) {
    return (uid != static_cast<uid_t>(-1) && uid != status.st_uid) ||
           (gid != static_cast<gid_t>(-1) && gid != status.st_gid);
}

// Before a change of owner of what path names (followed unless flags say not): its path when
// it is under /etc and the change would change it, for the log once the change is made.
std::string ownerChanged(int dirfd, const char* path, uid_t uid, gid_t gid, int flags) {
    std::string at = absolute(dirfd, path);
    struct stat status {};
    bool changes =
        watched(at) &&
        fstatat(dirfd, path, &status, flags & (AT_SYMLINK_NOFOLLOW | AT_EMPTY_PATH)) == 0 &&
        ownerChanges(status, uid, gid);
    return changes ? at : "";
}

void logOwner(int result, const std::string& path) {
    if (result == 0 && !path.empty()) logLine("unsupported chown " + encoded(path));
}

int afterDup(int fd, int copy) {
    if (copy >= 0 && copy < kMaxFd && copy != fd) {
        if (tracked[copy]) logLine("close " + pid() + " " + number(copy));
        tracked[copy] = isTracked(fd);
        if (tracked[copy]) logLine("dup " + pid() + " " + number(fd) + " " + number(copy));
    }
    return copy;
}

}  // namespace

extern "C" {

// The fortified opens that programs built with _FORTIFY_SOURCE call; no header declares them.
int __open_2(const char* path, int flags);
int __open64_2(const char* path, int flags);
int __openat_2(int dirfd, const char* path, int flags);
int __openat64_2(int dirfd, const char* path, int flags);

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = modeOf(flags, args);
    va_end(args);
    return doOpen("open", path, flags, mode);
}
int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = modeOf(flags, args);
    va_end(args);
    return doOpen("open64", path, flags, mode);
}
int __open_2(const char* path, int flags) { return doOpen("open", path, flags, 0); }
int __open64_2(const char* path, int flags) { return doOpen("open64", path, flags, 0); }
int openat(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = modeOf(flags, args);
    va_end(args);
    return doOpenat("openat", dirfd, path, flags, mode);
}
int openat64(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = modeOf(flags, args);
    va_end(args);
    return doOpenat("openat64", dirfd, path, flags, mode);
}
int __openat_2(int dirfd, const char* path, int flags) {
    return doOpenat("openat", dirfd, path, flags, 0);
}
int __openat64_2(int dirfd, const char* path, int flags) {
    return doOpenat("openat64", dirfd, path, flags, 0);
}
int creat(const char* path, mode_t mode) {
    return doOpen("open", path, O_CREAT | O_WRONLY | O_TRUNC, mode);
}
int creat64(const char* path, mode_t mode) {
    return doOpen("open64", path, O_CREAT | O_WRONLY | O_TRUNC, mode);
}

FILE* fopen(const char* path, const char* mode) {
    static auto realFopen = real<FILE* (*)(const char*, const char*)>("fopen");
    if (std::strpbrk(mode, "wa+") != nullptr) logPath("unsupported fopen", AT_FDCWD, path);
    return realFopen(path, mode);
}
FILE* fopen64(const char* path, const char* mode) {
    static auto realFopen = real<FILE* (*)(const char*, const char*)>("fopen64");
    if (std::strpbrk(mode, "wa+") != nullptr) logPath("unsupported fopen", AT_FDCWD, path);
    return realFopen(path, mode);
}

ssize_t write(int fd, const void* bytes, size_t size) {
    static auto realWrite = real<WriteFn>("write");
    if (!isTracked(fd)) return realWrite(fd, bytes, size);
    off_t offset = writeOffset(fd);
    ssize_t done = realWrite(fd, bytes, size);
    logWrite(fd, offset, bytes, done);
    return done;
}
ssize_t pwrite(int fd, const void* bytes, size_t size, off_t offset) {
    static auto realPwrite = real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
    ssize_t done = realPwrite(fd, bytes, size, offset);
    if (isTracked(fd)) logWrite(fd, offset, bytes, done);
    return done;
}
ssize_t pwrite64(int fd, const void* bytes, size_t size, off64_t offset) {
    return pwrite(fd, bytes, size, offset);
}
ssize_t writev(int fd, const struct iovec* pieces, int count) {
    static auto realWritev = real<ssize_t (*)(int, const struct iovec*, int)>("writev");
    if (!isTracked(fd)) return realWritev(fd, pieces, count);
    off_t offset = writeOffset(fd);
    ssize_t done = realWritev(fd, pieces, count);
    logCopied(fd, offset, done);
    return done;
}
ssize_t copy_file_range(int in, off_t* inOffset, int out, off_t* outOffset, size_t size,
                        unsigned flags) {
    static auto realCopy =
        real<ssize_t (*)(int, off_t*, int, off_t*, size_t, unsigned)>("copy_file_range");
    off_t offset = outOffset != nullptr ? *outOffset : (isTracked(out) ? writeOffset(out) : 0);
    ssize_t done = realCopy(in, inOffset, out, outOffset, size, flags);
    if (isTracked(out)) logCopied(out, offset, done);
    return done;
}
ssize_t sendfile(int out, int in, off_t* inOffset, size_t size) {
    static auto realSendfile = real<ssize_t (*)(int, int, off_t*, size_t)>("sendfile");
    off_t offset = isTracked(out) ? writeOffset(out) : 0;
    ssize_t done = realSendfile(out, in, inOffset, size);
    if (isTracked(out)) logCopied(out, offset, done);
    return done;
}
ssize_t sendfile64(int out, int in, off64_t* inOffset, size_t size) {
    return sendfile(out, in, inOffset, size);
}
int ftruncate(int fd, off_t size) {
    static auto realFtruncate = real<int (*)(int, off_t)>("ftruncate");
    int result = realFtruncate(fd, size);
    if (result == 0 && isTracked(fd))
        logLine("trunc " + pid() + " " + number(fd) + " " + number(size));
    return result;
}
int ftruncate64(int fd, off64_t size) { return ftruncate(fd, size); }
int truncate(const char* path, off_t size) {
    static auto realTruncate = real<int (*)(const char*, off_t)>("truncate");
    logPath("unsupported truncate", AT_FDCWD, path);
    return realTruncate(path, size);
}
int fallocate(int fd, int mode, off_t offset, off_t size) {
    static auto realFallocate = real<int (*)(int, int, off_t, off_t)>("fallocate");
    if (isTracked(fd)) logLine("unsupported fallocate fd" + number(fd));
    return realFallocate(fd, mode, offset, size);
}

int fsync(int fd) {
    static auto realFsync = real<int (*)(int)>("fsync");
    int result = realFsync(fd);
    if (result == 0 && isTracked(fd)) logLine("fsync " + pid() + " " + number(fd));
    return result;
}
int fdatasync(int fd) {
    static auto realFdatasync = real<int (*)(int)>("fdatasync");
    int result = realFdatasync(fd);
    if (result == 0 && isTracked(fd)) logLine("fsync " + pid() + " " + number(fd));
    return result;
}
void sync() {
    static auto realSync = real<void (*)()>("sync");
    realSync();
    logLine("sync");
}
int syncfs(int fd) {
    static auto realSyncfs = real<int (*)(int)>("syncfs");
    int result = realSyncfs(fd);
    if (result == 0) logLine("sync");
    return result;
}

int close(int fd) {
    static auto realClose = real<CloseFn>("close");
    if (isTracked(fd)) {
        tracked[fd] = false;
        logLine("close " + pid() + " " + number(fd));
    }
    return realClose(fd);
}
int dup(int fd) { return afterDup(fd, real<int (*)(int)>("dup")(fd)); }
int dup2(int fd, int copy) { return afterDup(fd, real<int (*)(int, int)>("dup2")(fd, copy)); }
int dup3(int fd, int copy, int flags) {
    return afterDup(fd, real<int (*)(int, int, int)>("dup3")(fd, copy, flags));
}

int rename(const char* from, const char* to) {
    int result = real<int (*)(const char*, const char*)>("rename")(from, to);
    if (result == 0) logPaths("rename", AT_FDCWD, from, AT_FDCWD, to);
    return result;
}
int renameat(int fromFd, const char* from, int toFd, const char* to) {
    int result =
        real<int (*)(int, const char*, int, const char*)>("renameat")(fromFd, from, toFd, to);
    if (result == 0) logPaths("rename", fromFd, from, toFd, to);
    return result;
}
int renameat2(int fromFd, const char* from, int toFd, const char* to, unsigned flags) {
    // POWER_CUT_NO_EXCHANGE: a file system that can't exchange two names (as flash file
    // systems can't), so that the daemon takes its other road.
    if ((flags & RENAME_EXCHANGE) != 0 && getenv("POWER_CUT_NO_EXCHANGE") != nullptr) {
        errno = EINVAL;
        return -1;
    }
    int result = real<int (*)(int, const char*, int, const char*, unsigned)>("renameat2")(
        fromFd, from, toFd, to, flags);
    if (result == 0) {
        logPaths((flags & RENAME_EXCHANGE) != 0 ? "exchange" : "rename", fromFd, from, toFd, to);
    }
    return result;
}
int link(const char* from, const char* to) {
    int result = real<int (*)(const char*, const char*)>("link")(from, to);
    if (result == 0) logPaths("link", AT_FDCWD, from, AT_FDCWD, to);
    return result;
}
int linkat(int fromFd, const char* from, int toFd, const char* to, int flags) {
    int result = real<int (*)(int, const char*, int, const char*, int)>("linkat")(fromFd, from,
                                                                                  toFd, to, flags);
    if (result == 0) logPaths("link", fromFd, from, toFd, to);
    return result;
}
int symlink(const char* target, const char* path) {
    int result = real<int (*)(const char*, const char*)>("symlink")(target, path);
    if (result == 0) logSymlink(target, AT_FDCWD, path);
    return result;
}
int symlinkat(const char* target, int dirfd, const char* path) {
    int result = real<int (*)(const char*, int, const char*)>("symlinkat")(target, dirfd, path);
    if (result == 0) logSymlink(target, dirfd, path);
    return result;
}
int unlink(const char* path) {
    int result = real<int (*)(const char*)>("unlink")(path);
    if (result == 0) logPath("unlink", AT_FDCWD, path);
    return result;
}
int unlinkat(int dirfd, const char* path, int flags) {
    int result = real<int (*)(int, const char*, int)>("unlinkat")(dirfd, path, flags);
    if (result == 0) logPath((flags & AT_REMOVEDIR) != 0 ? "rmdir" : "unlink", dirfd, path);
    return result;
}
int rmdir(const char* path) {
    int result = real<int (*)(const char*)>("rmdir")(path);
    if (result == 0) logPath("rmdir", AT_FDCWD, path);
    return result;
}
int remove(const char* path) {
    struct stat status {};
    bool folder = lstat(path, &status) == 0 && S_ISDIR(status.st_mode);
    int result = real<int (*)(const char*)>("remove")(path);
    if (result == 0) logPath(folder ? "rmdir" : "unlink", AT_FDCWD, path);
    return result;
}
int mkdir(const char* path, mode_t mode) {
    int result = real<int (*)(const char*, mode_t)>("mkdir")(path, mode);
    if (result == 0) logFolder(AT_FDCWD, path, mode);
    return result;
}
int mkdirat(int dirfd, const char* path, mode_t mode) {
    int result = real<int (*)(int, const char*, mode_t)>("mkdirat")(dirfd, path, mode);
    if (result == 0) logFolder(dirfd, path, mode);
    return result;
}

int fchmod(int fd, mode_t mode) {
    int result = real<int (*)(int, mode_t)>("fchmod")(fd, mode);
    if (result == 0) logModeOf(fd, mode);
    return result;
}
int chmod(const char* path, mode_t mode) {
    int result = real<int (*)(const char*, mode_t)>("chmod")(path, mode);
    if (result == 0) logPath("chmod", AT_FDCWD, path, " " + number(mode & 07777));
    return result;
}
int fchmodat(int dirfd, const char* path, mode_t mode, int flags) {
    int result = real<int (*)(int, const char*, mode_t, int)>("fchmodat")(dirfd, path, mode, flags);
    // With AT_SYMLINK_NOFOLLOW Linux changes no link's mode: it fails on one, and on anything
    // else it is the plain change.
    if (result == 0) logPath("chmod", dirfd, path, " " + number(mode & 07777));
    return result;
}

int fchown(int fd, uid_t uid, gid_t gid) {
    struct stat status {};
    std::string path = fstat(fd, &status) == 0 && ownerChanges(status, uid, gid) ? pathOf(fd) : "";
    int result = real<int (*)(int, uid_t, gid_t)>("fchown")(fd, uid, gid);
    logOwner(result, watched(path) ? path : "");
    return result;
}
int chown(const char* path, uid_t uid, gid_t gid) {
    std::string changed = ownerChanged(AT_FDCWD, path, uid, gid, 0);
    int result = real<int (*)(const char*, uid_t, gid_t)>("chown")(path, uid, gid);
    logOwner(result, changed);
    return result;
}
int lchown(const char* path, uid_t uid, gid_t gid) {
    std::string changed = ownerChanged(AT_FDCWD, path, uid, gid, AT_SYMLINK_NOFOLLOW);
    int result = real<int (*)(const char*, uid_t, gid_t)>("lchown")(path, uid, gid);
    logOwner(result, changed);
    return result;
}
int fchownat(int dirfd, const char* path, uid_t uid, gid_t gid, int flags) {
    std::string changed = ownerChanged(dirfd, path, uid, gid, flags);
    int result = real<int (*)(int, const char*, uid_t, gid_t, int)>("fchownat")(dirfd, path, uid,
                                                                                gid, flags);
    logOwner(result, changed);
    return result;
}

}  // extern "C"
