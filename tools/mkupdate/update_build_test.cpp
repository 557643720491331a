#include "tools/mkupdate/update_build.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image/image_header.h"
#include "tools/common/gzip_reader.h"
#include "tools/mkupdate/build_options.h"
#include "tools/mkupdate/part_checks.h"
#include "tools/mkupdate/sample_update.h"

namespace mkupdate {
namespace {

const std::string kSampleFolder = PROJECT_SOURCE_PATH "/sim/sample-update";

PartFile part(const std::string& path, const std::string& content, bool executable = false) {
    return {path, Bytes(content.begin(), content.end()), executable};
}

std::string lines(const std::vector<std::string>& faults) {
    std::string text;
    for (const std::string& fault : faults) text += fault + "\n";
    return text;
}

// Key lines as the PS-Key steps read them once comments are removed.
TEST(PsKeyFileFault, RefusesWhatTheDaemonRefuses) {
    std::string fortyOne, forty = "&0400 =";
    for (int i = 0; i < 40; ++i) forty += " 0001";
    fortyOne = forty + " 0001\r\n";
    forty += "\r\n";
    const struct {
        std::string file;
        const char* fault;
    } cases[] = {
        {"// settings\r\n\r\n# note\r\n&01f9 = 0001// mark\r\n&02a4 =\r\n" + forty, nullptr},
        {"&01F9 = 00aB\r\n&01fa = 0001 // a comment after a blank\r\n",
         "line 2: a value word isn't four hex digits"},
        {"&01f9 = 0001\n", "line 1: the line doesn't end in CR LF"},
        {"&01f9 = 0001\r\n&01fa = 0001", "line 2: the line doesn't end in CR LF"},
        {"//" + std::string(1020, 'c') + "\r\n", "line 1: line longer than 1023 characters"},
        {"&1f9 = 0001\r\n", "line 1: the key id isn't four hex digits"},
        {"&01f9\r\n", "line 1: the line ends before \" =\""},
        {"&01f9 = 0001-0002\r\n", "line 1: a value word isn't preceded by one space"},
        {"&01f9 = 001\r\n", "line 1: a value word isn't four hex digits"},
        {fortyOne, "line 1: more than 40 value words"},
        {"&02a4 = 0001\r\n// x\r\n&01f9 = 0001\r\n",
         "line 3: key 0x01f9 after key 0x02a4: "
         "the keys must ascend"},
        {"&01f9 = 0001\r\n&01f9 = 0002\r\n",
         "line 2: key 0x01f9 after key 0x01f9: "
         "the keys must ascend"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file.substr(0, 60));
        EXPECT_EQ(psKeyFileFault(c.file),
                  c.fault ? std::optional<std::string>(c.fault) : std::nullopt);
    }
}

// Every part that the daemon would refuse, with its message; nothing is built.
TEST(BuildUpdate, RefusesEachFaultyPartWithWhereAndWhat) {
    const std::string psKeys = "&02a5 = 5250 464c 2057 3731 332e 352e 3220 3131 2034 3730\r\n";
    std::string error;
    Bytes lap = *wrapImage(Bytes(100, 'L'), "Linux", 0, &error);
    Bytes damaged = lap;
    damaged.back() ^= 1;
    const std::size_t space = 0x200000 - 0x30000;
    const struct {
        std::string name;
        void (*change)(UpdateDescription&);
        std::string faults;
    } cases[] = {
        {"the sample", [](UpdateDescription&) {}, ""},
        {"psr", [](UpdateDescription& u) { u.files[FILE_PSKEYS] = part("k.psr", "&01f9 = x\r\n"); },
         "k.psr: line 1: a value word isn't four hex digits\n"},
        {"services",
         [](UpdateDescription& u) { u.files[FILE_SERVICES] = part("s.txt", "# c\n1;n;3\n"); },
         "s.txt: line 2: record with fewer than four fields\n"},
        {"dfu", [](UpdateDescription& u) { u.files[FILE_DFU] = part("dfu", "#!/bin/sh\n"); },
         "dfu: the DFU program is not executable\n"},
        {"lap name", [](UpdateDescription& u) { u.lapName = std::string(33, 'L'); },
         "--lap-name: image name of 33 bytes is longer than 32 bytes\n"},
        {"update name", [](UpdateDescription& u) { u.name = std::string(33, 'U'); },
         "--name: image name of 33 bytes is longer than 32 bytes\n"},
        {"versions",
         [](UpdateDescription& u) {
             u.versions = {"2114", "", "2.1\n"};
         },
         "--firmware-version: the firmware version isn't \"BUILD VERSION\": a build of four "
         "characters, a blank, the version\n--pskeys-version: the version is empty\n"
         "--lap-version: the version holds a line break or another control character\n"},
        {"firmware build",
         [](UpdateDescription& u) {
             u.versions[0] = "2113 17.3.5";
             u.versions[2] = std::string(1010, '1');
         },
         "--firmware-version: build 2113 isn't the build that key 0x02a5 of the PS-Key file "
         "carries, \"2114\"\n--lap-version: the version is longer than 1009 characters\n"},
        {"steps",
         [](UpdateDescription& u) {
             u.steps = std::vector<std::string>(20, "PPCBOOT");
             u.steps->insert(u.steps->end(), {"LAP_SOFTWAR", "BT_MOD_SET_FIRM_STACK"});
             for (UpdateFileKind kind : kFirmwareFiles) u.files[kind].reset();
         },
         "--steps: 22 steps; the to-do list holds at most 20\nstep PPCBOOT is listed more than "
         "once; a to-do list names each step once\n--steps: unknown step \"LAP_SOFTWAR\"\nstep "
         "BT_MOD_SET_FIRM_STACK needs --dfu, --stack, --bcsp-uart, --bcsp, --bcsp-upchan\n"},
        // Steps that can only fail on every board, whatever it holds.
        {"compare without a read",
         [](UpdateDescription& u) {
             u.steps = {"BT_MOD_SET_COMP", "BT_MOD_SET_READ", "BT_MOD_SET_NEW_WRITE"};
         },
         "step BT_MOD_SET_COMP fails: it has no module keys to compare with (no BT_MOD_SET_READ "
         "before it)\n"},
        {"diff write without a compare",
         [](UpdateDescription& u) {
             u.steps = {"BT_MOD_SET_READ", "BT_MOD_SET_NEW_WRITE"};
         },
         "step BT_MOD_SET_NEW_WRITE writes nothing: no comparison names the keys that differ (no "
         "BT_MOD_SET_COMP before it)\n"},
        {"a step twice",
         [](UpdateDescription& u) {
             u.steps = {"CHECK_SDP", "LAP_SOFTWARE", "CHECK_SDP"};
         },
         "step CHECK_SDP is listed more than once; a to-do list names each step once\n"},
        {"firmware without its version line",
         [](UpdateDescription& u) {
             u.files[FILE_STACK] = part("stack.dfu", "# firmware of the module\r\nfirmware \r\n");
         },
         "step BT_MOD_SET_FIRM_STACK fails: stack.dfu names no firmware version (no line "
         "\"firmware VERSION\"), and the DFU program refuses it\n"},
        {"binary firmware",
         [](UpdateDescription& u) {
             u.files[FILE_STACK] = part("stack.dfu", std::string("DFU\0\x01", 5));
         },
         ""},
        {"parts of steps",
         [](UpdateDescription& u) {
             u.lapPayload.reset();
             u.files[FILE_SERVICES].reset();
             u.versions = {};
         },
         "step CHECK_VERSIONS needs a version (--firmware-version, --pskeys-version or "
         "--lap-version)\nstep LAP_SOFTWARE needs --lap or --lap-payload\nstep CHECK_SDP "
         "needs --services\n"},
        {"no steps", [](UpdateDescription& u) { u.steps.emplace(); },
         "the update has no steps: give its parts or --steps\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UpdateDescription update = *sampleUpdate(kSampleFolder, &error);
        update.files[FILE_PSKEYS] = part("k.psr", psKeys);
        c.change(update);
        std::vector<std::string> faults;
        std::optional<Bytes> image = buildUpdate(update, &faults);
        EXPECT_EQ(lines(faults), c.faults);
        EXPECT_EQ(image.has_value(), c.faults.empty());
    }

    // The LAP software image: as the daemon checks it, and below the flash's image space.
    UpdateDescription update;
    update.lapImage = part("lap.img", std::string(damaged.begin(), damaged.end()));
    EXPECT_EQ(lines(checkUpdate(update)), "lap.img: bad data checksum\n");
    update.lapImage->content = *wrapImage(Bytes(space - 64, 'x'), "Linux", 0, &error);
    EXPECT_EQ(lines(checkUpdate(update)),
              "lap.img: the LAP software image of 1900544 bytes doesn't fit a flash of 2097152 "
              "bytes: it must be smaller than 1900544 bytes\n");
    update.flashSize = 0x400000;
    EXPECT_EQ(lines(checkUpdate(update)), "");
    update.flashSize = 0x200000;
    update.lapImage->content = *wrapImage(Bytes(space - 65, 'x'), "Linux", 0, &error);
    EXPECT_EQ(lines(checkUpdate(update)), "");
}

// Without --steps the list holds every step whose part is given, in the board's order.
TEST(UpdateSteps, DefaultListFollowsTheParts) {
    PartFile file = part("f", "f");
    auto steps = [&](std::initializer_list<UpdateFileKind> kinds, bool version, bool lap) {
        UpdateDescription update;
        for (UpdateFileKind kind : kinds) update.files[kind] = file;
        if (version) update.versions[2] = "2.1.0";
        if (lap) update.lapImage = file;
        std::string list;
        for (const std::string& step : updateSteps(update)) list += step + " ";
        return list;
    };
    EXPECT_EQ(steps({FILE_PSKEYS, FILE_DFU, FILE_SERVICES}, true, true),
              "CHECK_VERSIONS BT_MOD_SET_FIRM_STACK BT_MOD_SET_ALL_WRITE LAP_SOFTWARE CHECK_SDP "
              "REMOVE_DFU_UPLOAD ");
    EXPECT_EQ(steps({FILE_PSKEYS}, false, true),
              "BT_MOD_SET_READ BT_MOD_SET_COMP BT_MOD_SET_NEW_WRITE LAP_SOFTWARE ");
    EXPECT_EQ(steps({FILE_STACK}, false, false), "BT_MOD_SET_FIRM_STACK REMOVE_DFU_UPLOAD ");
    EXPECT_EQ(steps({}, false, false), "");
    // The version check reads the module's versions from the PS-Key file: without the
    // module's parts it is no default step.
    EXPECT_EQ(steps({FILE_PSKEYS}, true, true),
              "CHECK_VERSIONS BT_MOD_SET_READ BT_MOD_SET_COMP BT_MOD_SET_NEW_WRITE LAP_SOFTWARE ");
    EXPECT_EQ(steps({FILE_SERVICES}, true, true), "LAP_SOFTWARE CHECK_SDP ");
}

// Each part with the steps that read it: without one of them in the list the part is refused
// by name; with one, or with the default list, it is taken.
TEST(UnreadParts, EachPartNeedsAStepThatReadsIt) {
    const PartFile file = part("f", "f");
    const struct {
        const char* name;
        void (*give)(UpdateDescription&, const PartFile&);
        std::vector<std::string> readers;
        std::string refusal;  // with --steps PPCBOOT
    } parts[] = {
        {"lap image",
         [](UpdateDescription& u, const PartFile& f) { u.lapImage = f; },
         {"LAP_SOFTWARE"},
         "--lap: LAP software image packed but not written, as --steps names no LAP_SOFTWARE"},
        {"lap payload",
         [](UpdateDescription& u, const PartFile& f) { u.lapPayload = f; },
         {"LAP_SOFTWARE"},
         "--lap-payload: LAP software image packed but not written, as --steps names no "
         "LAP_SOFTWARE"},
        {"pskeys",
         [](UpdateDescription& u, const PartFile& f) { u.files[FILE_PSKEYS] = f; },
         {"CHECK_VERSIONS", "BT_MOD_SET_COMP", "BT_MOD_SET_ALL_WRITE"},
         "--pskeys: PS-Keys packed but not read, as --steps names no CHECK_VERSIONS, "
         "BT_MOD_SET_COMP or BT_MOD_SET_ALL_WRITE"},
        {"firmware",
         [](UpdateDescription& u, const PartFile& f) {
             u.files[FILE_DFU] = f;
             u.files[FILE_BCSP_UPCHAN] = f;
         },
         {"BT_MOD_SET_FIRM_STACK"},
         "--dfu, --bcsp-upchan: firmware packed but not loaded, as --steps names no "
         "BT_MOD_SET_FIRM_STACK"},
        {"services",
         [](UpdateDescription& u, const PartFile& f) { u.files[FILE_SERVICES] = f; },
         {"CHECK_SDP"},
         "--services: service records packed but not merged, as --steps names no CHECK_SDP"},
        {"versions",
         [](UpdateDescription& u, const PartFile&) {
             u.versions[0] = "2114 1";
             u.versions[2] = "2.1";
         },
         {"CHECK_VERSIONS"},
         "--firmware-version, --lap-version: versions packed but not checked, as --steps names no "
         "CHECK_VERSIONS"},
        {"keys",
         [](UpdateDescription& u, const PartFile& f) { u.installKeys = {f}; },
         {"UPDATE_KEYS"},
         "--install-keys: key set packed but not installed, as --steps names no UPDATE_KEYS"},
    };
    for (const auto& p : parts) {
        SCOPED_TRACE(p.name);
        UpdateDescription update;
        p.give(update, file);
        update.steps = {"PPCBOOT"};
        EXPECT_EQ(unreadPartRefusal(update), p.refusal);
        for (const std::string& reader : p.readers) {
            update.steps = {"PPCBOOT", reader};
            EXPECT_EQ(unreadPartRefusal(update), std::nullopt) << reader;
        }
        update.steps.reset();
        if (std::string(p.name) != "versions") {
            EXPECT_EQ(unreadPartRefusal(update), std::nullopt);
        }
    }
}

// The sample update's bytes, pinned: the same on every build of the tool, whatever the
// machine's byte order and word size.
TEST(BuildUpdate, SampleUpdateIsTheSameOnEveryMachine) {
    std::string error;
    UpdateDescription update = *sampleUpdate(kSampleFolder, &error);
    EXPECT_EQ(versionFileText(update),
              "BTFIRMWARE=2114 17.3.5\nCSRMODULINFO=PS 07 SET S3A1\nLAP_VERSION=2.1.0\n");
    EXPECT_EQ(todoFileText(update),
              "# the steps of this update, in running order\nCHECK_VERSIONS\nBT_MOD_SET_READ\n"
              "BT_MOD_SET_COMP\nBT_MOD_SET_NEW_WRITE\nBT_MOD_SET_FIRM_STACK\n"
              "BT_MOD_SET_ALL_WRITE\nLAP_SOFTWARE\nCHECK_SDP\nREMOVE_DFU_UPLOAD\nPPCBOOT\n");
    // Its archive's tar, whatever the machine; the compressed bytes are zlib's.
    Bytes image = *buildSampleUpdate(kSampleFolder, &error);
    ImageListing listing = inspectImage(image);
    ASSERT_EQ(listing.files.size(), 3u);
    auto tar = gzipDecompress(
        std::span(image).subspan(listing.files[1].offset, listing.files[1].size), 1 << 24, &error);
    ASSERT_TRUE(tar) << error;
    EXPECT_EQ(tar->size(), 20480u);
    EXPECT_EQ(calcCrc32(0, tar->data(), tar->size()), 0x6D693FF5u);
    EXPECT_EQ(listing.files[2].size, 200000u);
}

// --flash-size as the board's seed files give it too: bytes, hexadecimal, K, M or G.
TEST(FlashSize, TakesBytesOrKMG) {
    for (const char* size : {"2097152", "0x200000", "2M", "2048K", "2048k"})
        EXPECT_EQ(flashSize(size), 0x200000u) << size;
    EXPECT_EQ(flashSize("4G"), 0x100000000u);
    for (const char* refused : {"192K", "100000", "5G", "M", "2MiB", "-2M", "", "2M "})
        EXPECT_EQ(flashSize(refused), std::nullopt) << refused;
}

}  // namespace
}  // namespace mkupdate
