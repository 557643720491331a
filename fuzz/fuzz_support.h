// What every fuzz harness shares: the refusal to run outside the simulated board, the
// splitting of one input into the files a parser reads, file helpers, and the check that
// stops the run on a broken promise.
//
// Each harness feeds one parser of outside input (update images, datagrams, the to-do,
// version, service, terminal and .psr files, the module's answers) and asserts what the
// daemon promises of the result, not only that nothing crashed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// libFuzzer's entry points: each harness defines the first, fuzz_support.cpp the second.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);

// Every harness's start-up, libFuzzer's LLVMFuzzerInitialize (fuzz_support.cpp): the parsers
// write the board's /tmp and /etc and bind sockets at "/", so a harness runs only on the
// simulated board's file system (scripts/fuzz.sh starts it there) and ends with status 2
// elsewhere; then the harness's own setUpHarness runs, where it defines one.
[[gnu::weak]] void setUpHarness();

// Stops the run with the harness's words on standard error (libFuzzer then keeps the input).
[[noreturn]] void fuzzFailure(const char* file, int line, const char* condition,
                              const char* message);
#define FUZZ_ASSERT(condition, message) \
    ((condition) ? void() : fuzzFailure(__FILE__, __LINE__, #condition, (message)))

// One input holds the files that a parser reads together, each ended by this line (the last
// file by the input's end). A file may hold any bytes, zero bytes and bare carriage returns
// included.
inline constexpr std::string_view kFileSeparator = "@@@@\n";
// The first count files of the input; files the input doesn't hold are empty.
std::vector<std::string_view> splitFiles(std::span<const std::uint8_t> input, std::size_t count);
// The inverse, for seeds: the files joined with the separator.
std::string joinFiles(const std::vector<std::string>& files);

// Replaces the file's content (the folders must exist).
void writeWholeFile(const char* path, std::string_view content);
// The whole content, or nothing when the file can't be read.
std::optional<std::string> readWholeFile(const char* path);
bool fileExists(const char* path);
// Removes a file that may or may not be there.
void removeFile(const char* path);
void makeFolder(const char* path);

// The lines of a file as the daemon's line readers see them: fgets pieces of at most
// pieceSize - 1 bytes, each taken up to its first zero byte.
std::vector<std::string> readPieces(const char* path, std::size_t pieceSize);
// The lines of a text, each with its line feed (the last one without, when it has none).
std::vector<std::string_view> splitLines(std::string_view text);
