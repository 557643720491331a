// A board's state captured on the simulated board (aipeer capture; scripts/capture-board.sh over
// a stand-in for ssh): the folder written holds what the board holds, the board is left as it
// was, and a rehearsal takes the folder as the board itself.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>

#include "sim/sim_state.h"
#include "tests/support/board.h"
#include "tests/support/openssl_keys.h"
#include "tests/support/updates.h"
#include "tools/mkupdate/sample_update.h"
#include "tools/mkupdate/update_build.h"

namespace {

const std::string kCaptureSource = PROJECT_SOURCE_PATH;
const std::string kCapturePeer =
    std::string(BOARD_EMULATOR) + " " + PROJECT_BINARY_PATH + "/aipeer_sim";

ProgramRun capturePeer(const std::string& arguments) {
    return runProgram(kCapturePeer + " " + kAipeerTimeout + " " + arguments);
}

// A board in the field, as a board's folder: its own data.txt (CR LF), a record of its own in
// service.txt, a key of the module's store changed, and a flash of 4 MiB.
void writeFieldBoard(const std::string& folder) {
    std::filesystem::create_directories(folder + "/etc");
    const std::string board = kCaptureSource + "/sim/board/etc/";
    // (Its module has the image's firmware already, as its data.txt and its dump say: the
    // rehearsal of the board and its capture would otherwise wait for two loads.)
    writeWholeFile(folder + "/etc/data.txt",
                   onTheSampleImagesModule(readWholeFile(board + "data.txt")));
    writeWholeFile(folder + "/etc/service.txt", readWholeFile(board + "service.txt") +
                                                    "10017;Board 17's printer;12;0x1120;6;SITE\n");
    writeWholeFile(folder + "/etc/terminal.txt", readWholeFile(board + "terminal.txt"));
    std::string store = readWholeFile(kCaptureSource + "/sim/module/default-store.psr");
    store = std::regex_replace(store, std::regex("&0021 = [0-9a-f]{4}"), "&0021 = 0005");
    store = std::regex_replace(store, std::regex("// firmware: 1958 16.4.0"),
                               "// firmware: 2114 17.3.5");
    writeWholeFile(folder + "/module.psr", store);
    writeWholeFile(folder + "/flash", "4M\n");
}

// The simulated board takes the board's state, as a rehearsal seeds it; its module answers at
// once.
void becomeTheBoard(const std::string& folder) {
    ProgramRun seeded = runProgram(kCaptureSource + "/sim/seed-board " + folder +
                                   " /tmp/seeded/state /tmp/seeded/etc");
    ASSERT_EQ(seeded.status, 0) << seeded.err;
    ProgramRun copied =
        runProgram("cp -R /tmp/seeded/state/. /sim/state/ && cp -R /tmp/seeded/etc/. /etc/");
    ASSERT_EQ(copied.status, 0) << copied.err;
    writeWholeFile(simStatePath("module.baud"), "0\n");
}

// The comment lines that a capture puts before the dump, after the line that says where and
// when (which the test leaves out).
std::string captureComments(const std::string& firmware) {
    return "// firmware: " + firmware +
           "\r\n// starts on: hci\r\n// keys the module's firmware refuses to set can't be read "
           "off a board: add them as // refuses: &kkkk &kkkk\r\n";
}

// module.psr without its first line, which must say where and when it was captured.
std::string afterOriginLine(const std::string& psr) {
    static const std::regex origin(
        "// captured by aipeer capture on btlap, \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d UTC: "
        "the read step's dump of the module's PS-Keys\r\n");
    std::smatch found;
    EXPECT_TRUE(std::regex_search(psr, found, origin) && found.position(0) == 0) << psr;
    return found.empty() ? psr : found.suffix().str();
}

std::vector<std::string> tmpImages() {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator("/tmp")) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("image") || name.starts_with("capture.")) found.push_back(name);
    }
    return found;
}

