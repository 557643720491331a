// mkupdate: builds, checks and lists the update images of the BT-LAP update daemon.
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/build_time.h"
#include "tools/common/formatted.h"
#include "tools/common/image_builder.h"
#include "tools/common/image_files.h"
#include "tools/common/input_file.h"
#include "tools/common/signature_words.h"
#include "tools/mkupdate/build_options.h"
#include "tools/mkupdate/image_signing.h"
#include "tools/mkupdate/image_verdict.h"
#include "tools/mkupdate/key_set_making.h"
#include "tools/mkupdate/signing_key.h"
#include "tools/mkupdate/update_archive.h"
#include "tools/mkupdate/update_build.h"

namespace {

constexpr int kExitFailure = 1;  // a bad image, or a file that can't be read or written
constexpr int kExitUsage = 2;

const char* kHelp = R"(Usage: mkupdate COMMAND [OPTIONS] [FILES]
Builds, checks, lists and takes apart update images of the BT-LAP update daemon. Every
image has a 64-byte big-endian header: magic 0x11092001, header CRC-32, data size, data
CRC-32, type, name (at most 32 bytes, NUL-padded, not necessarily NUL-terminated); all
other header bytes are 0, so identical inputs give byte-identical images.

  mkupdate build -o OUT [--name NAME] [--note FILE] PARTS... [--steps LIST]
                 [--install-keys DIR [--keyset-version N [--threshold K]
                  [--root-key ROOT.pem]... [--root-signature SIG]... [--board-keys DIR]]]
                 [--sign KEY.pem [--passin SOURCE] [--security-version N] [--force]]
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
        --flash-size SIZE           the board's flash, in bytes or with K, M or G
                                    (default 2M)
      --install-keys DIR: the key files (*.key) of DIR become update.d/update-keys/, and
      the step UPDATE_KEYS installs them as the board's key set, replacing all of its
      keys (see "Key rotation" below); each must be a key file the board reads, 1 to 16
      (a statement "keyset" and its signatures "keyset.sig" in DIR are left out: build
      writes the set's own). Without --sign a warning says that a board with keys refuses
      the image.
      Root keys (keygen --role root) sign no image, only key sets: a board whose set
      holds root keys takes a new set only when enough of its roots signed it. A set
      with root keys needs --keyset-version N (1 to 4294967295, above the boards'
      key-set version): build writes the set's statement update-keys/keyset (version,
      threshold, each key file's name and SHA-256) and its signatures update-keys/
      keyset.sig (a line per root: its key ID and signature). --threshold K (1 to 16, at
      most the set's roots) is how many of this set's roots must sign the set after it;
      default a majority of them (1 of 1, 2 of 2 or 3, 3 of 4 or 5: give three roots, so
      that one lost root leaves two to replace it). --root-key ROOT.pem (repeatable,
      opened as --sign opens its key, --passin for all) signs the statement here, and
      each --root-signature SIG (repeatable) inserts a root's signature made elsewhere of
      the bytes that keyset-statement writes. Each must be found to be a root key of the new
      set or of --board-keys DIR, the boards' set today (their /etc/update-keys: its key
      files and keyset). Refused, exit 1, nothing written: root keys but no
      keyset version; a statement for a set without root keys, or with no release key
      (no image could be signed after it); a threshold above the set's roots; a root key
      or signature of neither set; fewer of the set's roots signing than its threshold
      (every board refuses the set); and with --board-keys a set that a board with those
      keys refuses ("a board with the keys of DIR refuses this key set: ..."): one
      without roots, a version not above its own, or fewer of its roots signing than its
      threshold (1 when it holds no statement).
      --sign KEY.pem signs the image with that private key, as "sign" does, with
      --passin, --security-version and --force as there; a root key of the set or of
      --board-keys is refused: root keys sign key sets, never images.
      --steps LIST (step keywords, separated by commas; repeatable) is the to-do list.
      Without it the list holds every step whose part is given, in this order:
        CHECK_VERSIONS                  with a version and the firmware or --pskeys
        BT_MOD_SET_FIRM_STACK           with the firmware (--dfu ... --bcsp-upchan),
        BT_MOD_SET_ALL_WRITE            and with --pskeys, over the firmware step's link
        BT_MOD_SET_READ, BT_MOD_SET_COMP, BT_MOD_SET_NEW_WRITE   with --pskeys alone
        LAP_SOFTWARE                    with the LAP software image
        CHECK_SDP                       with --services
        REMOVE_DFU_UPLOAD               with the firmware
        UPDATE_KEYS                     with --install-keys
      A part that no step of the list reads would travel for nothing and is refused
      (exit 2, naming the step): the LAP software image without LAP_SOFTWARE, --pskeys
      without CHECK_VERSIONS, BT_MOD_SET_COMP or BT_MOD_SET_ALL_WRITE, the firmware
      without BT_MOD_SET_FIRM_STACK, --services without CHECK_SDP, a version without
      CHECK_VERSIONS, --install-keys without UPDATE_KEYS.
      "--steps BT_MOD_SET_READ" with no part makes a read-only update: its run leaves
      the module's keys, the flash and /etc as they were, and the module's PS-Keys in
      the board's /tmp/pskeydump.psr, in the format that --pskeys takes. (A board's
      capture, "aipeer capture", runs aipeer's own read-only update alone: "aipeer
      capture-image" writes it, for "sign".)
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
          software image, CHECK_SDP --services). No step that can only fail: a step
          selected, each line a step or a comment (#), each step listed once,
          BT_MOD_SET_READ before BT_MOD_SET_COMP, BT_MOD_SET_COMP before
          BT_MOD_SET_NEW_WRITE, and a firmware file that is text names its version on a
          line "firmware VERSION", which the DFU program loads.

  mkupdate keygen [--bits BITS] [--role release|root] KEY.pem [PUBLIC.key]
      Makes a signing key: an RSA key of BITS bits (2048 to 4096, default 3072; exponent
      65537). A release key (the default) signs images; a root key (--role root; its key
      file holds the line "role root") signs key sets only (build --root-key), and
      belongs offline. Its private key goes to KEY.pem (mode 0600), the board's public
      key file to PUBLIC.key (default: KEY.pem's name with .key in place of .pem), which
      must end in .key, the only name the board reads; an existing file is never
      replaced. The key's ID and both files are printed. PUBLIC.key goes into the board's /etc/update-keys/;
      KEY.pem stays with the makers.

  mkupdate pubkey [--passin SOURCE] [--role release|root] [-o OUT] KEY
      Writes the board's key file of KEY, a key in PEM (- reads it from standard input),
      to standard output by default: the file that keygen writes for that key, for a key
      that lives elsewhere (a token, another machine). KEY is a public key, as "openssl
      pkey -pubout" writes it, or a private key, opened as "sign" opens it. OUT must end
      in .key, the only name the board reads. --role as for keygen.

  mkupdate keyset-statement --install-keys DIR --keyset-version N [--threshold K]
                            [-o OUT]
      Writes the statement of the key set of DIR that build writes with the same key-set
      version and threshold (to standard output by default), for root keys
      held offline to sign; build --root-signature takes their signatures:
        $ mkupdate keyset-statement --install-keys next --keyset-version 2 -o keyset
        $ openssl dgst -sha256 -sign ROOT.pem -out root.sig keyset
        $ mkupdate build ... --install-keys next --keyset-version 2 --root-signature root.sig

  mkupdate sign --key KEY.pem [--passin SOURCE] [--security-version N] [--resign]
                [-o OUT] IMAGE
  mkupdate sign --signature SIG --public KEY.key [--security-version N] [--resign]
                [-o OUT] IMAGE
      Signs IMAGE with the private key of KEY.pem: file 0 becomes the signature block
      followed by what it held (the note); written to OUT, or in place of IMAGE. An image
      signed already is refused, unless --resign (its signature is replaced, its note kept).
      A board with keys in /etc/update-keys/ takes only images signed by one of them: the
      signature covers every byte of files 1 to the last (see "Signed images" below).
      --passin opens an encrypted KEY.pem with a passphrase given as openssl takes one:
      pass:TEXT, env:VARIABLE, file:PATH or fd:NUMBER (their first line).
      --security-version N (0 to 4294967295) writes a format 2 block that binds N: a
      board refuses images of a lower security version than that of its last update that
      ended OK. 4294967295 pins a board for good: it is refused unless --force is given. Without it the block is format 1 (security version 0), which boards of
      every daemon that checks signatures read.
      With --signature, SIG is a signature made elsewhere (a token, another machine) of
      the bytes that "statement" prints, with the same --security-version; it is inserted
      only when it is the valid signature of the key of KEY.key, the board's key file
      that "pubkey" writes (--key-id KEY.key is the same option), and not a root
      key's. RSA PKCS#1 v1.5 signatures are deterministic: the image is byte for byte
      the one "sign --key" makes with that key.

  mkupdate statement [--security-version N] [-o OUT] IMAGE
      Writes the bytes that a signature of IMAGE covers (to standard output by default):
      the statement of format 1, or of format 2 with N. With openssl and a key held
      elsewhere, KEY, whose public key is KEY.pub:
        $ mkupdate pubkey -o KEY.key KEY.pub
        $ mkupdate statement --security-version 4 -o stmt update.img
        $ openssl dgst -sha256 -binary -out stmt.sha256 stmt
        $ openssl pkeyutl -sign -inkey KEY -pkeyopt digest:sha256 -in stmt.sha256 -out sig
        $ mkupdate sign --signature sig --public KEY.key --security-version 4 update.img

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

  mkupdate list [--json] [--flash-size SIZE] IMAGE
      Shows the header fields with both checksums verified, the files of a multi-file
      image with their offsets and sizes (and the header of a last file that is itself
      an image), what the update archive in file 1 holds (its members with modes and
      sizes, the steps of the to-do list by position as the daemon selects them, the
      versions of VERSION as the version check reads them), and the daemon's verdict:
      "result valid", or one "result BAD: REASON" line per reason why the daemon would
      refuse the image or the update fail, or why a part would travel for nothing
      ("update.d/update-keys/: key set packed but not installed, as
      update.d/updatetodo.txt names no UPDATE_KEYS"). The signature block ("signature
      key ID, format F, security version N", "unsigned", or "BAD: damaged signature
      block") and the key set that the update installs (each update.d/update-keys/ key
      file with its key's ID and role; its statement's key-set version and threshold, and
      who signed it: a root of the set by name and ID, another key by ID) come before the
      verdict, and a "warning" line for a key set installed by an unsigned image. With --json the same as one JSON object
      ("format_version" 2, "signature", "keySet" with each key's "role",
      "keySetStatement", "warnings"; the last file's own header under "header" when it is
      an image).

  mkupdate check [--flash-size SIZE] [--keys DIR]... IMAGE
      Gives the daemon's verdict on IMAGE and writes nothing: the reception's checks
      (header and checksums, a multi-file image whose file 1 unpacks into update.d with
      a to-do file that selects steps), then for each listed step the part it needs,
      checked as build checks it (PS-Keys, service records, the DFU program and the
      firmware files, the versions, the last file as the LAP software image that fits
      the flash), and each part that no listed step reads. With --keys, also the signature as a board whose /etc/update-keys/
      holds the key files (*.key) of DIR checks it: without a valid signature by one of
      them the image is refused ("refused: no signature", "refused: signed by unknown key
      ID", "refused: bad signature by key ID", "refused: security version N is older than
      the board's M" with M 0 here). --keys may be given for several folders: the block
      ("IMAGE: signed by key ID, format F, security version N") and each folder's verdict
      ("IMAGE: keys DIR: valid" or "refused") are printed. A folder that a board can't
      use fails (exit 1): no key file (*.key) in it, so that a board takes images
      unsigned or, with other files only, refuses every image. For an update that
      installs a key set, also that board's verdict on it, as a board with DIR's key files
      and statement (keyset) gives it: "IMAGE: keys DIR: key set version N (the board's
      M), threshold K, signed by ..." and a refusal "a board with the keys of DIR refuses
      this key set: ..." (a set without roots for a board with roots, a version not above
      the board's, fewer of the board's roots than its threshold). Prints "IMAGE: valid",
      or each reason on standard error, as it does the warnings.

  mkupdate extract IMAGE N -o OUT
      Writes file N (from 0) of a valid multi-file image to OUT. Extracting every file
      and giving them to "multi" with the image's name builds the same image again.

  mkupdate --help (-h), mkupdate --version (-V)
      Shows this text, or the version of the tool and of its build.

Signed images: a board whose /etc/update-keys/ holds key files (*.key, as keygen writes
them) takes only images that one of those keys signed; a board without that folder, or
with an empty one, takes any; one whose folder can't be listed or holds only other files
refuses every image. The signature block stands at the start of file 0, ahead of its
note, its words big-endian: "UPD-SIG\n" (8 bytes), the format 1 or 2 (4), the
signature's length L (4), the key's ID (16: the first 16 bytes of the SHA-256 of its
modulus), in format 2 the security version (4), the signature (L bytes). The signature
(RSA of 2048 to 4096 bits, PKCS#1 v1.5, SHA-256) covers a statement. The files'
statement: the count of the files after file 0 (a word), then for each of them its size
(a word) and its SHA-256. Format 1 signs the files' statement; format 2 signs the word 2,
the security version and the SHA-256 of the files' statement (40 bytes). A key file holds
"#" comment lines and one line "rsa-sha256 65537 " followed by the modulus in hex.

Key rotation, in three updates that each end OK: 1. an update signed by the old key
installs the set of the old and the new key (--install-keys with both); 2. updates are
signed by the new key; 3. an update signed by the new key installs the set of the new key
alone, retiring the old one. A board without keys takes its first set from an unsigned
update (enrolment). Once a board's set holds root keys, each of these sets also needs
the signatures of its threshold of the board's roots and of the new set's own roots
(--keyset-version, --root-key, --root-signature), with a higher key-set version each
time.

Options take their value as the next argument or after "=" (--name=NAME, -oOUT); "--"
ends the options. An IMAGE or an input FILE "-" is read from standard input (at most
256 MiB, as any input), OUT "-" writes to standard output. Any other OUT is written to a
temporary file beside it and renamed, so a refusal or a failure leaves it as it was; an
OUT that exists and is not a regular file (/dev/null, a folder), a symbolic link, or one
of the command's input files is refused and left alone.

Exit status: 0 success (list and check: the daemon takes the image), 1 bad input (a
refused part, an image the daemon would refuse or fail, an output refused) or a file that
can't be read or written, 2 wrong usage.
)";

int usageError(const std::string& message) {
    std::fprintf(stderr, "mkupdate: %s (see mkupdate --help)\n", message.c_str());
    return kExitUsage;
}

int failure(const std::string& message) {
    std::fprintf(stderr, "mkupdate: %s\n", message.c_str());
    return kExitFailure;
}

enum Code {
    kName = 256,
    kType,
    kPackDir,
    kJson,
    kFlashSize,
    kKeys,
    kKey,
    kResign,
    kBits,
    kSecurityVersion,
    kPassin,
    kSignature,
    kPublic,
    kForce,
    kRole,
    kKeysetVersion,
    kThreshold,
    kInstallKeys,
};

// Reads a command's options (argv[0] is the command) with getopt_long; take(code, value) gets
// each option and answers with a usage message or nothing. The operands, in order, or
// nothing after a usage error has been reported. inOrder hands the operands to take as well,
// code 1, in their places among the options.
std::optional<std::vector<std::string>> readOptions(
    int argc, char** argv, const std::vector<option>& longOptions,
    const std::function<std::optional<std::string>(int, const char*)>& take, bool inOrder = false) {
    std::vector<option> table = longOptions;
    table.push_back({nullptr, 0, nullptr, 0});
    opterr = 0;
    optind = 1;
    for (int got;
         (got = getopt_long(argc, argv, inOrder ? "-:o:" : ":o:", table.data(), nullptr)) != -1;) {
        std::optional<std::string> error = got == ':' || got == '?'
                                               ? mkupdate::optionError(got, argv, argv[0])
                                               : take(got, optarg);
        if (error) {
            usageError(*error);
            return std::nullopt;
        }
    }
    return std::vector<std::string>(argv + optind, argv + argc);
}

std::optional<std::string> takeFlashSize(const char* value, std::uint64_t* size) {
    auto parsed = mkupdate::flashSize(value);
    if (parsed) *size = *parsed;
    if (parsed) return std::nullopt;
    return mkupdate::flashSizeRefusal(value);
}

int writeResult(const std::string& output, const mkupdate::Bytes& content,
                const std::vector<std::string>& inputs) {
    std::string error;
    if (!mkupdate::writeOutput(output, content, inputs, &error)) return failure(error);
    return EXIT_SUCCESS;
}

int wrapCommand(int argc, char** argv) {
    std::optional<std::string> name;
    std::string output;
    long type = 0;
    auto operands = readOptions(
        argc, argv,
        {{"name", required_argument, nullptr, kName}, {"type", required_argument, nullptr, kType}},
        [&](int code, const char* value) -> std::optional<std::string> {
            if (code == 'o') output = value;
            if (code == kName) name = value;
            if (code != kType) return std::nullopt;
            char* end = nullptr;
            type = std::strtol(value, &end, 0);
            if (*value == '\0' || *end != '\0' || type < 0 || type > 255)
                return std::string("--type takes a number from 0 to 255, not \"") + value + "\"";
            return std::nullopt;
        });
    if (!operands) return kExitUsage;
    if (operands->size() > 1)
        return usageError("wrap takes one payload file, got also " + (*operands)[1]);
    if (!name) return usageError("wrap needs --name NAME");
    if (operands->empty()) return usageError("wrap needs a payload file");
    if (output.empty()) return usageError("wrap needs -o OUT");

    std::string error;
    mkupdate::Bytes payload;
    if (!mkupdate::readWholeFile(operands->front(), &payload, &error)) return failure(error);
    auto image = mkupdate::wrapImage(payload, *name, static_cast<std::uint8_t>(type), &error);
    if (!image) return failure(error);
    return writeResult(output, *image, *operands);
}

int multiCommand(int argc, char** argv) {
    std::string name = mkupdate::kDefaultUpdateName;
    std::string output;
    // Each entry is a file path, or a folder to pack when marked, in the order given.
    struct Item {
        std::string path;
        bool packFolder;
    };
    std::vector<Item> items;
    auto operands = readOptions(
        argc, argv,
        {{"name", required_argument, nullptr, kName},
         {"pack-dir", required_argument, nullptr, kPackDir}},
        [&](int code, const char* value) -> std::optional<std::string> {
            if (code == 'o') output = value;
            if (code == kName) name = value;
            if (code == kPackDir) items.push_back({value, true});
            if (code == 1) items.push_back({value, false});
            return std::nullopt;
        },
        true);
    if (!operands) return kExitUsage;
    for (const std::string& operand : *operands) items.push_back({operand, false});
    if (output.empty()) return usageError("multi needs -o OUT");
    if (items.size() < 2) return usageError("multi needs at least FILE0 and FILE1");

    std::string error;
    std::vector<mkupdate::Bytes> files;
    std::vector<std::string> inputs;
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
        inputs.push_back(item.path);
    }
    auto image = mkupdate::buildMultiImage(files, name, &error);
    if (!image) return failure(error);
    return writeResult(output, *image, inputs);
}

// A key folder as the board reads it: each key file read as the daemon reads it, a file that
// it would ignore named (the board would refuse every image that only such a key signed).
// False (reported) when a board with it checks no signature or refuses every image.
bool checkKeyFolder(const std::string& folder) {
    std::vector<std::string> others;
    const OtherFileListener listener{
        [](void* context, const char* path) {
            // The set's statement and signatures lie beside its keys.
            if (!mkupdate::isKeySetStatementFile(std::filesystem::path(path).filename().string()))
                static_cast<std::vector<std::string>*>(context)->push_back(path);
        },
        &others};
    KeyFolder keys = inspectKeyFolder(folder.c_str(), &listener);
    for (const std::string& other : others)
        failure("warning: " + other + " is not named *.key; the board ignores it");
    switch (keys.state) {
        case KeyFolderState::Absent:
        case KeyFolderState::Unlistable:
            failure("can't read key folder " + folder + ": " +
                    std::strerror(keys.error ? keys.error : ENOENT));
            return false;
        case KeyFolderState::Empty:
            failure(folder + " holds no key file (*.key): a board with it takes images unsigned");
            return false;
        case KeyFolderState::NoKeyFile:
            failure(folder + " holds no key file (*.key): a board with it refuses every image");
            return false;
        case KeyFolderState::Keys:
            break;
    }
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        std::string name = entry.path().filename().string();
        if (!isKeyFileName(name)) continue;
        if (!mkupdate::readSetKeyFile(entry.path().string()))
            failure("warning: " + entry.path().string() + " is not a key file the board reads");
    }
    return true;
}

