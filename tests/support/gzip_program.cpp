// The board's build of the tests makes its update images with the image tool's own code, but
// the tool's compression library exists only on the build host. The sandbox carries the
// host's gzip (the board's gunzip is the same program), so the archives are packed by it.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/common/gzip_writer.h"

namespace mkupdate {

std::vector<std::uint8_t> gzipCompress(std::span<const std::uint8_t> data) {
    // The input goes through a pipe: the tests' archives may be larger than a small board's
    // /tmp, which then holds only what gzip made of them.
    const std::string packedPath = "/tmp/.gzip-program." + std::to_string(getpid()) + ".gz";
    std::vector<std::uint8_t> packed;
    if (std::FILE* gzip = popen(("gzip -9 -n -c > " + packedPath).c_str(), "w")) {
        bool written = std::fwrite(data.data(), 1, data.size(), gzip) == data.size();
        if (pclose(gzip) == 0 && written) {
            if (std::FILE* in = std::fopen(packedPath.c_str(), "rb")) {
                std::uint8_t buffer[65536];
                for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, in)) > 0;)
                    packed.insert(packed.end(), buffer, buffer + got);
                std::fclose(in);
            }
        }
    }
    unlink(packedPath.c_str());
    return packed;
}

}  // namespace mkupdate
