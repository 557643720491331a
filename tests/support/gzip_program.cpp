// The board's build of the tests makes its update images with the image tool's own code, but
// the tool's compression library exists only on the build host. The sandbox carries the
// host's gzip (the board's gunzip is the same program), so the archives are packed by it.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/mkupdate/gzip_writer.h"

namespace mkupdate {

std::vector<std::uint8_t> gzipCompress(std::span<const std::uint8_t> data) {
    const std::string plain = "/tmp/.gzip-program." + std::to_string(getpid());
    std::vector<std::uint8_t> packed;
    if (std::FILE* out = std::fopen(plain.c_str(), "wb")) {
        bool written = std::fwrite(data.data(), 1, data.size(), out) == data.size();
        if (std::fclose(out) == 0 && written &&
            std::system(("gzip -9 -n -f " + plain).c_str()) == 0) {
            if (std::FILE* in = std::fopen((plain + ".gz").c_str(), "rb")) {
                std::uint8_t buffer[65536];
                for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, in)) > 0;)
                    packed.insert(packed.end(), buffer, buffer + got);
                std::fclose(in);
            }
        }
    }
    unlink(plain.c_str());
    unlink((plain + ".gz").c_str());
    return packed;
}

}  // namespace mkupdate
