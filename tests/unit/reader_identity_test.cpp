#include "reader_id/reader_identity.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::u16string kGuid = u"#{50dd5230-ba8a-11d1-bf5d-0000f805f530}";

// 300 characters: 26 before the instance id, 235 of instance id, 39 of class.
const std::u16string kLongSerial(235, u'Q');
const std::u16string kLongPath = uR"(\\?\usb#vid_0d3b&pid_6173#)" + kLongSerial + kGuid;

// 300 characters with the product token at 257..260, cut by any 260-character
// buffer.
const std::u16string kTokenPast260 =
    uR"(\\?\usb#vid_1a2b&pid_00c4#)" + std::u16string(231, u'Q') + u"4817" + kGuid;

struct SupportedCase {
    const char* name;
    std::u16string path;
    bool supported;
};

TEST(ReaderIdentityTest, IsSupportedReaderPath) {
    ASSERT_EQ(kLongPath.size(), 300u);
    ASSERT_EQ(kTokenPast260.size(), 300u);
    const std::vector<SupportedCase> cases = {
        {"SupportedReader", uR"(\\?\usb#vid_0d3b&pid_6173#ABC123)" + kGuid, true},
        {"CompositeSupportedReader", uR"(\\?\usb#vid_0d3b&pid_6173&mi_01#ABC123)" + kGuid, true},
        {"InstanceIsDeviceName", uR"(\\?\usb#vid_0d3b&pid_6173#1-1.2)" + kGuid, true},
        {"UpperCaseUsbIdOnly", uR"(\\?\USB#VID_0D3B&PID_6173#ABC123)" + kGuid, false},
        {"UpperCaseWithProductTokenAsProductId", uR"(\\?\USB#VID_0D3B&PID_4817#ABC123)" + kGuid, true},
        {"ProductTokenOnlyInInstanceId", uR"(\\?\usb#vid_1a2b&pid_00c4#SN4817X)" + kGuid, true},
        {"ProductTokenSplit", uR"(\\?\usb#vid_1a2b&pid_00c4#48-17)" + kGuid, false},
        {"OtherReader", uR"(\\?\usb#vid_1a2b&pid_00c4#OTHER-01)" + kGuid, false},
        {"SameVendorOtherProduct", uR"(\\?\usb#vid_0d3b&pid_6174#ABC123)" + kGuid, false},
        {"OtherVendorSameProduct", uR"(\\?\usb#vid_0d3c&pid_6173#ABC123)" + kGuid, false},
        {"UsbIdCutShort", uR"(\\?\usb#vid_0d3b&pid_617#ABC123)" + kGuid, false},
        {"UsbIdWithoutSeparator", uR"(\\?\usb#vid_0d3bpid_6173#ABC123)" + kGuid, false},
        {"ProductTokenIsWholeText", u"4817", true},
        {"UsbIdTokenIsWholeText", u"vid_0d3b&pid_6173", true},
        {"Empty", u"", false},
        {"EightCharacters", uR"(\\?\usb#)", false},
        {"TokenPast260", kTokenPast260, true},
        {"LongSupportedPath", kLongPath, true},
    };
    for (const SupportedCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(IsSupportedReaderPath(c.path), c.supported);
    }
}

struct ExtractCase {
    const char* name;
    std::u16string path;
    std::u16string expected;
};

TEST(ReaderIdentityTest, ExtractHardwareId) {
    ASSERT_EQ(kLongPath.size(), 300u);
    const std::vector<ExtractCase> cases = {
        {"SupportedReader", uR"(\\?\usb#vid_0d3b&pid_6173#ABC123)" + kGuid, u"vid_0d3b&pid_6173"},
        {"CompositeDropsInterfaceNumber", uR"(\\?\usb#vid_0d3b&pid_6173&mi_01#ABC123)" + kGuid,
         u"vid_0d3b&pid_6173"},
        {"OtherReader", uR"(\\?\usb#vid_1a2b&pid_00c4#OTHER-01)" + kGuid, u"vid_1a2b&pid_00c4"},
        {"CaseKept", uR"(\\?\USB#VID_0D3B&PID_6173#ABC123)" + kGuid, u"VID_0D3B&PID_6173"},
        // Taken by position, not found by name.
        {"ShorterPrefix", u"usb#vid_0d3b&pid_6173#ABC123" + kGuid, u"0d3b&pid_6173#ABC"},
        {"Empty", u"", u""},
        {"EightCharacters", uR"(\\?\usb#)", u""},
        {"NineCharacters", uR"(\\?\usb#v)", u"v"},
        {"TwentyCharacters", uR"(\\?\usb#vid_0d3b&pid)", u"vid_0d3b&pid"},
        {"TwentyFourCharacters", uR"(\\?\usb#vid_0d3b&pid_617)", u"vid_0d3b&pid_617"},
        {"TwentyFiveCharacters", uR"(\\?\usb#vid_0d3b&pid_6173)", u"vid_0d3b&pid_6173"},
        {"TwentySixCharacters", uR"(\\?\usb#vid_0d3b&pid_6173#)", u"vid_0d3b&pid_6173"},
        {"ThreeHundredCharacters", kLongPath, u"vid_0d3b&pid_6173"},
    };
    for (const ExtractCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ExtractHardwareId(c.path), c.expected);
    }
}

TEST(ReaderIdentityTest, ExtractSerialNumber) {
    ASSERT_EQ(kLongPath.size(), 300u);
    const std::vector<ExtractCase> cases = {
        {"SupportedReader", uR"(\\?\usb#vid_0d3b&pid_6173#ABC123)" + kGuid, u"ABC123"},
        {"CompositeInstanceId", uR"(\\?\usb#vid_0d3b&pid_6173&mi_01#6&1a2b3c4d&0&0001)" + kGuid,
         u"6&1a2b3c4d&0&0001"},
        {"InstanceIsDeviceName", uR"(\\?\usb#vid_0d3b&pid_6173#1-1.2)" + kGuid, u"1-1.2"},
        {"NoHashBrace", uR"(\\?\usb#vid_0d3b&pid_6173#ABC123)", u""},
        {"BraceWithoutHash", uR"(\\?\usb#vid_0d3b&pid_6173#ABC123{guid})", u""},
        {"NoHashBeforeHashBrace", u"ABC123" + kGuid, u"ABC123"},
        {"HashRightBeforeHashBrace", uR"(\\?\usb#vid_0d3b&pid_6173#)" + kGuid, u""},
        {"HashBraceFirst", kGuid, u""},
        {"TwoHashBraces", u"p#q#{x}#{y}", u"q"},
        {"HashAfterGuid", uR"(\\?\usb#vid_0d3b&pid_6173#ABC123)" + kGuid + u"#tail", u"ABC123"},
        {"Empty", u"", u""},
        {"EightCharactersNoHashBrace", uR"(\\?\usb#)", u""},
        {"EightCharacters", u"ab#cd#{}", u"cd"},
        {"TwentyCharacters", uR"(\\?\usb#a#SN12345#{})", u"SN12345"},
        {"ThreeHundredCharacters", kLongPath, kLongSerial},
    };
    for (const ExtractCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ExtractSerialNumber(c.path), c.expected);
    }
}

}  // namespace