// Who signed a key set's statement, as a board with the keys of folder knows them: by name,
// or by ID for a key of neither set.
std::string keySetSigners(const mkupdate::KeySetReading& reading, const std::string& folder) {
    std::string text;
    for (const mkupdate::KeySetSigner& signer : reading.signers) {
        text += text.empty() ? "" : ", ";
        std::string id = updateKeyIdText(signer.keyId).data();
        if (signer.name.empty())
            text += id + " (a key of neither set)";
        else
            text += std::string(signer.newSetRoot ? "" : folder + "/") + signer.name + " " + id +
                    (signer.valid ? "" : " (bad signature)");
    }
    return text.empty() ? "no root key" : text;
}

// The verdict of a board with the keys of folder on the key set that the image installs: the
// set's version, threshold and signers into text, a refusal into faults. False when it
// refuses the set (or the folder can't be read).
bool judgeKeySet(const std::string& path, const mkupdate::KeySetFiles& set,
                 const std::string& folder, std::string* text, std::vector<std::string>* faults) {
    std::string error;
    auto board = mkupdate::keySetOfFolder(folder, &error);
    if (!board) {
        faults->push_back(error);
        return false;
    }
    mkupdate::KeySetReading reading = mkupdate::readKeySet(set, "update.d/update-keys", &*board);
    if (reading.statementRead)
        *text = formatted(
            "%s: keys %s: key set version %u (the board's %u), threshold %u, "
            "signed by %s\n",
            path.c_str(), folder.c_str(), reading.version, mkupdate::boardKeySetVersion(*board),
            reading.threshold, keySetSigners(reading, folder).c_str());
    std::string refusals;
    for (const std::string& refusal : reading.boardFaults)
        refusals += (refusals.empty() ? "" : "; ") + refusal;
    if (!refusals.empty())
        faults->push_back("a board with the keys of " + folder +
                          " refuses this key set: " + refusals);
    return refusals.empty();
}