// The board's own folder and the one captured off its twin give the same facts: the same
// seeded state, in the same group, in one rehearsal. The board is left as it was.
TEST(Capture, WritesTheFolderThatRehearsesAsTheBoardItself) {
    writeFieldBoard("/tmp/lap-17");
    becomeTheBoard("/tmp/lap-17");
    const std::string storeBefore = readWholeFile(simStatePath("module.psr"));
    const std::string serviceBefore = readWholeFile("/etc/service.txt");
    SimDaemon daemon;
    daemon.start();

    ProgramRun run = capturePeer("capture /tmp/captured");
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(
        run.out.ends_with("AI_NOTICE (1026) param 2 text \"OK\" (2 bytes)\n"
                          "board folder /tmp/captured written\n"))
        << run.out;
    EXPECT_EQ(run.err, "");
    // The dump as the read step wrote it is the store as seeded, keys ascending, CR LF.
    EXPECT_EQ(afterOriginLine(readWholeFile("/tmp/captured/module.psr")),
              captureComments("2114 17.3.5") + storeBefore);
    EXPECT_EQ(readWholeFile("/tmp/captured/flash"), "4M\n");
    for (const char* name : {"data.txt", "service.txt", "terminal.txt"})
        EXPECT_EQ(readWholeFile(std::string("/tmp/captured/etc/") + name),
                  readWholeFile(std::string("/tmp/lap-17/etc/") + name))
            << name;
    EXPECT_FALSE(fileExists("/tmp/captured/flash.bin"));
    EXPECT_FALSE(fileExists("/tmp/captured/etc/update-keys"));
    // Nothing on the board changed, and the image is gone.
    EXPECT_EQ(readWholeFile(simStatePath("module.psr")), storeBefore);
    EXPECT_EQ(readWholeFile("/etc/service.txt"), serviceBefore);
    EXPECT_FALSE(fileExists(simStatePath("flash.log")));
    EXPECT_EQ(tmpImages(), std::vector<std::string>{});

    std::string error;
    std::optional<mkupdate::UpdateDescription> sample =
        mkupdate::sampleUpdate(kSampleFolder, &error);
    ASSERT_TRUE(sample) << error;
    std::vector<std::string> faults;
    std::optional<mkupdate::Bytes> image = mkupdate::buildUpdate(*sample, &faults);
    ASSERT_TRUE(image);
    writeWholeFile("/tmp/sample.img", *image);
    ProgramRun rehearsal = runProgram(
        kCaptureSource +
        "/scripts/rehearse.sh --jobs 2 --clock-speed " BOARD_SLOW_CLOCK_SPEED
        " --out /tmp/rehearsal --build " +
        PROJECT_BINARY_PATH + " --emulator '" BOARD_EMULATOR "' --json /tmp/plan.json --board " +
        "/tmp/lap-17 --board /tmp/captured /tmp/sample.img");
    EXPECT_EQ(rehearsal.status, 0) << rehearsal.out << rehearsal.err;
    const nlohmann::json plan = nlohmann::json::parse(readWholeFile("/tmp/plan.json"));
    ASSERT_EQ(plan["boards"].size(), 2u);
    const nlohmann::json& own =
        plan["boards"][0]["board"] == "lap-17" ? plan["boards"][0] : plan["boards"][1];
    const nlohmann::json& captured =
        plan["boards"][0]["board"] == "lap-17" ? plan["boards"][1] : plan["boards"][0];
    EXPECT_EQ(captured["board"], "captured");
    for (const char* fact : {"state_sha256", "group", "outcome", "assumed"})
        EXPECT_EQ(captured[fact], own[fact]) << fact;
    // Their runs' facts, each run written once.
    const nlohmann::json& ownRun = plan["runs"][own["run"].get<std::size_t>() - 1];
    const nlohmann::json& capturedRun = plan["runs"][captured["run"].get<std::size_t>() - 1];
    for (const char* fact : {"versions", "pskeys_changed", "firmware", "flash", "etc_changed"})
        EXPECT_EQ(capturedRun.at(fact), ownRun.at(fact)) << fact;
}

