// The time the board's check of the makers' signature adds to an update: SHA-256 over the
// largest image (2 MiB) and one 3072-bit verification, apart and as the reception does both. The
// key and its signature of kMessage were made once with the openssl program and are kept here, so
// that the benchmark needs nothing at run time.
#include <benchmark/benchmark.h>

#include <string_view>
#include <vector>

#include "core/hex.h"
#include "image/bench_buffer.h"
#include "image/image_header.h"
#include "image/image_signature.h"
#include "image/rsa_verify.h"
#include "image/sha256.h"

namespace {

constexpr std::string_view kMessage = "BT-LAP update image";
constexpr std::string_view kModulus =
    "CC8C4E96EB766FF52A06F8972BEE4CB6EDDD98F07BAF0996167BF6A01385EE855CD3D6B53CBB7998361DB286"
    "C5C8E7A34CE67C3E97EFD84F8B467C39266CBE0E479DEC3349C0BEEB5B034ED1BB5BCACEFF266411FB882E95"
    "52E855EC880DE6D761DF3D1E25429AE701AEF2A7F09732B31F81B576A9ED1FCF129669A88D849F2E8F74DAE6"
    "870CB352ACA4D8AD6FF527C5EE19E2DD2F3425C9F026780C15B88FE3776CEE578447D29C58013BE063933601"
    "F94F59ACEF1F3F2F03457F6A1C8BC9FE5BE6F7676375C6C196C14C48DFC388C2696DA31A1FD36A6C9D06E955"
    "B24A88B40007F24F100CEE84E56BD6FFBF70D169937CC18403F4B879846EB8C885ED0BF7537D7E16C9473D88"
    "0385A842FA667E18C1D54227CD1DF0840BC53BEC0B77D722788116E2DE5D11D1BA6CF1E730B41BCDE1B6E3C2"
    "00172D5B5E1DA1612EC159E2026935FD124F05335A1678E2378483B94DC9BE419E48C3ADE38C804D549BED13"
    "21ED56BD66DB0C993AC9B07E5FB77F1792C5C09B71A9A20A539D62294DEAD8DD";
constexpr std::string_view kSignature =
    "419e31e78df2978d9322562a1d2dd6243c4f41c504f54ca0db825bcbcca8f7ae1fad78e518a507bad4aeaeb3"
    "40ece61da1837129baf552b7a4773668a8968573802afc6960d5632d8a78863c029d4b513d38e6d16fa2aa7c"
    "9497b07cc0a0ab0213afa43e02be556ef7f21e0306100c5bd91c8249d3b98cd2ae843f824315b6144b61c07b"
    "8ddddfc0f4da950a7a7f6ca5b1f7b8db2e6cbf92a875419ef693ca2ec66f4aa4f1a3d2cac842ed9f4ce5f8a3"
    "62cd90987fcee0df17f03488ee93ee5e1d3706a1c2c7934ea1d51a0ae4955dd4267cadb64432fe6d5d5cf501"
    "e1c279bd1cde1381f2d292902c7ad77f5e9f4c30f05bed9f4b22e04f3e970a67992807e5fb24da2b3c0ad51a"
    "4a1e7516d6c3b6353971fe9ed41ba348e85b55fb43e082fe3f4fcb1d56fbe5529eb5ece37c80130f21437bbf"
    "630565818be04b1d498392d8d9a6463c46dfbcb69876228c653dd0a76339fb96ff2835456db455bdc7b833fe"
    "bc508ef367d890faa291511c6d89a70ebc05337cb1fd082e0cae550077a03c2b";
std::vector<std::uint8_t> fromHex(std::string_view text) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes.push_back(
            static_cast<std::uint8_t>(hexDigitValue(text[i]) * 16 + hexDigitValue(text[i + 1])));
    }
    return bytes;
}

constexpr std::size_t kLargestImage = 2 << 20;

void BM_sha256(benchmark::State& state) {
    auto buffer = benchBuffer(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(sha256(buffer));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void BM_verifyRsa3072(benchmark::State& state) {
    const auto modulus = fromHex(kModulus);
    const auto signature = fromHex(kSignature);
    const auto digest =
        sha256({reinterpret_cast<const std::uint8_t*>(kMessage.data()), kMessage.size()});
    RsaPublicKey key;
    if (!makeRsaPublicKey(modulus, &key) || !verifyRsaSha256Pkcs1(key, signature, digest)) {
        state.SkipWithError("the kept signature does not verify");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(verifyRsaSha256Pkcs1(key, signature, digest));
}

void BM_makeRsaKey3072(benchmark::State& state) {
    const auto modulus = fromHex(kModulus);
    RsaPublicKey key;
    for (auto _ : state) benchmark::DoNotOptimize(makeRsaPublicKey(modulus, &key));
}

// A multi-file image of imageSize bytes as the reception sees it: a note, the archive and the
// software image, each about half of it (the header's fields aren't read by the digests).
std::vector<std::uint8_t> multiFileImage(std::size_t imageSize) {
    std::vector<std::uint8_t> image = benchBuffer(imageSize);
    image[kImageTypeOffset] = kMultiFileImageType;
    const std::uint32_t listEnd = 64 + 4 * 4;
    const std::uint32_t note = 400;
    const std::uint32_t archive = static_cast<std::uint32_t>(imageSize / 2);
    const std::uint32_t software = static_cast<std::uint32_t>(imageSize) - listEnd - note - archive;
    const std::uint32_t sizes[] = {note, archive, software, 0};
    for (std::size_t i = 0; i < 4; ++i)
        for (std::size_t b = 0; b < 4; ++b)
            image[64 + 4 * i + b] = static_cast<std::uint8_t>(sizes[i] >> (24 - 8 * b));
    return image;
}

// What the daemon adds to the reception of the largest image: its files' digests and the
// statement's (each byte hashed once), the key made from its bytes, the signature verified
// (here over another digest: the time is the same).
void BM_verifyLargestImage(benchmark::State& state) {
    const auto modulus = fromHex(kModulus);
    const auto signature = fromHex(kSignature);
    const auto image = multiFileImage(kLargestImage);
    for (auto _ : state) {
        ImageDigests digests{};
        RsaPublicKey key;
        bool made = digestImageFiles(image, 3, &digests) && makeRsaPublicKey(modulus, &key);
        benchmark::DoNotOptimize(made &&
                                 verifyRsaSha256Pkcs1(key, signature, digests.signedDigest));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kLargestImage));
}

}  // namespace

BENCHMARK(BM_sha256)->Arg(4096)->Arg(kLargestImage)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_verifyRsa3072)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_makeRsaKey3072)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_verifyLargestImage)->Unit(benchmark::kMillisecond);