// What file 0's signature block says, as check --keys shows it.
std::string signatureSummary(const mkupdate::Bytes& image) {
    std::string error;
    auto split = mkupdate::splitMultiImage(image, &error);
    if (!split) return "no signature block";
    SignatureBlock block{};
    const SignatureBlockParse parsed = parseSignatureBlock(split->files.front(), &block);
    const std::string words = signatureBlockWords(parsed, block);
    return parsed == SignatureBlockParse::Found ? "signed by " + words : words;
}

// list and check: the daemon's verdict on one image.
int judgeCommand(int argc, char** argv, bool listing) {
    bool json = false;
    std::uint64_t flashSize = mkupdate::kDefaultFlashSize;
    std::vector<std::string> keys;
    std::vector<option> options{{"flash-size", required_argument, nullptr, kFlashSize}};
    if (listing) options.push_back({"json", no_argument, nullptr, kJson});
    if (!listing) options.push_back({"keys", required_argument, nullptr, kKeys});
    auto operands = readOptions(argc, argv, options,
                                [&](int code, const char* value) -> std::optional<std::string> {
                                    if (code == kJson) json = true;
                                    if (code == kKeys) keys.push_back(value);
                                    if (code == kFlashSize) return takeFlashSize(value, &flashSize);
                                    if (code == 'o')
                                        return std::string(argv[0]) + " writes no file";
                                    return std::nullopt;
                                });
    if (!operands) return kExitUsage;
    if (operands->size() != 1) return usageError(std::string(argv[0]) + " takes one image file");
    const std::string& path = operands->front();
    std::string error;
    mkupdate::Bytes image;
    if (!mkupdate::readWholeFile(path, &image, &error)) return failure(error);
    mkupdate::ImageVerdict verdict = mkupdate::judgeImage(image, flashSize);
    for (const std::string& folder : keys)
        if (!checkKeyFolder(folder)) return kExitFailure;
    // Each key folder's verdict, as a board with those keys gives it.
    std::string verdicts;
    if (!keys.empty() && verdict.valid()) {
        verdicts = path + ": " + signatureSummary(image) + "\n";
        for (const std::string& folder : keys) {
            auto refused = mkupdate::signatureRefusalOf(image, folder);
            if (refused) verdict.faults.push_back("refused: " + *refused);
            std::string keySet;
            if (verdict.keySet &&
                !judgeKeySet(path, *verdict.keySet, folder, &keySet, &verdict.faults))
                refused = "key set";
            verdicts += keySet;
            verdicts += path + ": keys " + folder + ": " + (refused ? "refused" : "valid") + "\n";
        }
    }
    if (!listing)
        for (const std::string& warning : verdict.warnings)
            failure("warning: " + path + ": " + warning);
    if (listing) {
        std::fputs((json ? verdict.json : verdict.text).c_str(), stdout);
    } else if (verdict.valid()) {
        std::fputs(verdicts.c_str(), stdout);
        std::printf("%s: valid\n", path.c_str());
    } else {
        std::fputs(verdicts.c_str(), stdout);
        for (const std::string& fault : verdict.faults) failure(path + ": " + fault);
    }
    return verdict.valid() ? EXIT_SUCCESS : kExitFailure;
}

