// The whole run through WinMain, every branch reached through what only a
// scripted platform shows (failed calls, refused folders, a path without a
// backslash): the folders requested in order, the one box with its exact GBK
// bytes, and the exit code. Ordinary runs are proven under Wine.
#include "repair.h"

#include <optional>
#include <string>
#include <vector>

#include "gbk.h"
#include "platform_test.h"

namespace {

using fake::Fails;
using fake::Process;

enum class Outcome { Success, LauncherHint, ClientPathShown };

struct RepairCase {
    const char* name;
    std::vector<Process> processes;
    std::optional<std::string> installPath;  // stored as a terminated REG_SZ
    std::vector<std::string> expectedRequests;
    Outcome outcome;
    std::vector<std::string> failingFolders = {};
    bool enumFails = false;
};

void PrintTo(const RepairCase& c, std::ostream* out) { *out << c.name; }

const Process kClient = {500, "game.exe", "D:\\Games\\Client\\game.exe"};

// clang-format off
const RepairCase kCases[] = {
    {"ClientFoldersRefused", {kClient}, "E:\\Other", {"D:\\Games\\Client\\patch", "E:\\Other\\patch"},
     Outcome::Success, {"D:\\Games\\Client\\patch", "E:\\Other\\patch"}},
    {"ClientAtDriveRoot", {{500, "game.exe", "D:\\game.exe"}}, std::nullopt, {"D:\\patch"}, Outcome::Success},
    {"ClientCannotBeOpened", {{500, "game.exe", "D:\\Games\\Client\\game.exe", Fails::Open}}, std::nullopt,
     {}, Outcome::LauncherHint},
    {"RegistryFolderRefused", {}, "C:\\Games\\Client", {"C:\\Games\\Client\\patch"}, Outcome::Success,
     {"C:\\Games\\Client\\patch"}},
    {"EnumProcessesFailsRegistryFound", {kClient}, "C:\\Games\\Client", {"C:\\Games\\Client\\patch"},
     Outcome::Success, {}, true},
    {"EnumProcessesFailsNothingFound", {kClient}, std::nullopt, {}, Outcome::LauncherHint, {}, true},
    {"ClientPathWithoutBackslash", {{500, "game.exe", "game.exe"}}, std::nullopt, {},
     Outcome::ClientPathShown},
    {"ClientPathWithoutBackslashRegistryFound", {{500, "game.exe", "game.exe"}}, "C:\\Games\\Client",
     {"C:\\Games\\Client\\patch"}, Outcome::Success},
};
// clang-format on

using RepairTest = PlatformTableTest<RepairCase>;

TEST_P(RepairTest, RunsOnceAndReportsTheOutcome) {
    const RepairCase& c = GetParam();
    fake::Platform& platform = fake::platform();
    platform.processes = c.processes;
    platform.enumProcessesFailFrom = c.enumFails ? 1 : 0;
    platform.hklm[kSettingsKey];
    if (c.installPath) platform.hklm[kSettingsKey]["InstallPath"] = {REG_SZ, *c.installPath + '\0'};
    platform.directoriesThatFail.insert(c.failingFolders.begin(), c.failingFolders.end());

    char commandLine[] = "/force --silent";
    testing::internal::CaptureStderr();
    const int exitCode = WinMain(nullptr, nullptr, commandLine, 1);
    const std::string stderrText = testing::internal::GetCapturedStderr();

    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(platform.directoryRequests, c.expectedRequests);
    EXPECT_EQ(platform.keyOpens.size(), 1u) << "the registry is consulted once in every run";
    EXPECT_EQ(stderrText.empty(), !c.enumFails);
    ASSERT_EQ(platform.boxes.size(), 1u);
    const fake::Box& box = platform.boxes[0];
    EXPECT_EQ(box.owner, nullptr);
    EXPECT_EQ(box.foldersRequestedBefore, c.expectedRequests.size()) << "the box comes after every request";
    switch (c.outcome) {
    case Outcome::Success:
        EXPECT_EQ(box.text, Gbk("修复成功!"));
        EXPECT_EQ(box.caption, Gbk("信息"));
        EXPECT_EQ(box.style, 0x40u);
        break;
    case Outcome::LauncherHint:
        EXPECT_EQ(box.text, Gbk("请先运行澜岳启动程序,再启动修复程序"));
        EXPECT_EQ(box.caption, Gbk("修复失败"));
        EXPECT_EQ(box.style, 0x30u);
        break;
    case Outcome::ClientPathShown:
        EXPECT_EQ(box.text, c.processes[0].fullPath);
        EXPECT_EQ(box.caption, Gbk("修复失败"));
        EXPECT_EQ(box.style, 0x30u);
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, RepairTest, testing::ValuesIn(kCases), CaseName());

}  // namespace
