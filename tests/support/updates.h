// Update images for the tests, made with the image tool's own functions.
#pragma once

#include <map>
#include <set>
#include <string>

#include "tools/common/image_builder.h"

// The sample update, folder sim/sample-update/ of the project, and its parts.
inline const std::string kSampleFolder = PROJECT_SOURCE_PATH "/sim/sample-update";
inline const std::string kSampleParts = PROJECT_SOURCE_PATH "/sim/sample-update/parts/";

// The sample update with its steps that don't involve the Bluetooth module: CHECK_VERSIONS,
// LAP_SOFTWARE, CHECK_SDP, REMOVE_DFU_UPLOAD, PPCBOOT. It runs in a fraction of a second and
// the same on every run.
mkupdate::Bytes sampleUpdateWithoutModule();

// The sample's LAP software image "Linux-qvl-sample" of 200000 bytes.
mkupdate::Bytes sampleLapImage();

// /etc/service.txt and /etc/terminal.txt of the simulated board after the sample update's
// SDP merge.
inline const std::string kSampleMergedService =
    "# SDP service records of the access point\n"
    "# handle;name;service;uuid;channel;provider\n"
    "10001;LAN Access Using PPP;3;0x1102;1;BT-LAP\n"
    "10002;Serial Port;5;0x1101;2;BT-LAP\n"
    "#$10003;Dial-up Networking;7;0x1103;3;BT-LAP\n"
    "20004;Group Ad-hoc Network;11;0x1117;5;BT-LAP\n";
inline const std::string kSampleMergedTerminal =
    "# terminal entries: id;name;SDP services;connectable services;timeout;flags\n"
    "1;default;3,5,11;3,5,11;600;0\n"
    "2;printer;3,5,11;3,5,11;0;1\n";

// dataTxt (a board's /etc/data.txt, as the simulated board's) naming the sample image's
// firmware and PS-Key versions instead: a board with it has nothing to load into its module,
// the sample update's longest wait, for a test that holds what the other steps do.
std::string onTheSampleImagesModule(std::string dataTxt);

// The flash contents before an update: no two neighbouring bytes alike. seedOldFlash makes them
// the simulated flash's, and returns them.
std::string oldFlashContents(std::size_t size = 0x200000);
std::string seedOldFlash(std::size_t size = 0x200000);

// A module's PS-Key store before an update: keys that the sample's PS-Key file sets to other
// values, keys it keeps and keys it lacks, CR LF.
inline const std::string kModuleStoreBefore =
    "&0003 = 0300 0002\r\n&0017 = 0007\r\n&0021 = 0004\r\n&0108 = 5442 4c2d 5041\r\n"
    "&01be = 01d8\r\n&01f9 = 0003\r\n&025f =\r\n"
    "&02a4 = 3253 3443 5320 5445 5020 4c52 4d2d 2032 5748 3330\r\n"
    "&02a5 = 5250 464c 2057 3631 342e 302e 3120 3539 2038 3530\r\n";
// The bytes of a file that inspectImage listed in image.
std::string listedFileBytes(const mkupdate::Bytes& image, const mkupdate::ListedFile& file);
// Those contents after the LAP software image lap was written at 0x20000, sector by sector:
// the rest of its last sector erased.
std::string flashWithLap(std::string flash, const std::string& lap);

// A multi-file update image: a note as file 0, update.d packed with files (name -> content;
// "updatetodo.txt" among them; the names in executables with their execute bit), and, with
// withLap, the sample's LAP software image last.
mkupdate::Bytes makeUpdateImage(const std::map<std::string, std::string>& files,
                                bool withLap = true,
                                const std::set<std::string>& executables = {"dfu"});

// The report without what the DFU program's timing decides in the firmware step's text: the
// progress read from its status file (how many of the daemon's reads came while it ran, and
// what each found, up to a time-out's text) and the reads that came before it wrote the file.
// What the daemon decides stays ("Update Parlo Firmware: started ...OK\n"), so that a report
// compares whole on a busy machine too.
std::string withoutDfuProgress(std::string report);

// The firmware parts of the simulated board: the DFU stand-in, its firmware file and the
// stand-in BCSP driver modules (sim/dfu-standin/).
std::map<std::string, std::string> firmwareParts();