// The passphrase of --passin into passphrase (none without it); false after its failure was
// reported.
bool readPassin(const std::optional<std::string>& passin, std::optional<std::string>* passphrase) {
    if (!passin) return true;
    std::string error;
    *passphrase = mkupdate::readPassphrase(*passin, &error);
    if (!*passphrase) failure(error);
    return passphrase->has_value();
}

// The private key of a PEM file, or nothing after its failure was reported.
std::optional<mkupdate::SigningKey> openSigningKey(const std::string& path,
                                                   const std::optional<std::string>& passphrase) {
    std::string error;
    auto key = mkupdate::loadSigningKey(path, false, &error, passphrase);
    if (!key) failure(error);
    return key;
}

// The private key of --key, or nothing after its failure was reported.
std::optional<mkupdate::SigningKey> readSigningKey(const std::string& path,
                                                   const std::optional<std::string>& passin) {
    std::optional<std::string> passphrase;
    if (!readPassin(passin, &passphrase)) return std::nullopt;
    return openSigningKey(path, passphrase);
}

std::optional<std::string> takeSecurityVersion(const char* value,
                                               std::optional<std::uint32_t>* version) {
    *version = mkupdate::securityVersion(value);
    if (*version) return std::nullopt;
    return mkupdate::securityVersionRefusal(value);
}

