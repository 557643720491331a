#include "core/guarded_read.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "core/mapped_file.h"
#include "tests/support/board.h"

namespace {

// Sums bytes of the mapping; what a checksum over it does.
unsigned sumOf(std::span<const std::uint8_t> bytes) {
    unsigned sum = 0;
    for (std::uint8_t byte : bytes) sum += byte;
    return sum;
}

TEST(GuardedRead, PagesThatVanishedUnderAMappingEndTheReadInsteadOfTheProcess) {
    struct sigaction before {};
    sigaction(SIGBUS, nullptr, &before);
    writeWholeFile("/tmp/mapped", std::string(5 * 4096, '\x01'));
    MappedFile file;
    ASSERT_TRUE(file.open("/tmp/mapped") && file.map());
    unsigned sum = 0;
    EXPECT_TRUE(guardedRead([&] { sum = sumOf(file.bytes()); }));
    EXPECT_EQ(sum, 5u * 4096);

    ASSERT_EQ(truncate("/tmp/mapped", 4096 + 10), 0);
    // Each time, and after a read that stopped halfway, as the jump leaves nothing behind.
    for (int attempt = 0; attempt < 3; ++attempt) {
        sum = 0;
        EXPECT_FALSE(guardedRead([&] { sum = sumOf(file.bytes()); })) << attempt;
    }
    EXPECT_TRUE(guardedRead([&] { sum = sumOf(file.bytes().first(2 * 4096)); }));
    EXPECT_EQ(sum, 4096u + 10) << "the rest of the last page reads as zeros";

    // Outside a guarded read SIGBUS is handled as before (by the sanitizer, in its build).
    struct sigaction now {};
    sigaction(SIGBUS, nullptr, &now);
    EXPECT_EQ(now.sa_handler, before.sa_handler);
}

}  // namespace
