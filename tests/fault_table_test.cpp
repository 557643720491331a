// The faults that an update can meet on the simulated board, as one table: each row sets up a
// fault, runs an update through the daemon's AI socket, and says which final notice the peer
// gets and what holds afterwards. Whatever the row, the flash outside the image area keeps its
// contents, /etc changes only when the SDP merge completed, and the daemon still answers.
//
// Rows that need a full /tmp run on a board whose /tmp holds 2 MiB (their names begin with
// "SmallTmp/", cmake/Testing.cmake gives them that board).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <ostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "core/ai_message.h"
#include "core/log.h"
#include "sim/flash_model.h"
#include "sim/sim_state.h"
#include "tests/support/board.h"
#include "tests/support/bytes.h"
#include "tests/support/updates.h"
#include "tools/common/gzip_writer.h"
#include "tools/common/image_builder.h"
#include "tools/mkupdate/sample_update.h"
#include "tools/mkupdate/update_archive.h"

using namespace std::chrono_literals;

namespace {

using mkupdate::Bytes;

enum class Update {
    Sample,          // the sample update, all its steps
    NotGzip,         // file 1 is no gzip member
    NotTar,          // file 1 is gzip, but no tar archive within
    ArchiveTooBig,   // file 1 of 1.1 MiB: /tmp has no room for it a second time
    TooBigToGunzip,  // update.d holds 3 MiB of zeros: decompressed it doesn't fit /tmp
    TooBigToUntar,   // 1.2 MiB of zeros: decompressed it fits, once more unpacked it doesn't
};

enum class During {
    Nothing,
    CutInReception,  // /tmp/image cut to half while the reception checks it
    CutInLapWrite,   // /tmp/image cut inside the LAP image's second sector while it is written
    FillTmpAtSdp,    // /tmp fills up as the LAP step removes /tmp/image, before CHECK_SDP
    JunkFlood,       // 2 s of mixed junk from the peer and from another socket
};

// What the image area of the flash holds afterwards.
enum class Lap {
    Written,
    Untouched,
    FirstSectorErased,
    TwoSectorsErased,
    FirstSectorNoMagic,  // the first sector written, its magic word then cleared
    DroppedBitsNoMagic,
};

struct FaultRow {
    const char* name;
    bool smallTmp;
    Update update;
    const char* flashFault;  // the content of flash.fault
    std::uint32_t flashSize;
    During during;
    const char* notice;  // the final notice
    Lap lap;
    bool merged;  // the SDP merge completed
    const char* reportHas;
    // The image area holds a whole old software image (its CRC-32s right), not only old data.
    bool wholeOldImage = false;
};

// Test names show the row's name, not its bytes.
void PrintTo(const FaultRow& row, std::ostream* out) { *out << row.name; }

constexpr std::uint32_t k2MiB = 0x200000;
constexpr const char* kNotWritten = "flash size unknown; lap image not written\n";

const FaultRow kFaultTable[] = {
    // Every fault of the simulated flash.
    {"flashMissing", false, Update::Sample, "missing", k2MiB, During::Nothing, "NOK",
     Lap::Untouched, true, kNotWritten},
    {"flashSize0", false, Update::Sample, "size0", k2MiB, During::Nothing, "NOK", Lap::Untouched,
     true, kNotWritten},
    {"flashInfo", false, Update::Sample, "info", k2MiB, During::Nothing, "NOK", Lap::Untouched,
     true, kNotWritten},
    {"flashRegions", false, Update::Sample, "regions", k2MiB, During::Nothing, "NOK",
     Lap::Untouched, true, kNotWritten},
    {"flashErase", false, Update::Sample, "erase", k2MiB, During::Nothing, "NOK", Lap::Untouched,
     true, "  0 percent ioctl failed:-1 errno: 5 Input/output error\n NOK\n"},
    // A first erase that fails changes nothing: the old image stays whole, and it boots.
    {"flashEraseOverAWholeOldImage", false, Update::Sample, "erase", k2MiB, During::Nothing, "NOK",
     Lap::Untouched, true, "  0 percent ioctl failed:-1 errno: 5 Input/output error\n NOK\n", true},
    {"flashWrite", false, Update::Sample, "write", k2MiB, During::Nothing, "NOK",
     Lap::FirstSectorErased, true, "  0 percent write failed errno: 5 Input/output error\n NOK\n"},
    // A pass that fails after the first sector was written: that sector's header would boot
    // an image whose rest is old. Its magic is cleared, or where the flash takes no write,
    // the sector is erased.
    {"flashEraseOfSecondSector", false, Update::Sample, "erase 1", k2MiB, During::Nothing, "NOK",
     Lap::FirstSectorNoMagic, true,
     " 32 percent ioctl failed:-1 errno: 5 Input/output error\n"
     "lap image written only in part; its magic cleared, it won't boot\n NOK\n"},
    {"flashEraseOfSecondSectorOverAWholeOldImage", false, Update::Sample, "erase 1", k2MiB,
     During::Nothing, "NOK", Lap::FirstSectorNoMagic, true,
     " 32 percent ioctl failed:-1 errno: 5 Input/output error\n"
     "lap image written only in part; its magic cleared, it won't boot\n NOK\n",
     true},
    {"flashWriteOfSecondSector", false, Update::Sample, "write 1", k2MiB, During::Nothing, "NOK",
     Lap::TwoSectorsErased, true,
     " 32 percent write failed errno: 5 Input/output error\n"
     "write failed errno: 5 Input/output error\n"
     "lap image written only in part; its first sector erased, it won't boot\n NOK\n"},
    {"flashClose", false, Update::Sample, "close", k2MiB, During::Nothing, "NOK", Lap::Untouched,
     true, kNotWritten},
    {"flashShortWrite", false, Update::Sample, "shortwrite", k2MiB, During::Nothing, "OK",
     Lap::Written, true, "100 percent OK\n"},
    {"flashEintr", false, Update::Sample, "eintr", k2MiB, During::Nothing, "OK", Lap::Written, true,
     "100 percent OK\n"},
    // A flash that silently drops bits: the read-back finds it, and the image won't boot.
    {"flashDropBits", false, Update::Sample, "dropbits", k2MiB, During::Nothing, "NOK",
     Lap::DroppedBitsNoMagic, true,
     "100 percent lap image in flash differs from the image received; its magic cleared, it "
     "won't boot\n NOK\n"},
    // The configuration sector of a 1 MiB flash lies at 0x0F0000, inside the 2 MiB layout.
    {"oneMiBFlashInfo", false, Update::Sample, "info", 0x100000, During::Nothing, "NOK",
     Lap::Untouched, true, kNotWritten},
    // Archives that can't be unpacked.
    {"notGzip", false, Update::NotGzip, "", k2MiB, During::Nothing, "NOK", Lap::Untouched, false,
     "command \" -gunzip /tmp/image1.gz\" failed: exit status 1\n*UPDATE_FINISHED* ... NOK\n"},
    {"notTar", false, Update::NotTar, "", k2MiB, During::Nothing, "NOK", Lap::Untouched, false,
     "command \" -tar xf /tmp/image1\" failed: exit status 2\n*UPDATE_FINISHED* ... NOK\n"},
    {"archiveNoRoom", true, Update::ArchiveTooBig, "", k2MiB, During::Nothing, "NOK",
     Lap::Untouched, false,
     "file /tmp/image1.gz write error 28 No space left on device ret \n"
     "*UPDATE_FINISHED* ... NOK\n"},
    {"gunzipNoRoom", true, Update::TooBigToGunzip, "", k2MiB, During::Nothing, "NOK",
     Lap::Untouched, false,
     "command \" -gunzip /tmp/image1.gz\" failed: exit status 1\n*UPDATE_FINISHED* ... NOK\n"},
    {"tarNoRoom", true, Update::TooBigToUntar, "", k2MiB, During::Nothing, "NOK", Lap::Untouched,
     false, "command \" -tar xf /tmp/image1\" failed: exit status 2\n*UPDATE_FINISHED* ... NOK\n"},
    {"tmpFullAtSdp", true, Update::Sample, "", k2MiB, During::FillTmpAtSdp, "NOK", Lap::Written,
     false, "SDP records not merged, /tmp/sdp.txt: temporary files not completely written\n NOK\n"},
    // An image that changes while the daemon reads it.
    {"cutInReception", false, Update::Sample, "", k2MiB, During::CutInReception, "NOK",
     Lap::Untouched, false, "file /tmp/image changed its size while read!\n*UPDATE_FINISHED*"},
    // The software image is written from the daemon's own copy, read before the first erase:
    // what becomes of /tmp/image meanwhile changes nothing.
    {"cutInLapWrite", false, Update::Sample, "hold 1", k2MiB, During::CutInLapWrite, "OK",
     Lap::Written, true, "100 percent OK\n"},
    {"junkFlood", false, Update::Sample, "", k2MiB, During::JunkFlood, "OK", Lap::Written, true,
     "100 percent OK\n"},
};

// The old flash with a whole software image of 100000 bytes at the image area, as a board
// that boots its old software holds it.
std::string seedOldImage(std::uint32_t flashSize) {
    std::string error;
    Bytes payload(100000 - 64);
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<std::uint8_t>(i * 13 + i / 251);
    auto wrapped = mkupdate::wrapImage(payload, "Linux-old", 0, &error);
    EXPECT_TRUE(wrapped) << error;
    const Bytes image = wrapped.value_or(Bytes());
    std::string flash = oldFlashContents(flashSize);
    flash.replace(0x20000, image.size(), reinterpret_cast<const char*>(image.data()), image.size());
    writeWholeFile(simStatePath(kFlashContentsFile), flash);
    return flash;
}

// A gzip-compressed tar of update.d with a to-do file and a file of zeros.
Bytes archiveWithZeros(std::size_t zeros) {
    std::string error;
    auto tar = mkupdate::tarArchive(
        {{"update.d/", true, false, {}},
         {"update.d/updatetodo.txt", false, false, bytesOf("LAP_SOFTWARE\nCHECK_SDP\n")},
         {"update.d/zeros", false, false, Bytes(zeros, 0)}},
        &error);
    EXPECT_TRUE(tar) << error;
    return mkupdate::gzipCompress(tar.value_or(Bytes()));
}

Bytes imageOf(Update update) {
    std::string error;
    if (update == Update::Sample) return sampleUpdateWithoutModule();
    Bytes archive;
    switch (update) {
        case Update::NotGzip:
            archive = bytesOf("LAP_SOFTWARE\n");
            break;
        case Update::NotTar:
            archive = mkupdate::gzipCompress(bytesOf("LAP_SOFTWARE\n"));
            break;
        case Update::ArchiveTooBig:
            archive.resize(1100 * 1024);
            for (std::size_t i = 0; i < archive.size(); ++i)
                archive[i] = static_cast<std::uint8_t>(i * 131 + i / 977);
            break;
        case Update::TooBigToGunzip:
            archive = archiveWithZeros(3 * 1024 * 1024);
            break;
        case Update::TooBigToUntar:
            archive = archiveWithZeros(1200 * 1024);
            break;
        case Update::Sample:
            break;
    }
    auto image =
        mkupdate::buildMultiImage({bytesOf("note\n"), archive, sampleLapImage()}, "fault", &error);
    EXPECT_TRUE(image) << error;
    return image.value_or(Bytes());
}

// The daemon's standard error as a pipe of one page that the test can hold full: the
// daemon's next log line then waits until the test reads again. Once opened it is read to
// its end into the daemon's error file, so that SimDaemon::standardError() has it.
class StandardErrorGate {
public:
    StandardErrorGate() {
        EXPECT_EQ(pipe2(ends_, O_CLOEXEC), 0);
        fcntl(ends_[1], F_SETPIPE_SZ, 4096);
        // Only the test's end: the daemon's writes must wait when the pipe is full.
        fcntl(ends_[0], F_SETFL, O_NONBLOCK);
    }
    ~StandardErrorGate() {
        if (ends_[1] >= 0) close(ends_[1]);
        if (drain_.joinable()) drain_.join();
        close(ends_[0]);
    }
    int daemonEnd() const { return ends_[1]; }