// A capture that can't be the board's state writes nothing and leaves no image behind: a
// module that doesn't answer the read step (it starts on BCSP), an image that is not the
// read-only update, a folder that exists.
TEST(Capture, WritesNothingWhenItCantBeTheBoardsState) {
    SimDaemon daemon;
    daemon.start();
    writeWholeFile(simStatePath("module.baud"), "0\n");
    writeWholeFile("/tmp/sample.img", sampleUpdateWithoutModule());

    ProgramRun refused = capturePeer("--image /tmp/sample.img capture /tmp/captured");
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.err,
              "aipeer: /tmp/sample.img: not the read-only update: it holds 3 files, not 2; a "
              "capture runs only the read-only update\n");
    EXPECT_FALSE(fileExists("/tmp/update.d")) << "the daemon was not asked";

    ProgramRun alone = capturePeer("capture-image /tmp/c.img query");
    EXPECT_EQ(alone.status, 2);
    EXPECT_EQ(alone.err,
              "aipeer: capture-image talks to no daemon: it comes alone (see aipeer --help)\n");

    writeWholeFile(simStatePath("module.mode"), "bcsp\n");
    ProgramRun nok = capturePeer("capture /tmp/captured");
    EXPECT_EQ(nok.status, 1) << nok.out << nok.err;
    EXPECT_NE(nok.out.find("AI_NOTICE (1026) param 2 text \"NOK\" (3 bytes)\n"
                           "Read PS-Keys failed:\n"),
              std::string::npos)
        << nok.out;
    EXPECT_EQ(nok.err, "aipeer: the read-only update ended NOK: /tmp/captured not written\n");
    EXPECT_FALSE(fileExists("/tmp/captured"));
    EXPECT_EQ(tmpImages(), std::vector<std::string>{});

    std::filesystem::create_directory("/tmp/captured");
    ProgramRun exists = capturePeer("capture /tmp/captured");
    EXPECT_EQ(exists.status, 2);
    EXPECT_EQ(exists.err,
              "aipeer: /tmp/captured exists: a capture makes the board's folder "
              "itself\n");
}

// A board that takes only images its keys signed: aipeer's own update is refused, the same
// update signed by the makers is taken, and its keys, security version and flash are captured.
TEST(Capture, ABoardOfSignedImagesTakesTheSignedReadOnlyUpdate) {
    const OpensslKey makers = makeOpensslKey("makers", 2048);
    installUpdateKey(makers, "makers");
    writeWholeFile("/etc/update-security-version", "2\n");
    SimDaemon daemon;
    daemon.start();
    writeWholeFile(simStatePath("module.baud"), "0\n");

    ProgramRun unsignedRun = capturePeer("capture /tmp/captured");
    EXPECT_EQ(unsignedRun.status, 1) << unsignedRun.out << unsignedRun.err;
    EXPECT_NE(unsignedRun.out.find("image file /tmp/image refused: no signature"),
              std::string::npos)
        << unsignedRun.out;
    EXPECT_EQ(unsignedRun.err,
              "aipeer: the read-only update ended NOK: /tmp/captured not written\n"
              "aipeer: the board takes only signed images, and aipeer's read-only update is "
              "unsigned: sign it with the makers' key (aipeer capture-image FILE; mkupdate sign "
              "--key KEY.pem FILE) and capture with --image FILE, or from the PC: "
              "scripts/capture-board.sh --sign KEY.pem\n");
    EXPECT_FALSE(fileExists("/tmp/captured"));

    ProgramRun written = capturePeer("capture-image /tmp/capture.img");
    ASSERT_EQ(written.status, 0) << written.err;
    const std::string own = readWholeFile("/tmp/capture.img");
    writeWholeFile("/tmp/signed.img",
                   signedWith(mkupdate::Bytes(own.begin(), own.end()), makers, false, 2));
    ProgramRun run = capturePeer("--image /tmp/signed.img --flash capture /tmp/captured");
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(readWholeFile("/tmp/captured/etc/update-keys/makers.key"),
              readWholeFile("/etc/update-keys/makers.key"));
    EXPECT_EQ(readWholeFile("/tmp/captured/etc/update-security-version"), "2\n");
    EXPECT_EQ(readWholeFile("/tmp/captured/flash"), "2M\n");
    EXPECT_EQ(readWholeFile("/tmp/captured/flash.bin"), readWholeFile(simStatePath("flash.bin")));
    EXPECT_EQ(readWholeFile("/etc/update-security-version"), "2\n");
}

