#include "tools/rehearse/twin_key.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace rehearse {
namespace {

constexpr const char* kInfo =
    "CSRMODULINFO=PRL-M2;SN 00804712AB34;HW 03;FW 1958;SET S2C4;PS 05\r\n";

struct DataCase {
    const char* what;
    std::string text;
    std::string key;                  // what the key takes
    std::vector<std::string> labels;  // what it leaves out
};

// The version check reads of CSRMODULINFO its mark (characters 42-45 of the value) and its code
// (the last two): a field holding either counts; the rest of the value, and SERIALNO=, do not.
TEST(TwinKey, LeavesOutOfDataTxtWhatTheVersionCheckDoesNotRead) {
    const std::vector<DataCase> cases = {
        {"serial and the fields around the mark",
         std::string("SERIALNO=00804712AB34\r\n") + kInfo + "LAP_VERSION=2.0.3\r\n",
         std::string("SERIALNO=\r\n") +
             "CSRMODULINFO=******;***************;*****;*******;SET S2C4;PS 05\r\n" +
             "LAP_VERSION=2.0.3\r\n",
         {"data.txt CSRMODULINFO= field FW", "data.txt CSRMODULINFO= field HW",
          "data.txt CSRMODULINFO= field PRL-M2", "data.txt CSRMODULINFO= field SN",
          "data.txt SERIALNO="}},
        // A longer module name moves the mark into the serial's field: that field counts.
        {"the mark in the serial's field",
         "CSRMODULINFO=PRL-M2-LONGER-NAME-OF-MODULE;SN 00804712AB34;PS 05\r\n",
         "CSRMODULINFO=" + std::string(28, '*') + ";SN 00804712AB34;PS 05\r\n",
         {"data.txt CSRMODULINFO= field PRL-M2-LONGER-NAME-OF-MODULE"}},
        // Only the first line is read; a later one counts whole, as does one without its end.
        {"a second line",
         std::string(kInfo) + "CSRMODULINFO=X;SN 1;SET S2C4;PS 05\r\n",
         "CSRMODULINFO=******;***************;*****;*******;SET S2C4;PS 05\r\n"
         "CSRMODULINFO=X;SN 1;SET S2C4;PS 05\r\n",
         {"data.txt CSRMODULINFO= field FW", "data.txt CSRMODULINFO= field HW",
          "data.txt CSRMODULINFO= field PRL-M2", "data.txt CSRMODULINFO= field SN"}},
        {"no line end",
         "CSRMODULINFO=PRL-M2;SN 00804712AB34;HW 03;FW 1958;SET S2C4;PS 05",
         "CSRMODULINFO=PRL-M2;SN 00804712AB34;HW 03;FW 1958;SET S2C4;PS 05",
         {}},
        // A line longer than one read of the version check: its rest would pass for a line.
        {"a long line",
         "SERIALNO=1" + std::string(1100, '0') + "\nCSRMODULINFO=A;B\n",
         "SERIALNO=1" + std::string(1100, '0') + "\nCSRMODULINFO=A;B\n",
         {}},
    };
    for (const DataCase& c : cases) {
        std::map<std::string, std::string> leftOut;
        EXPECT_EQ(dataTxtForKey(c.text, &leftOut), c.key) << c.what;
        std::vector<std::string> labels;
        for (const auto& [label, value] : leftOut) labels.push_back(label);
        EXPECT_EQ(labels, c.labels) << c.what;
    }
}

// A module key counts when the image's key file names it (anywhere) or the daemon presets it;
// any other key's words are left out, their count kept. An image not read reaches every key.
TEST(TwinKey, LeavesOutTheModuleKeysNoImageReaches) {
    const std::string psr =
        "// firmware: 1958 16.4.0\n&0001 = 0012 AB34 0047 0080\r\n&0003 = 0300 0002 // class\n"
        "&01f9 = 0003\n&025f =\n&0021 = 0004\n";
    ImageReach image{true, {"&0021"}}, compared{true, {"&0003"}};
    std::map<std::string, std::string> leftOut;
    EXPECT_EQ(modulePsrForKey(psr, {image, compared}, &leftOut),
              "// firmware: 1958 16.4.0\n&0001 = **** **** **** ****\r\n&0003 = 0300 0002 // "
              "class\n&01f9 = 0003\n&025f =\n&0021 = 0004\n");
    EXPECT_EQ(leftOut,
              (std::map<std::string, std::string>{{"module PS-Key &0001", "0012 ab34 0047 0080"},
                                                  {"module PS-Key &025f", ""}}));
    leftOut.clear();
    EXPECT_EQ(modulePsrForKey(psr, {image, ImageReach{}}, &leftOut), psr);
    EXPECT_TRUE(leftOut.empty());
}

// Only twins (boards of one key) tell what they differed in; a label some of them lack counts.
TEST(TwinKey, SaysWhatTwinsDifferedIn) {
    TwinKey a{"k", {{"data.txt SERIALNO=", "1"}, {"module PS-Key &0001", "x"}}};
    TwinKey b{"k", {{"data.txt SERIALNO=", "2"}, {"module PS-Key &0001", "x"}}};
    TwinKey c{"other", {{"data.txt SERIALNO=", "3"}, {"module PS-Key &0001", "y"}}};
    TwinKey d{"k", {{"data.txt SERIALNO=", "1"}}};
    EXPECT_EQ(twinsDifferIn({&a, &b, &c}), std::vector<std::string>{"data.txt SERIALNO="});
    EXPECT_EQ(twinsDifferIn({&a, &c}), std::vector<std::string>{});
    EXPECT_EQ(twinsDifferIn({&a, &d}), std::vector<std::string>{"module PS-Key &0001"});
}

}  // namespace
}  // namespace rehearse
