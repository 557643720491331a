#include "tools/mkupdate/image_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "image/image_header.h"

namespace mkupdate {
namespace {

// The tool's verdict is the daemon's: for a valid image, every prefix and single-bit flip.
TEST(InspectImage, AgreesWithTheDaemonsCheck) {
    std::string error, mismatches;
    Bytes lap = *wrapImage(Bytes{'s', 'w'}, "Linux-lap", 0, &error);
    Bytes image = *buildMultiImage({Bytes{'n'}, Bytes{'a', 'r'}, lap}, "update", &error);
    EXPECT_TRUE(inspectImage(image).valid());
    char name[kImageNameSize + 1];
    std::int32_t count = 0;
    testing::internal::CaptureStderr();
    for (std::size_t i = 0, n = image.size(); i <= n * 9; ++i) {  // prefixes, then bit flips
        Bytes v(image.begin(), image.begin() + static_cast<long>(std::min(i, n)));
        if (i > n) v[(i - n - 1) / 8] ^= static_cast<std::uint8_t>(1u << ((i - n - 1) % 8));
        int daemon = checkHeader(v.data(), static_cast<std::uint32_t>(v.size()), name, &count);
        if (inspectImage(v).valid() != (daemon == 1)) mismatches += std::to_string(i) + " ";
    }
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(mismatches, "");
}

}  // namespace
}  // namespace mkupdate
