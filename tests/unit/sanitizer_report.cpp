// Sends ASan's and UBSan's reports to the stderr the test binary started
// with. A test that captures stderr points fd 2 at gtest's file; a report
// written there dies with the test, and ctest would show no reason.
#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

#include <cstdint>

namespace {

const int kReportFd = [] {
    const int fd = dup(2);
    if (fd >= 0) __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
    return fd;
}();

}  // namespace