// A value of --role: root or release.
std::optional<std::string> takeRole(const char* value, KeyRole* role) {
    auto parsed = mkupdate::keyRoleNamed(value);
    if (!parsed) return "--role takes root or release, not \"" + std::string(value) + "\"";
    *role = *parsed;
    return std::nullopt;
}

// The private key in PEM and the board's key file of it, with role; neither left behind when
// either fails. EXIT_SUCCESS, or the status after the failure was reported.
int writeKeyPair(const std::string& privatePath, const std::string& pem,
                 const std::string& publicPath, const mkupdate::SigningKey& key, KeyRole role) {
    // The private key: never over an existing file, never readable by others.
    int fd = open(privatePath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return failure("can't create " + privatePath + ": " + std::strerror(errno));
    bool written = write(fd, pem.data(), pem.size()) == static_cast<ssize_t>(pem.size());
    if (close(fd) != 0 || !written) {
        unlink(privatePath.c_str());
        return failure("can't write " + privatePath);
    }
    std::string text = mkupdate::updateKeyFileText(key.modulus, role);
    int publicFd = open(publicPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    bool publicWritten = publicFd >= 0 && write(publicFd, text.data(), text.size()) ==
                                              static_cast<ssize_t>(text.size());
    if (publicFd >= 0 && close(publicFd) != 0) publicWritten = false;
    if (!publicWritten) {
        int failed = errno;
        if (publicFd >= 0) unlink(publicPath.c_str());
        unlink(privatePath.c_str());
        return failure("can't create " + publicPath + ": " + std::strerror(failed));
    }
    return EXIT_SUCCESS;
}

int keygenCommand(int argc, char** argv) {
    long bits = mkupdate::kDefaultKeyBits;
    KeyRole role = KeyRole::Release;
    auto operands = readOptions(
        argc, argv,
        {{"bits", required_argument, nullptr, kBits}, {"role", required_argument, nullptr, kRole}},
        [&](int code, const char* value) -> std::optional<std::string> {
            if (code == 'o') return std::string("keygen takes KEY.pem [PUBLIC.key]");
            if (code == kRole) return takeRole(value, &role);
            char* end = nullptr;
            bits = std::strtol(value, &end, 10);
            if (*end != '\0' || bits < 2048 || bits > 4096)
                return "--bits takes 2048 to 4096, not \"" + std::string(value) + "\"";
            return std::nullopt;
        });
    if (!operands) return kExitUsage;
    if (operands->empty() || operands->size() > 2)
        return usageError("keygen takes KEY.pem [PUBLIC.key]");
    const std::string privatePath = (*operands)[0];
    std::string publicPath = operands->size() == 2 ? (*operands)[1] : privatePath;
    if (operands->size() == 1) {
        if (publicPath.ends_with(".pem")) publicPath.resize(publicPath.size() - 4);
        publicPath += std::string(kUpdateKeySuffix);
    }
    // The board reads only *.key files: a key under another name would leave it refusing
    // every image.
    if (!isKeyFileName(std::filesystem::path(publicPath).filename().string()))
        return usageError("the board's key file must be named NAME.key, not " + publicPath);
    if (publicPath == privatePath) return usageError("KEY.pem and PUBLIC.key must differ");
    // Neither file replaces one that exists: a key pair is made once.
    struct stat existing {};
    if (lstat(privatePath.c_str(), &existing) == 0)
        return failure("can't create " + privatePath + ": " + std::strerror(EEXIST));
    if (lstat(publicPath.c_str(), &existing) == 0)
        return failure("can't create " + publicPath + ": " + std::strerror(EEXIST));
    std::string error;
    auto pem = mkupdate::generateKeyPem(static_cast<int>(bits), &error);
    if (!pem) return failure(error);
    auto key = mkupdate::loadSigningKey(*pem, true, &error);
    if (!key) return failure(error);
    int written = writeKeyPair(privatePath, *pem, publicPath, *key, role);
    if (written != EXIT_SUCCESS) return written;
    std::printf("update %s %s (RSA %ld bits): private %s, for the board %s\n",
                role == KeyRole::Root ? "root key" : "key", updateKeyIdText(key->id).data(), bits,
                privatePath.c_str(), publicPath.c_str());
    return EXIT_SUCCESS;
}

// The board's key file of a key in PEM: for a key that lives in a token or on another machine,
// whose public key is all there is to give.
int pubkeyCommand(int argc, char** argv) {
    std::string output = "-";
    std::optional<std::string> passin;
    KeyRole role = KeyRole::Release;
    auto operands = readOptions(argc, argv,
                                {{"passin", required_argument, nullptr, kPassin},
                                 {"role", required_argument, nullptr, kRole}},
                                [&](int code, const char* value) -> std::optional<std::string> {
                                    if (code == 'o') output = value;
                                    if (code == kPassin) passin = value;
                                    if (code == kRole) return takeRole(value, &role);
                                    return std::nullopt;
                                });
    if (!operands) return kExitUsage;
    if (operands->size() != 1) return usageError("pubkey takes one key in PEM, or - for its text");
    // The board reads only *.key files, as keygen's.
    if (output != "-" && !isKeyFileName(std::filesystem::path(output).filename().string()))
        return usageError("the board's key file must be named NAME.key, not " + output);
    const std::string& path = operands->front();
    std::optional<std::string> passphrase;
    if (!readPassin(passin, &passphrase)) return kExitFailure;
    std::string pem, error;
    if (!readInputFile(path, &pem, &error)) return failure(error);
    auto modulus =
        mkupdate::loadPublicModulus(pem, path == "-" ? "standard input" : path, &error, passphrase);
    if (!modulus) return failure(error);
    const std::string text = mkupdate::updateKeyFileText(*modulus, role);
    return writeResult(output, mkupdate::Bytes(text.begin(), text.end()), {path});
}

// A signature made elsewhere (a token, another machine), or nothing after its failure was
// reported.
std::optional<mkupdate::Bytes> readSignature(const std::string& path) {
    std::string error;
    mkupdate::Bytes signature;
    if (!mkupdate::readWholeFile(path, &signature, &error)) {
        failure(error);
        return std::nullopt;
    }
    return signature;
}

// What sign is asked to do.
struct SignRequest {
    std::string keyPath, output, signaturePath, publicPath;
    std::optional<std::string> passin;
    std::optional<std::uint32_t> securityVersion;
    bool resign = false;
    bool force = false;
};

// The options into request; the operands, or nothing after a usage error.
std::optional<std::vector<std::string>> readSignOptions(int argc, char** argv,
                                                        SignRequest* request) {
    return readOptions(argc, argv,
                       {{"key", required_argument, nullptr, kKey},
                        {"resign", no_argument, nullptr, kResign},
                        {"security-version", required_argument, nullptr, kSecurityVersion},
                        {"passin", required_argument, nullptr, kPassin},
                        {"signature", required_argument, nullptr, kSignature},
                        {"public", required_argument, nullptr, kPublic},
                        {"key-id", required_argument, nullptr, kPublic},
                        {"force", no_argument, nullptr, kForce}},
                       [request](int code, const char* value) -> std::optional<std::string> {
                           if (code == 'o') request->output = value;
                           if (code == kKey) request->keyPath = value;
                           if (code == kResign) request->resign = true;
                           if (code == kForce) request->force = true;
                           if (code == kPassin) request->passin = value;
                           if (code == kSignature) request->signaturePath = value;
                           if (code == kPublic) request->publicPath = value;
                           if (code == kSecurityVersion)
                               return takeSecurityVersion(value, &request->securityVersion);
                           return std::nullopt;
                       });
}

int signCommand(int argc, char** argv) {
    SignRequest request;
    auto operands = readSignOptions(argc, argv, &request);
    const auto& [keyPath, output, signaturePath, publicPath, passin, securityVersion, resign,
                 force] = request;
    if (!operands) return kExitUsage;
    if (mkupdate::pinsBoards(securityVersion) && !force)
        return usageError(mkupdate::kPinningRefusal);
    const bool detached = !signaturePath.empty() || !publicPath.empty();
    if (operands->size() != 1 ||
        (detached ? !keyPath.empty() || signaturePath.empty() || publicPath.empty() || passin
                  : keyPath.empty()))
        return usageError(
            "sign takes --key KEY.pem, or --signature SIG --public KEY.key, and one image file");
    const std::string& path = operands->front();
    std::string error;
    mkupdate::Bytes image;
    if (!mkupdate::readWholeFile(path, &image, &error)) return failure(error);
    std::optional<mkupdate::Bytes> signedImage;
    std::vector<std::string> inputs;
    if (detached) {
        auto key = mkupdate::readSetKeyFile(publicPath);
        if (!key) return failure(publicPath + " is not a key file the board reads");
        if (key->role == KeyRole::Root)
            return failure(publicPath + " " + mkupdate::kRootKeySignsNoImage);
        auto signature = readSignature(signaturePath);
        if (!signature) return kExitFailure;
        signedImage = mkupdate::insertSignature(image, key->key, key->id, *signature,
                                                securityVersion, resign, &error);
        inputs = {signaturePath, publicPath};
    } else {
        auto key = readSigningKey(keyPath, passin);
        if (!key) return kExitFailure;
        signedImage =
            mkupdate::signImage(image, key->id, key->sign, resign, &error, securityVersion);
        inputs = {keyPath};
    }
    if (!signedImage) return failure(path + ": " + error);
    // In place unless told otherwise: the image is read whole before it is replaced.
    if (!output.empty()) inputs.push_back(path);
    return writeResult(output.empty() ? path : output, *signedImage, inputs);
}

int statementCommand(int argc, char** argv) {
    std::string output = "-";
    std::optional<std::uint32_t> securityVersion;
    auto operands = readOptions(
        argc, argv, {{"security-version", required_argument, nullptr, kSecurityVersion}},
        [&](int code, const char* value) -> std::optional<std::string> {
            if (code == 'o') output = value;
            if (code == kSecurityVersion) return takeSecurityVersion(value, &securityVersion);
            return std::nullopt;
        });
    if (!operands) return kExitUsage;
    if (operands->size() != 1) return usageError("statement takes one image file");
    const std::string& path = operands->front();
    std::string error;
    mkupdate::Bytes image;
    if (!mkupdate::readWholeFile(path, &image, &error)) return failure(error);
    auto statement = mkupdate::imageStatement(image, securityVersion, &error);
    if (!statement) return failure(path + ": " + error);
    return writeResult(output, *statement, {path});
}

// Whether the key of id is a root key of the set that request installs or of --board-keys: a
// board takes no image that a root key signed.
bool signsAsRoot(const mkupdate::BuildRequest& request, const UpdateKeyId& id) {
    std::vector<mkupdate::SetKey> keys;
    for (const mkupdate::PartFile& file :
         request.update.installKeys.value_or(std::vector<mkupdate::PartFile>{}))
        if (auto key = mkupdate::readSetKey(mkupdate::keyFileName(file), file.content))
            keys.push_back(std::move(*key));
    std::string error;
    if (request.boardKeys)
        if (auto board = mkupdate::keySetOfFolder(*request.boardKeys, &error))
            keys.insert(keys.end(), board->keys.begin(), board->keys.end());
    return std::any_of(keys.begin(), keys.end(), [&](const mkupdate::SetKey& key) {
        return key.role == KeyRole::Root && key.id == id;
    });
}

// The statement of the key set that build packs, signed by the root keys given here and
// elsewhere, into request's update; false after its refusals were reported.
bool stateRequestedKeySet(mkupdate::BuildRequest& request,
                          const std::optional<std::string>& passphrase) {
    mkupdate::KeySetOrder order{request.keySetVersion, request.threshold, {}, {}, nullptr, ""};
    std::string error;
    std::optional<mkupdate::KeySetFiles> board;
    if (request.boardKeys) {
        board = mkupdate::keySetOfFolder(*request.boardKeys, &error);
        if (!board) return failure(error), false;
        order.board = &*board;
        order.boardFolder = *request.boardKeys;
    }
    for (const std::string& path : request.rootKeys) {
        auto key = openSigningKey(path, passphrase);
        if (!key) return false;
        order.rootKeys.push_back({path, key->id, key->sign});
    }
    for (const std::string& path : request.rootSignatures) {
        std::optional<mkupdate::PartFile> signature;
        if (!mkupdate::readPart(path, &signature, &error)) return failure(error), false;
        order.rootSignatures.push_back(std::move(*signature));
    }
    std::vector<std::string> faults;
    bool stated = mkupdate::stateKeySet(order, &request.update, &faults);
    for (const std::string& fault : faults) failure(fault);
    return stated;
}

// The statement of a key set, to be signed elsewhere (offline root keys) and given to build
// with --root-signature.
int keysetStatementCommand(int argc, char** argv) {
    std::string output = "-";
    std::optional<std::string> folder;
    std::optional<std::uint32_t> version, threshold;
    auto operands =
        readOptions(argc, argv,
                    {{"install-keys", required_argument, nullptr, kInstallKeys},
                     {"keyset-version", required_argument, nullptr, kKeysetVersion},
                     {"threshold", required_argument, nullptr, kThreshold}},
                    [&](int code, const char* value) -> std::optional<std::string> {
                        if (code == 'o') output = value;
                        if (code == kInstallKeys) folder = value;
                        if (code == kKeysetVersion && !(version = mkupdate::keySetVersion(value)))
                            return mkupdate::keySetVersionRefusal(value);
                        if (code == kThreshold && !(threshold = mkupdate::keySetThreshold(value)))
                            return mkupdate::keySetThresholdRefusal(value);
                        return std::nullopt;
                    });
    if (!operands) return kExitUsage;
    if (!operands->empty() || !folder || !version)
        return usageError("keyset-statement takes --install-keys DIR --keyset-version N");
    std::string error;
    auto files = mkupdate::readKeyFolder(*folder, &error);
    if (!files) return failure(error);
    mkupdate::KeySetFiles set;
    std::vector<std::string> inputs;
    for (const mkupdate::PartFile& file : *files) {
        if (mkupdate::isKeySetStatementFile(mkupdate::keyFileName(file))) continue;
        auto key = mkupdate::readSetKey(mkupdate::keyFileName(file), file.content);
        if (!key) return failure(file.path + ": not a key file the board reads");
        set.keys.push_back(std::move(*key));
        inputs.push_back(file.path);
    }
    std::vector<std::string> faults;
    auto statement = mkupdate::keySetStatementOf(set, *folder, *version, threshold, &faults);
    for (const std::string& fault : faults) failure(fault);
    if (!statement) return kExitFailure;
    return writeResult(output, mkupdate::Bytes(statement->begin(), statement->end()), inputs);
}

int buildCommand(int argc, char** argv) {
    std::string error;
    mkupdate::RequestRefusal refusal;
    auto request = mkupdate::readBuildRequest(argc, argv, &error, &refusal);
    if (!request)
        return refusal == mkupdate::RequestRefusal::Usage ? usageError(error) : failure(error);
    // One passphrase for every private key that the build opens, read once: an fd: source
    // gives it only once.
    std::optional<std::string> passphrase;
    if (!readPassin(request->passin, &passphrase)) return kExitFailure;
    if (request->update.installKeys && !stateRequestedKeySet(*request, passphrase))
        return kExitFailure;
    std::vector<std::string> faults;
    auto image = mkupdate::buildUpdate(request->update, &faults);
    if (!image) {
        for (const std::string& fault : faults) failure(fault);
        return kExitFailure;
    }
    std::vector<std::string> inputs = mkupdate::requestInputs(*request);
    if (!request->signingKey.empty()) {
        auto key = openSigningKey(request->signingKey, passphrase);
        if (!key) return kExitFailure;
        if (signsAsRoot(*request, key->id))
            return failure(request->signingKey + " " + mkupdate::kRootKeySignsNoImage);
        image = mkupdate::signImage(*image, key->id, key->sign, false, &error,
                                    request->securityVersion);
        if (!image) return failure(error);
        inputs.push_back(request->signingKey);
    } else if (request->update.installKeys) {
        failure("warning: " + request->output + ": " + mkupdate::kUnsignedKeySetWarning);
    }
    return writeResult(request->output, *image, inputs);
}

int extractCommand(int argc, char** argv) {
    std::string output;
    auto positional =
        readOptions(argc, argv, {}, [&](int code, const char* value) -> std::optional<std::string> {
            if (code == 'o') output = value;
            return std::nullopt;
        });
    if (!positional) return kExitUsage;
    if (positional->size() != 2 || output.empty())
        return usageError("extract takes IMAGE N -o OUT");
    const std::string& number = (*positional)[1];
    char* end = nullptr;
    unsigned long index = std::strtoul(number.c_str(), &end, 10);
    if (number.empty() || number[0] < '0' || number[0] > '9' || *end != '\0')
        return usageError("extract takes a file number from 0, not \"" + number + "\"");

    const std::string& path = (*positional)[0];
    std::string error;
    mkupdate::Bytes image;
    if (!mkupdate::readWholeFile(path, &image, &error)) return failure(error);
    mkupdate::ImageListing listing = mkupdate::inspectImage(image);
    if (!listing.valid()) return failure(path + ": " + listing.failure);
    if (!listing.multiFile) return failure(path + " is not a multi-file image");
    if (index >= listing.files.size()) {
        return failure(path + " holds files 0 to " + std::to_string(listing.files.size() - 1) +
                       ", not file " + number);
    }
    const mkupdate::ListedFile& file = listing.files[index];
    mkupdate::Bytes content(image.begin() + static_cast<long>(file.offset),
                            image.begin() + static_cast<long>(file.offset + file.size));
    return writeResult(output, content, {path});
}

int listCommand(int argc, char** argv) { return judgeCommand(argc, argv, true); }
int checkCommand(int argc, char** argv) { return judgeCommand(argc, argv, false); }

// The commands, each run with its own name as argv[0].
struct Subcommand {
    const char* name;
    int (*run)(int argc, char** argv);
};
constexpr Subcommand kSubcommands[] = {
    {"wrap", wrapCommand},
    {"multi", multiCommand},
    {"list", listCommand},
    {"check", checkCommand},
    {"build", buildCommand},
    {"extract", extractCommand},
    {"keygen", keygenCommand},
    {"sign", signCommand},
    {"statement", statementCommand},
    {"pubkey", pubkeyCommand},
    {"keyset-statement", keysetStatementCommand},
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usageError("no command given");
    std::string command = argv[1];
    if (command == "--help" || command == "-h") {
        std::fputs(kHelp, stdout);
        return EXIT_SUCCESS;
    }
    if (command == "--version" || command == "-V") {
        std::printf("mkupdate (BT-LAP update) %s\nbuilt from %s\n", BTLAP_VERSION, kBuildId);
        return EXIT_SUCCESS;
    }
    // A command's own --help shows the whole text, as before the command.
    for (int at = 2; at < argc && std::strcmp(argv[at], "--") != 0; ++at) {
        if (std::strcmp(argv[at], "--help") == 0 || std::strcmp(argv[at], "-h") == 0) {
            std::fputs(kHelp, stdout);
            return EXIT_SUCCESS;
        }
    }
    for (const Subcommand& subcommand : kSubcommands) {
        if (command == subcommand.name) return subcommand.run(argc - 1, argv + 1);
    }
    return usageError("unknown command \"" + command + "\"");
}