    // While the daemon is idle: takes what it wrote, then fills the pipe.
    void shut() {
        readAvailable();
        std::string filler(static_cast<std::size_t>(fcntl(ends_[1], F_GETPIPE_SZ)), '.');
        EXPECT_EQ(write(ends_[1], filler.data(), filler.size()),
                  static_cast<ssize_t>(filler.size()));
        close(ends_[1]);
        ends_[1] = -1;
        skip_ = filler.size();
    }
    // Reads on from now on, until the daemon is gone.
    void open() {
        drain_ = std::thread([this] {
            pollfd entry{ends_[0], POLLIN, 0};
            while (poll(&entry, 1, -1) > 0 && readAvailable()) {
            }
        });
    }

private:
    // False at the pipe's end.
    bool readAvailable() {
        char buffer[4096];
        ssize_t n;
        while ((n = read(ends_[0], buffer, sizeof buffer)) > 0) {
            std::size_t skipped = std::min(skip_, static_cast<std::size_t>(n));
            skip_ -= skipped;
            std::FILE* file = std::fopen("/tmp/daemon.err", "a");
            if (file != nullptr) {
                std::fwrite(buffer + skipped, 1, static_cast<std::size_t>(n) - skipped, file);
                std::fclose(file);
            }
        }
        return n != 0;
    }

