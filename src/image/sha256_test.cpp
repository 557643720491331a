// SHA-256 against known answers: the standard's own examples, the block boundaries where the
// padding spills into a second block, and one million 'a'. Pieces of any size through the
// incremental interface give the one-shot digest: images are hashed as they are read.
#include "image/sha256.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "image/bench_buffer.h"

namespace {

std::string hex(const Sha256Digest& digest) {
    std::string text;
    char pair[3];
    for (std::uint8_t byte : digest) {
        std::snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

std::span<const std::uint8_t> spanOf(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

struct KnownAnswer {
    std::string message;
    const char* digest;
};

// Made when the test runs, not as every test of the program starts: the last message is a
// megabyte, which under the board's emulator costs each start of the test program.
std::vector<KnownAnswer> knownAnswers() {
    return {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrl"
         "m"
         "nopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        // Around the block's end: the length field fits behind 55 bytes, not behind 56.
        {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        {std::string(57, 'a'), "f13b2d724659eb3bf47f2dd6af1accc87b81f09f59f2b75e5c0bed6589dfe8c6"},
        {std::string(63, 'a'), "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
        {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        {std::string(65, 'a'), "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
        {std::string(119, 'a'), "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb"},
        {std::string(120, 'a'), "2f3d335432c70b580af0e8e1b3674a7c020d683aa5f73aaaedfdc55af904c21c"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
}

TEST(Sha256, KnownAnswers) {
    for (const KnownAnswer& answer : knownAnswers()) {
        SCOPED_TRACE(answer.message.substr(0, 60) + " (" + std::to_string(answer.message.size()) +
                     " bytes)");
        EXPECT_EQ(hex(sha256(spanOf(answer.message))), answer.digest);
    }
}

// A long message in uneven pieces, each piece size starting and ending anywhere in a block; one
// byte at a time; empty pieces among them.
TEST(Sha256, UnevenPiecesEqualOneShot) {
    const std::vector<std::uint8_t> message = benchBuffer(300000);
    const Sha256Digest whole = sha256(message);
    const std::size_t pieceSizes[][5] = {{1, 63, 64, 65, 127},  {3, 7, 200, 4096, 13},
                                         {55, 56, 57, 9, 1000}, {64, 64, 64, 64, 64},
                                         {1, 1, 1, 1, 1},       {0, 3, 0, 64, 1}};
    for (const auto& sizes : pieceSizes) {
        Sha256Context context;
        sha256Init(context);
        std::size_t at = 0;
        for (std::size_t piece = 0; at < message.size(); ++piece) {
            std::size_t size = std::min(sizes[piece % 5], message.size() - at);
            sha256Update(context, std::span(message).subspan(at, size));
            at += size;
        }
        EXPECT_EQ(hex(sha256Final(context)), hex(whole))
            << "pieces " << sizes[0] << ", " << sizes[1] << ", ...";
    }
}

}  // namespace