// The PC's one command: the board reached through its shell (here a stand-in for ssh that
// runs the command on this board), the folder fetched into place, and nothing left on the
// board; with an image, the image goes over the same connection. At the slow clock: each of
// its read-only updates reads every key under the daemon's alarm of 10 board seconds a key,
// half a second at the host suite's clock, which a busy machine outlasted.
TEST(SlowClockCaptureBoardScript, FetchesTheBoardsFolderOverItsShell) {
    writeWholeFile("/tmp/fake-ssh", "#!/bin/sh\nshift\nexec /bin/sh -c \"$*\"\n");
    ASSERT_EQ(runProgram("chmod +x /tmp/fake-ssh").status, 0);
    SimDaemon daemon;
    daemon.start();
    writeWholeFile(simStatePath("module.baud"), "0\n");
    const std::string script = kCaptureSource +
                               "/scripts/capture-board.sh --ssh /tmp/fake-ssh --aipeer '" +
                               kCapturePeer + "' " + kAipeerTimeout + " ";

    ProgramRun run = runProgram(script + "lap-17 /tmp/fetched");
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.out,
              "capture-board.sh: lap-17 captured into /tmp/fetched\n"
              "  assumed flash contents: erased\n");
    EXPECT_TRUE(run.err.ends_with("/board written\n")) << "aipeer's output" << run.err;
    EXPECT_EQ(afterOriginLine(readWholeFile("/tmp/fetched/module.psr")),
              captureComments("1958 16.4.0") + readWholeFile(simStatePath("module.psr")));
    EXPECT_EQ(readWholeFile("/tmp/fetched/etc/data.txt"), readWholeFile("/etc/data.txt"));
    EXPECT_EQ(readWholeFile("/tmp/fetched/flash"), "2M\n");
    EXPECT_EQ(tmpImages(), std::vector<std::string>{});
    for (const auto& entry : std::filesystem::directory_iterator("/tmp"))
        EXPECT_FALSE(entry.path().filename().string().starts_with(".capture-board"));

    ProgramRun again = runProgram(script + "lap-17 /tmp/fetched");
    EXPECT_EQ(again.status, 2);
    EXPECT_EQ(again.err, "capture-board.sh: /tmp/fetched exists: the capture makes it\n");

    // A board of signed images, captured with the signed update sent over the connection.
    const OpensslKey makers = makeOpensslKey("makers", 2048);
    installUpdateKey(makers, "makers");
    // A capture the board refused for its signature ends saying what to capture with.
    auto refusedWithHint = [&](const std::string& arguments, const std::string& hint) {
        ProgramRun refused = runProgram(script + arguments + " lap-17 /tmp/refused");
        EXPECT_EQ(refused.status, 1);
        EXPECT_TRUE(refused.err.ends_with(
            "capture-board.sh: the capture on lap-17 failed (aipeer's exit status 1)\n"
            "capture-board.sh: " +
            hint + "\n"))
            << refused.err;
        EXPECT_FALSE(fileExists("/tmp/refused"));
    };
    refusedWithHint("",
                    "lap-17 takes only signed images: capture with --sign KEY.pem (the "
                    "makers' key)");
    ProgramRun written = capturePeer("capture-image /tmp/capture.img");
    ASSERT_EQ(written.status, 0) << written.err;
    const std::string own = readWholeFile("/tmp/capture.img");
    writeWholeFile("/tmp/signed.img",
                   signedWith(mkupdate::Bytes(own.begin(), own.end()), makers, false, 0));
    std::filesystem::remove("/tmp/capture.img");
    ProgramRun signedRun = runProgram(script + "--image /tmp/signed.img lap-17 /tmp/signed");
    EXPECT_EQ(signedRun.status, 0) << signedRun.out << signedRun.err;
    EXPECT_EQ(readWholeFile("/tmp/signed/etc/update-keys/makers.key"),
              readWholeFile("/etc/update-keys/makers.key"));
    EXPECT_TRUE(fileExists("/tmp/signed.img")) << "the image given stays where it was";
    // Signed here, by this build's tools (the build host's: the board's build has no mkupdate).
    if (fileExists(PROJECT_BINARY_PATH "/mkupdate")) {
        ProgramRun signedHere = runProgram(script + "--build " PROJECT_BINARY_PATH " --sign " +
                                           makers.pem + " lap-17 /tmp/signed-here");
        EXPECT_EQ(signedHere.status, 0) << signedHere.out << signedHere.err;
        EXPECT_TRUE(fileExists("/tmp/signed-here/etc/update-keys/makers.key"));
    }

    // Signed with a security version below the board's: the board's is said, to sign with.
    writeWholeFile("/etc/update-security-version", "3\n");
    refusedWithHint("--image /tmp/signed.img",
                    "lap-17's security version is 3: capture with --sign KEY.pem "
                    "--security-version 3");

    // A board that can't be reached.
    writeWholeFile("/tmp/fake-ssh",
                   "#!/bin/sh\necho 'ssh: connect to host lap-17' >&2\nexit 255\n");
    ProgramRun unreachable = runProgram(script + "lap-17 /tmp/none");
    EXPECT_EQ(unreachable.status, 4);
    EXPECT_TRUE(unreachable.err.ends_with(
        "capture-board.sh: lap-17 could not be reached, or its shell failed (status 255)\n"))
        << unreachable.err;
    EXPECT_FALSE(fileExists("/tmp/none"));
}

}  // namespace