    int ends_[2] = {-1, -1};
    std::size_t skip_ = 0;
    std::thread drain_;
};

bool daemonHasMapped(pid_t pid, const char* path) {
    return readWholeFile("/proc/" + std::to_string(pid) + "/maps").find(path) != std::string::npos;
}

// A " -rm" of the board's shell that fills /tmp as it removes /tmp/image. Bounded, so that a
// board with a large /tmp keeps its memory.
void installFillingRemove() {
    mkdir("/tmp/testbin", 0755);
    writeWholeFile("/tmp/testbin/-rm",
                   "#!/bin/sh\nrm \"$@\"\nif [ \"$1\" = /tmp/image ]; then\n"
                   "    head -c 4194304 /dev/zero > /tmp/filler 2>/dev/null\nfi\nexit 0\n");
    chmod("/tmp/testbin/-rm", 0755);
}

// The errors that a datagram of junk, or a send that the flood made fail, leaves in the
// report, and the lines that count those left out of it.
// (Compiled when first used: compiled as the program starts, they cost every test's start under
// the board's emulator.)
const std::regex& junkLine() {
    static const std::regex line(
        R"((socket message length error |unknown message from socket |message \d+ -?\d+ from unknown sender dropped |read error from socket: counter = -?\d+; [^\n]*|-?\d+ Bytes from \d+ written => socket write errno [^\n]*)\n)");
    return line;
}
const std::regex& leftOutLine() {
    static const std::regex line(R"((\d+) datagram errors left out of the report\n)");
    return line;
}

// Sends mixed junk to the daemon for a while, from the peer and from another socket, as fast
// as the daemon's queue takes it, and reads what the peer receives meanwhile (the answers to
// the queries among the junk). Returns the final notice if it came meanwhile.
std::optional<ReceivedRecord> floodWithJunk(TestPeer& peer, std::chrono::milliseconds length) {
    TestPeer stranger("/tmp/stranger");
    auto frame = [](std::uint16_t size, std::uint32_t type, std::int32_t param) {
        AiMessage message = makeHeaderFrame(type, param, size);
        return Bytes(reinterpret_cast<const std::uint8_t*>(&message),
                     reinterpret_cast<const std::uint8_t*>(&message) +
                         std::min<std::size_t>(size, sizeof message));
    };
    const std::vector<Bytes> junk = {
        bytesOf("junk!"),
        {},
        frame(12, AI_NOTICE, 0),
        frame(16, AI_REQUEST, REQ_QUERY),
        Bytes(300, 0x5a),
        frame(16, AI_CHILD_EXIT, 1),
        frame(12, AI_TRIGGER, WAKE_UP),
        frame(12, AI_REQUEST, REQ_QUERY),
        frame(12, AI_REQUEST, REQ_IGNORED),
    };
    constexpr std::size_t kErrorKinds = 7;  // the first ones; then a query and an ignored request
    std::optional<ReceivedRecord> notice;
    // At least three times the report's limit reaches the daemon, however slow it is.
    std::size_t errorsTaken = 0;
    auto end = std::chrono::steady_clock::now() + length;
    for (std::size_t i = 0; std::chrono::steady_clock::now() < end || errorsTaken < 60; ++i) {
        const Bytes& datagram = junk[i % junk.size()];
        int from = i % 2 == 0 ? peer.descriptor() : stranger.descriptor();
        if (sendDatagram(from, kAiOwnPath, datagram.data(), datagram.size(), MSG_DONTWAIT) &&
            i % junk.size() < kErrorKinds)
            ++errorsTaken;
        while (auto record = peer.receive(0ms))
            if (record->type == AI_NOTICE && record->param == 2) notice = record;
    }
    return notice;
}

class FaultTable : public testing::TestWithParam<FaultRow> {};

TEST_P(FaultTable, EndsAsTheTableSays) {
    const FaultRow& row = GetParam();
    if (row.smallTmp) {
        struct statvfs tmp {};
        ASSERT_EQ(statvfs("/tmp", &tmp), 0);
        ASSERT_LE(tmp.f_blocks * tmp.f_frsize, 4u << 20) << "a board with a small /tmp";
    }
    const std::string oldFlash =
        row.wholeOldImage ? seedOldImage(row.flashSize) : seedOldFlash(row.flashSize);
    writeWholeFile(simStatePath(kFlashSizeFile), std::to_string(row.flashSize));
    writeWholeFile(simStatePath(kFlashFaultFile), row.flashFault);
    const std::string service = readWholeFile("/etc/service.txt");
    const std::string terminal = readWholeFile("/etc/terminal.txt");
    const Bytes image = imageOf(row.update);
    mkupdate::ImageListing listing = mkupdate::inspectImage(image);
    ASSERT_EQ(listing.files.size(), 3u);
    const mkupdate::ListedFile lap = listing.files[2];
    writeWholeFile("/tmp/image", image);
    if (row.during == During::FillTmpAtSdp) installFillingRemove();

    TestPeer peer;
    StandardErrorGate gate;
    SimDaemon daemon;
    bool gated = row.during == During::CutInReception;
    ASSERT_TRUE(startedAndAnnounced(daemon, peer, "/tmp/testbin", gated ? gate.daemonEnd() : -1));
    if (gated) gate.shut();
    peer.sendRequest(REQ_START_UPDATE);
    std::optional<ReceivedRecord> noticeDuringFlood;
    switch (row.during) {
        case During::CutInReception:
            // Mapped: the daemon waits at its line of the image's size, its checks to come.
            ASSERT_TRUE(
                eventually([&] { return daemonHasMapped(daemon.pid(), "/tmp/image"); }, kEventCap));
            ASSERT_EQ(truncate("/tmp/image", static_cast<off_t>(image.size() / 2)), 0);
            gate.open();
            break;
        case During::CutInLapWrite:
            // The first sector is written and the second one's erase waits.
            ASSERT_TRUE(eventually(
                [] { return readWholeFile("/tmp/update.log").ends_with(" 32 percent "); },
                kEventCap));
            ASSERT_EQ(truncate("/tmp/image", static_cast<off_t>(lap.offset + 0x10000 + 100)), 0);
            writeWholeFile(simStatePath(kFlashFaultFile), "");
            break;
        case During::JunkFlood:
            noticeDuringFlood = floodWithJunk(peer, 2s);
            break;
        case During::Nothing:
        case During::FillTmpAtSdp:
            break;
    }
    auto finished =
        noticeDuringFlood ? noticeDuringFlood : peer.awaitRecord(AI_NOTICE, 2, kEventCap);
    ASSERT_TRUE(finished) << daemon.standardError();
    EXPECT_EQ(finished->text, row.notice);
    // The daemon still answers; a good datagram also ends a run of junk in the report.
    peer.sendRequest(REQ_QUERY);
    EXPECT_TRUE(peer.awaitRecord(AI_REPLY, 0, kEventCap));

    const std::string report = readWholeFile("/tmp/update.log");
    EXPECT_NE(report.find(row.reportHas), std::string::npos) << report;
    if (row.lap == Lap::Untouched) {
        EXPECT_EQ(report.find("written only in part"), std::string::npos) << report;
    }
    if (row.during == During::JunkFlood) {
        // Something else for the report: the count of the errors left out goes first.
        daemon.signal(SIGTERM);
        ASSERT_TRUE(eventually(
            [] {
                return readWholeFile("/tmp/update.log")
                    .ends_with("SIGTERM receiced and ignored !!\n");
            },
            kEventCap));
        const std::string flooded = readWholeFile("/tmp/update.log");
        EXPECT_LT(flooded.size(), 64u << 10);
        const std::size_t leftOut = sumOfCounts(flooded, leftOutLine());
        EXPECT_EQ(firstGroups(flooded, junkLine()).size(), 20u) << flooded;
        EXPECT_GT(leftOut, 0u);
        // Standard error has the same entries and counts, up to the same line (junk still
        // queued may follow).
        std::string err = daemon.standardError();
        err.resize(err.find("SIGTERM receiced and ignored !!\n"));
        EXPECT_EQ(firstGroups(err, junkLine()).size(), 20u);
        EXPECT_EQ(sumOfCounts(err, leftOutLine()), leftOut);
        const std::string clean =
            std::regex_replace(std::regex_replace(flooded, junkLine(), ""), leftOutLine(), "");
        EXPECT_TRUE(clean.starts_with("Version Check:         started ... OK\n")) << clean;
        EXPECT_NE(clean.find("Update qvl Software:   started ... 100 percent OK\n"
                             "Check SDP records  :   started ... OK\n"
                             "Remove DFU upload:     started ... OK\n"
                             "Update PPCBOOT:        started ... Nothing Done\n"
                             "*UPDATE_FINISHED* ... OK\n"),
                  std::string::npos)
            << flooded;
    }
    if (row.during == During::CutInReception) {
        ASSERT_FALSE(peer.skipped().empty());
        EXPECT_EQ(peer.skipped().back().type, AI_REPLY);
        EXPECT_EQ(peer.skipped().back().text, std::string("OK\0", 3));
    }

    const std::string flash = readWholeFile(simStatePath(kFlashContentsFile));
    ASSERT_EQ(flash.size(), oldFlash.size());
    const std::size_t areaEnd = row.flashSize - 0x10000;
    EXPECT_TRUE(flash.compare(0, 0x20000, oldFlash, 0, 0x20000) == 0);
    EXPECT_TRUE(flash.compare(areaEnd, std::string::npos, oldFlash, areaEnd) == 0)
        << "the configuration sector";
    const std::string lapBytes = listedFileBytes(image, lap);
    switch (row.lap) {
        case Lap::Written:
            EXPECT_TRUE(flash == flashWithLap(oldFlash, lapBytes));
            break;
        case Lap::Untouched:
            EXPECT_TRUE(flash == oldFlash);
            break;
        case Lap::FirstSectorErased:
            EXPECT_TRUE(flash == flashWithLap(oldFlash, std::string(0x10000, '\xFF')));
            break;
        case Lap::DroppedBitsNoMagic: {
            std::string dropped = lapBytes;
            for (std::size_t at = 100; at < dropped.size(); at += 4096) dropped[at] |= 0x01;
            dropped.replace(0, 4, 4, '\0');
            EXPECT_TRUE(flash == flashWithLap(oldFlash, dropped));
            break;
        }
        case Lap::TwoSectorsErased:
            EXPECT_TRUE(flash == flashWithLap(oldFlash, std::string(0x20000, '\xFF')));
            break;
        case Lap::FirstSectorNoMagic: {
            std::string firstSector = lapBytes.substr(0, 0x10000);
            firstSector.replace(0, 4, 4, '\0');
            std::string expected = oldFlash;
            expected.replace(0x20000, firstSector.size(), firstSector);
            EXPECT_TRUE(flash == expected);
            break;
        }
    }
    EXPECT_EQ(readWholeFile("/etc/service.txt"), row.merged ? kSampleMergedService : service);
    EXPECT_EQ(readWholeFile("/etc/terminal.txt"), row.merged ? kSampleMergedTerminal : terminal);
}

std::vector<FaultRow> rowsOnABoardWithASmallTmp(bool smallTmp) {
    std::vector<FaultRow> rows;
    for (const FaultRow& row : kFaultTable)
        if (row.smallTmp == smallTmp) rows.push_back(row);
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Board, FaultTable, testing::ValuesIn(rowsOnABoardWithASmallTmp(false)),
                         testing::PrintToStringParamName());
INSTANTIATE_TEST_SUITE_P(SmallTmp, FaultTable, testing::ValuesIn(rowsOnABoardWithASmallTmp(true)),
                         testing::PrintToStringParamName());

}  // namespace
