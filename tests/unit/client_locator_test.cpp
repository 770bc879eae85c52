// The running-client scan against scripted process tables: every
// per-process failure, names and paths cut short or counted as XP counts,
// crowded systems beyond the first 1024 identifiers, and failed enumerations.
// Matching real processes by name is proven under Wine.
#include "client_locator.h"

#include <string>
#include <vector>

#include "gbk.h"
#include "platform_test.h"

namespace {

using fake::Cut;
using fake::Fails;
using fake::Process;

const std::string kClientPath = "D:\\Games\\Client\\game.exe";

Process Client(DWORD id, const std::string& path = kClientPath, Fails fails = Fails::Nothing) {
    return {id, "game.exe", path, fails};
}

// A client on Windows XP, whose name queries count UTF-16 units, not bytes.
Process XpClient(DWORD id, const std::string& path) {
    Process process = Client(id, path);
    process.countsUtf16 = true;
    return process;
}

Process Other(DWORD id, const std::string& name) { return {id, name, "C:\\Windows\\system32\\" + name}; }

// `count` ordinary processes, with the client placed at `clientIndex`.
std::vector<Process> Crowd(DWORD count, DWORD clientIndex) {
    std::vector<Process> processes;
    for (DWORD i = 0; i < count; ++i) {
        const DWORD id = 8 + 4 * i;
        processes.push_back(i == clientIndex ? Client(id) : Other(id, "svchost.exe"));
    }
    return processes;
}

// A directory deep enough that "<dir>\game.exe" is exactly `length` bytes.
std::string PathOfLength(size_t length) {
    const std::string name = "\\game.exe";
    return "C:\\" + std::string(length - name.size() - 3, 'd') + name;
}

// Thirteen double-byte characters: XP's count ends 13 bytes early, in the
// last folder's name.
const std::string kChinesePath = Gbk("D:\\游戏\\澜岳在线\\澜岳在线客户端\\game.exe");

// 281 GBK bytes; XP's count for the first 260 of them is 146.
std::string LongChinesePath() {
    std::string folders;
    for (int i = 0; i < 30; ++i) folders += "澜岳在线\\";
    return Gbk("D:\\" + folders + "game.exe");
}

struct LocatorCase {
    const char* name;
    std::vector<Process> processes;
    std::string expected;
    Cut cut = Cut::Terminated;
    DWORD enumFailsFrom = 0;  // the first EnumProcesses call that fails; 0: none
    std::vector<DWORD> enumSizes = {4096};
};

void PrintTo(const LocatorCase& c, std::ostream* out) { *out << c.name; }

const std::string kFailedLine = Gbk("EnumProcesses 失败。") + "\n";

// clang-format off
const LocatorCase kCases[] = {
    {"NoProcesses", {}, ""},
    {"ProcessZeroNeverOpened", {Client(0, "X:\\idle\\game.exe"), Client(500)}, kClientPath},
    {"ClientThatCannotBeOpened", {Client(500, kClientPath, Fails::Open)}, ""},
    {"UnopenableClientThenAnother", {Client(500, "E:\\A\\game.exe", Fails::Open), Client(600)}, kClientPath},
    {"NoModuleList", {Client(500, kClientPath, Fails::ModuleList)}, ""},
    {"NoBaseName", {Client(500, kClientPath, Fails::BaseName)}, ""},
    {"NoFullPathScanGoesOn", {Client(500, "E:\\A\\game.exe", Fails::FullPath), Client(600)}, kClientPath},
    {"PathOneShortOfFullBuffer", {Client(500, PathOfLength(258))}, PathOfLength(258)},
    {"PathFillingBufferRefused", {Client(500, PathOfLength(259)), Client(600)}, kClientPath},
    {"CutPathRefused", {Client(500, PathOfLength(300)), Client(600)}, kClientPath},
    {"CutPathWithoutTerminatorRefused", {Client(500, PathOfLength(300)), Client(600)}, kClientPath,
     Cut::Unterminated},
    {"FullLengthPathWithoutTerminatorRefused", {Client(500, PathOfLength(260))}, "", Cut::Unterminated},
    {"ChinesePathCountedInUtf16Units", {XpClient(500, kChinesePath)}, kChinesePath},
    {"CutChinesePathWithShortCountRefused", {XpClient(500, LongChinesePath()), Client(600)}, kClientPath,
     Cut::Unterminated},
    {"CutChinesePathTerminatedWithShortCountRefused", {XpClient(500, LongChinesePath()), Client(600)},
     kClientPath},
    {"CutNameWithoutTerminatorIsNoMatch", {Other(500, "game.exe" + std::string(300, 'x')), Client(600)},
     kClientPath, Cut::Unterminated},
    {"EnumProcessesFails", {Client(500)}, "", Cut::Terminated, 1},
    {"ExactlyFullArrayAsksAgain", Crowd(1024, 1023), kClientPath, Cut::Terminated, 0, {4096, 8192}},
    {"ClientBeyondFirst1024", Crowd(1500, 1400), kClientPath, Cut::Terminated, 0, {4096, 8192}},
    {"ClientBeyondFirst2048", Crowd(3000, 2999), kClientPath, Cut::Terminated, 0, {4096, 8192, 16384}},
    {"FailedRetryScansFirstList", Crowd(1500, 700), kClientPath, Cut::Terminated, 2, {4096, 8192}},
    {"FailedRetryClientBeyondFirstList", Crowd(1500, 1400), "", Cut::Terminated, 2, {4096, 8192}},
    {"FailedSecondRetryScansSecondList", Crowd(3000, 2000), kClientPath, Cut::Terminated, 3,
     {4096, 8192, 16384}},
    {"CrowdWithoutClient", Crowd(1023, 5000), "", Cut::Terminated, 0, {4096}},
};
// clang-format on

using ClientLocatorTest = PlatformTableTest<LocatorCase>;

TEST_P(ClientLocatorTest, FindsTheClientPath) {
    const LocatorCase& c = GetParam();
    fake::Platform& platform = fake::platform();
    platform.processes = c.processes;
    platform.cut = c.cut;
    platform.enumProcessesFailFrom = c.enumFailsFrom;

    testing::internal::CaptureStderr();
    const std::string path = FindGameProcessPath();
    const std::string stderrText = testing::internal::GetCapturedStderr();

    EXPECT_EQ(path, c.expected);
    EXPECT_EQ(stderrText, c.enumFailsFrom == 1 ? kFailedLine : "") << "only a failed first call is reported";
    EXPECT_EQ(platform.enumProcessesSizes, c.enumSizes);
    EXPECT_TRUE(platform.directoryRequests.empty());
    EXPECT_TRUE(platform.boxes.empty());
}

INSTANTIATE_TEST_SUITE_P(Table, ClientLocatorTest, testing::ValuesIn(kCases), CaseName());

}  // namespace
