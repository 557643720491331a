// The reading walk of BT_MOD_SET_READ against the simulated module with no wire time, one
// exchange per iteration as the main loop runs it: the module's answer read and decoded, its
// dump line appended, the state machine run, the next request built and written. The
// module model's own share is measured alone, so that the daemon's share is the difference.
// At 115200 baud an exchange takes 17.45 ms on the serial line; the daemon's share must stay
// within 1% of that (175 µs). Run it on the board's file system:
//   sim/board-run -- build/host/benchmarks --benchmark_filter=Walk
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "btlink/module_answers.h"
#include "btlink/module_commands.h"
#include "btlink/module_link.h"
#include "core/ai_socket.h"
#include "core/platform.h"
#include "update/module_steps.h"
#include "update/state_machine.h"
#include "update/update_state.h"

namespace {

bool onTheBoard(benchmark::State& state) {
    struct stat info {};
    if (stat("/sim/state", &info) == 0) return true;
    state.SkipWithError("run it on the simulated board: sim/board-run -- benchmarks");
    return false;
}

void setUpModule() {
    if (int fd = open("/sim/state/module.baud", O_WRONLY | O_CREAT | O_TRUNC, 0644); fd >= 0) {
        write(fd, "0\n", 2);
        close(fd);
    }
    openAiSocket(kAiOwnPath);
    setAiDestination(kAiPeerPath);
    tlInterface = TL_HCI_AT_START;
    openBtModule(1);
}

void tearDownModule() {
    alarm(0);
    openBtModule(0);
    closeAiSocket();
}

// The module's answer to the last request, as the main loop hands it over.
short waitForModule() {
    pollfd entry{moduleLinkDescriptor(), POLLIN | POLLPRI, 0};
    devPoll(&entry, 1, 1000, nullptr);
    return entry.revents;
}

void drainWakeUps() {
    char buffer[kAiReceiveSize];
    while (recv(aiSocketDescriptor(), buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
    }
}

void BM_ReadingWalkExchange(benchmark::State& state) {
    if (!onTheBoard(state)) return;
    setUpModule();
    update.currentStep = STEP_BT_MOD_SET_READ;
    update.stepState = STATE_ANSWER;
    stateMachine();  // the first request
    for (auto _ : state) {
        moduleDataReady(waitForModule());
        stateMachine();
        if (update.stepState == STATE_LIST_END) {  // 1024 keys asked for: the next walk
            state.PauseTiming();
            drainWakeUps();
            unlink(kPsKeyDumpPath);
            update.stepState = STATE_ANSWER;
            stateMachine();
            state.ResumeTiming();
        }
    }
    tearDownModule();
}

// The model alone: the same request written and its answer read through the seam.
void BM_ModuleModelExchange(benchmark::State& state) {
    if (!onTheBoard(state)) return;
    setUpModule();
    ModulePacket request;
    frameBccmdRequest(buildGetPsKeyMessage(0x0191, kGetRequestStores), TL_HCI_AT_START, &request);
    std::uint8_t answer[kMaxHciEventSize];
    int fd = moduleLinkDescriptor();
    for (auto _ : state) {
        devWrite(fd, request.bytes.data(), request.length);
        waitForModule();
        benchmark::DoNotOptimize(devRead(fd, answer, sizeof answer));
    }
    tearDownModule();
}

}  // namespace

BENCHMARK(BM_ReadingWalkExchange)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ModuleModelExchange)->Unit(benchmark::kMicrosecond);
