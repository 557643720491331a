// The daemon's own share of one PS-Key exchange of the reading walk: the get request built
// and framed for the HCI device, the module's answer decoded and its line appended to the
// dump. With the device's write and read, an exchange must stay far below 175 µs. Run it on
// the board's file system:
//   sim/board-run -- build/host/benchmarks --benchmark_filter=PsKey
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>

#include "btlink/module_answers.h"
#include "btlink/module_commands.h"
#include "btlink/module_link.h"
#include "btlink/pskey_walks.h"

namespace {

void BM_PsKeyRequestBuilt(benchmark::State& state) {
    std::uint16_t keyId = 0;
    for (auto _ : state) {
        ModulePacket packet;
        frameBccmdRequest(buildGetPsKeyMessage(keyId++ & 0x3FF, kGetRequestStores), TL_HCI_AT_START,
                          &packet);
        benchmark::DoNotOptimize(packet);
    }
}

void BM_PsKeyAnswerDecodedAndDumped(benchmark::State& state) {
    // A vendor-specific event with a status-0 answer of ten words.
    std::array<std::uint8_t, 4 + kBccmdMessageSize> event{0x04, 0xFF, 1 + kBccmdMessageSize,
                                                          kBccmdPayloadDescriptor};
    BccmdMessage message = buildGetPsKeyMessage(0x0191, kGetRequestStores);
    message[kPsKeyLengthAt] = 10;
    for (std::size_t i = 0; i < 20; ++i) message[kPsKeyValueAt + i] = static_cast<std::uint8_t>(i);
    std::memcpy(event.data() + 4, message.data(), message.size());
    std::remove(kPsKeyDumpPath);
    nextReadRequest();  // the reading walk is under way: the answers go into the dump
    for (auto _ : state) benchmark::DoNotOptimize(handleHciEvent(event));
    resetPsKeyWalks();
    std::remove(kPsKeyDumpPath);
}

}  // namespace

BENCHMARK(BM_PsKeyRequestBuilt);
BENCHMARK(BM_PsKeyAnswerDecodedAndDumped);
