#include <zlib.h>

#include <cstring>

#include "tools/common/gzip_reader.h"
#include "tools/common/gzip_writer.h"

namespace mkupdate {
namespace {

// windowBits beyond 15 ask zlib for the gzip wrapper; 32 more when reading: gzip or zlib.
constexpr int kGzipWindow = 15 + 16;
constexpr int kMemoryLevel = 9;
constexpr int kOsUnix = 3;
constexpr std::size_t kChunk = 1 << 16;

}  // namespace

std::vector<std::uint8_t> gzipCompress(std::span<const std::uint8_t> data) {
    z_stream stream{};
    // Level 9 with zlib's largest window and memory gives gzip -9's output or better.
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, kGzipWindow, kMemoryLevel,
                     Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    // Without a header of our own zlib would write the build host's operating system; a time
    // stamp of 0 means none.
    gz_header header{};
    header.os = kOsUnix;
    deflateSetHeader(&stream, &header);
    std::vector<std::uint8_t> out(deflateBound(&stream, data.size()) + 32);
    stream.next_in = const_cast<Bytef*>(data.data());
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    int result = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return result == Z_STREAM_END ? out : std::vector<std::uint8_t>{};
}

std::optional<std::vector<std::uint8_t>> gzipDecompress(std::span<const std::uint8_t> data,
                                                        std::size_t limit, std::string* error) {
    std::vector<std::uint8_t> out;
    if (data.size() < 2 || data[0] != 0x1F || data[1] != 0x8B) {
        *error = "not gzip data";
        return std::nullopt;
    }
    z_stream stream{};
    if (inflateInit2(&stream, kGzipWindow) != Z_OK) {
        *error = "out of memory";
        return std::nullopt;
    }
    stream.next_in = const_cast<Bytef*>(data.data());
    stream.avail_in = static_cast<uInt>(data.size());
    std::uint8_t chunk[kChunk];
    for (;;) {
        stream.next_out = chunk;
        stream.avail_out = sizeof chunk;
        int result = inflate(&stream, Z_NO_FLUSH);
        std::size_t produced = sizeof chunk - stream.avail_out;
        if (out.size() + produced > limit) {
            *error = "decompressed data longer than " + std::to_string(limit) + " bytes";
            break;
        }
        out.insert(out.end(), chunk, chunk + produced);
        if (result == Z_STREAM_END) {
            // Members one after the other, as gunzip reads them.
            if (stream.avail_in == 0) {
                inflateEnd(&stream);
                return out;
            }
            if (stream.avail_in < 2 || stream.next_in[0] != 0x1F || stream.next_in[1] != 0x8B) {
                *error = "bytes after the gzip data";
                break;
            }
            inflateReset(&stream);
            continue;
        }
        if (result == Z_BUF_ERROR && stream.avail_in == 0) {
            *error = "gzip data cut short";
            break;
        }
        if (result != Z_OK) {
            *error = std::string("damaged gzip data") + (stream.msg ? ": " : "") +
                     (stream.msg ? stream.msg : "");
            break;
        }
    }
    inflateEnd(&stream);
    return std::nullopt;
}

}  // namespace mkupdate
