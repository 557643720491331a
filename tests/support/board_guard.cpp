// The tests write the board's /tmp and /etc, bind sockets at "/" and set the simulated
// devices' state: they must run on the simulated board's file system, never on this
// machine's. Linked into every test program; ctest runs each test through sim/board-run.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

namespace {

class BoardGuard : public testing::Environment {
public:
    void SetUp() override {
        struct stat info {};
        if (stat("/sim/state", &info) == 0 && S_ISDIR(info.st_mode)) return;
        std::fprintf(stderr,
                     "These tests write /tmp and /etc and bind sockets at /: they run only on the "
                     "simulated board.\nRun them with ctest, or as sim/board-run -- <test program> "
                     "[gtest options].\n");
        std::_Exit(2);
    }
};

[[maybe_unused]] testing::Environment* const guard =
    testing::AddGlobalTestEnvironment(new BoardGuard);

}  // namespace
