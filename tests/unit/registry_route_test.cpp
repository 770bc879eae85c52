// The registry route against scripted HKLM states that a real registry
// cannot easily be made to show: a key that refuses to open, values without
// a terminator, and every size around the 1024-byte buffer. Plus the one
// other value type whose bytes read as a terminated path; the rest, and
// ordinary paths, are proven under Wine.
#include "registry_route.h"

#include <optional>
#include <string>
#include <vector>

#include "gbk.h"
#include "platform_test.h"

namespace {

using fake::RegistryValue;

std::string Zero(const std::string& text) { return text + std::string(1, '\0'); }

RegistryValue Sz(const std::string& bytes) { return {REG_SZ, bytes}; }

struct RegistryCase {
    const char* name;
    std::optional<RegistryValue> value;  // none: the key has no InstallPath
    std::string expected;                // "" means no installation directory
    bool keyPresent = true;
    LONG openError = ERROR_SUCCESS;
    // Read first, to leave its bytes in the buffer: a later value must not inherit them.
    std::optional<RegistryValue> earlierValue = std::nullopt;
};

void PrintTo(const RegistryCase& c, std::ostream* out) { *out << c.name; }

const std::string kLong(1023, 'L');

// clang-format off
const RegistryCase kCases[] = {
    {"KeyNotReadable", Sz(Zero("C:\\Games\\Client")), "", true, ERROR_ACCESS_DENIED},
    {"NoBytesAtAll", Sz(""), ""},
    {"NoTerminator", Sz("C:\\Games\\Client"), "C:\\Games\\Client"},
    {"NoTerminatorShorterThanEarlierValue", Sz("D:\\G"), "D:\\G", true, ERROR_SUCCESS,
     Sz(Zero("C:\\A\\Much\\Longer\\Earlier\\Path"))},
    {"TerminatedShorterThanEarlierValue", Sz(Zero("D:\\G")), "D:\\G", true, ERROR_SUCCESS, Sz(kLong)},
    {"EndsAtFirstZero", Sz(Zero("C:\\A") + Zero("junk")), "C:\\A"},
    {"ExactFitWithTerminator", Sz(Zero(kLong)), kLong},
    {"ExactFitWithoutTerminatorRefused", Sz(kLong + "L"), ""},
    {"OneByteTooLargeRefused", Sz(Zero(kLong + "L")), ""},
    {"TooLargeLeavesEarlierTextEmpty", Sz(kLong + "LL"), "", true, ERROR_SUCCESS, Sz(Zero("C:\\A"))},
    {"TooLargeWithEarlyZeroRefused", Sz(Zero("C:\\A") + std::string(1100, 'x')), ""},
    {"OneShortWithoutTerminator", Sz(kLong), kLong},
    {"MultiStringRefused", RegistryValue{REG_MULTI_SZ, Zero(Zero("C:\\Games\\Client"))}, ""},
};
// clang-format on

using RegistryRouteTest = PlatformTableTest<RegistryCase>;

void Store(const RegistryCase& c, const std::optional<RegistryValue>& value) {
    fake::Platform& platform = fake::platform();
    platform.hklm.clear();
    if (c.keyPresent) platform.hklm[kSettingsKey];
    if (value) platform.hklm[kSettingsKey]["InstallPath"] = *value;
    platform.openKeyError = c.openError;
}

// The row's registry, after its earlier value (if any) has been read into the
// buffer; `earlier` keeps that read's text.
void Prepare(const RegistryCase& c, const char** earlier = nullptr) {
    if (c.earlierValue) {
        Store(c, c.earlierValue);
        const char* text = ReadInstallPath();
        ASSERT_NE(text[0], '\0');
        if (earlier) *earlier = text;
    }
    Store(c, c.value);
}

TEST_P(RegistryRouteTest, ReadsTheInstallPath) {
    const RegistryCase& c = GetParam();
    const char* earlier = nullptr;
    ASSERT_NO_FATAL_FAILURE(Prepare(c, &earlier));
    const char* text = ReadInstallPath();
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text), c.expected);
    if (earlier) {
        EXPECT_EQ(std::string(earlier), c.expected) << "a text kept from before shows the last read";
    }
    EXPECT_TRUE(fake::platform().directoryRequests.empty());
}

TEST_P(RegistryRouteTest, RequestsThePatchFolder) {
    const RegistryCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(Prepare(c));
    fake::Platform& platform = fake::platform();
    platform.directoriesThatFail.insert(c.expected + "\\patch");  // never reported

    const bool found = CreatePatchFolderFromRegistry();

    EXPECT_EQ(found, !c.expected.empty());
    const std::vector<std::string> expected =
        c.expected.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.expected + "\\patch"};
    EXPECT_EQ(platform.directoryRequests, expected);
    EXPECT_TRUE(platform.boxes.empty());
}

INSTANTIATE_TEST_SUITE_P(Table, RegistryRouteTest, testing::ValuesIn(kCases), CaseName());

}  // namespace
