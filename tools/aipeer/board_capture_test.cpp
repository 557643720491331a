// What a capture says when the board refused its read-only update for the update's signature:
// what to sign it with, read from the failure's cause as the report gives it.
#include "tools/aipeer/board_capture.h"

#include <gtest/gtest.h>

namespace {

TEST(CaptureSignatureHint, SaysHowToSignTheReadOnlyUpdate) {
    const std::string reception = "the update's reception failed:\n  ";
    const struct {
        std::string cause;
        bool ownImage;
        std::string hint;
    } cases[] = {
        {reception + "image file /tmp/image refused: no signature\n", true,
         "the board takes only signed images, and aipeer's read-only update is unsigned: sign it "
         "with the makers' key (aipeer capture-image FILE; mkupdate sign --key KEY.pem FILE) "
         "and capture with --image FILE, or from the PC: scripts/capture-board.sh --sign "
         "KEY.pem"},
        {reception + "image file /tmp/image refused: no signature\n", false,
         "the board takes only signed images, and the image given is unsigned: sign it with the "
         "makers' key (aipeer capture-image FILE; mkupdate sign --key KEY.pem FILE) and capture "
         "with --image FILE, or from the PC: scripts/capture-board.sh --sign KEY.pem"},
        {reception + "image file /tmp/image refused: signed by unknown key " +
             std::string(32, 'a') + "\n",
         false,
         "no key of the board signed the image given: sign it with the makers' key that "
         "the board holds"},
        {reception + "image file /tmp/image refused: security version 1 is older than the "
                     "board's 12\n",
         false,
         "the board's security version is 12: sign the read-only update again with "
         "--security-version 12 (mkupdate sign --resign), or from the PC: "
         "scripts/capture-board.sh --sign KEY.pem --security-version 12"},
        // Not the signature: no hint.
        {"Read PS-Keys failed:\n  HCI Reset: no answer\n", true, ""},
        {reception + "image file /tmp/image refused: key folder /etc/update-keys holds no key "
                     "file (*.key)\n",
         true, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(captureSignatureHint(c.cause, c.ownImage), c.hint);
}

}  // namespace
