// The service check against control-group trees built on a private tmpfs over
// /sys/fs/cgroup: both hierarchy layouts, what counts as a unit's directory,
// and roots that cannot be read.
#include "status/service_check.hpp"

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/test_support.hpp"

namespace glowkeeper::test {
namespace {

namespace fs = std::filesystem;

const fs::path cgroupMount = "/sys/fs/cgroup";
const std::string uni = "system.slice/";
const std::string leg = "systemd/system.slice/";

struct LayoutCase {
    const char* name;
    // Below the cgroup mount: "a/b/" a directory, "a/b" an empty file,
    // "a/b>target" a symlink.
    std::vector<std::string> entries;
    int expected;  // bit 0 tiviad, bit 1 pelmad, bit 2 mender-client
};

void PrintTo(const LayoutCase& value, std::ostream* out) { *out << value.name; }

void build(const std::vector<std::string>& entries) {
    for (const std::string& entry : entries) {
        const auto arrow = entry.find('>');
        const fs::path path = cgroupMount / entry.substr(0, arrow);
        fs::create_directories(path.parent_path());
        if (arrow != std::string::npos) {
            fs::create_symlink(entry.substr(arrow + 1), path);
        } else if (!entry.ends_with('/')) {
            std::ofstream{path};
        }
    }
}

class ServiceCheck : public testing::TestWithParam<LayoutCase> {};

TEST_P(ServiceCheck, ReportsStoppedServicesSilently) {
    if (!enterPrivateMounts()) {
        GTEST_SKIP() << "no private mount namespace (needs root/CAP_SYS_ADMIN); not touching /sys/fs/cgroup";
    }
    // A fresh tmpfs hides the real control groups from the check.
    ASSERT_EQ(mount("tmpfs", cgroupMount.c_str(), "tmpfs", 0, "mode=755"), 0) << std::strerror(errno);
    ASSERT_NO_THROW(build(GetParam().entries));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int result = -1;
    EXPECT_NO_THROW(result = checkServices());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(result, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ServiceCheck,
    testing::Values(
        LayoutCase{"Unified", {uni + "tiviad.service/", uni + "pelmad.service/", uni + "mender-client.service/"}, 0},
        LayoutCase{"Legacy", {leg + "tiviad.service/", leg + "pelmad.service/", leg + "mender-client.service/"}, 0},
        LayoutCase{"NeitherRoot", {}, 7},
        LayoutCase{"OneStopped", {uni + "tiviad.service/", uni + "pelmad.service/"}, 4},
        // A directory without the ".service" suffix belongs to no unit of ours.
        LayoutCase{"TwoStopped", {uni + "tiviad/", uni + "pelmad.service/"}, 5},
        // A file is no unit; one root's file must not hide the other's directory.
        LayoutCase{
            "RegularFileNamedLikeUnit",
            {uni + "tiviad.service", leg + "tiviad.service/", uni + "pelmad.service", uni + "mender-client.service/"},
            2},
        LayoutCase{"SymlinkToDirectory",
                   {"elsewhere/", uni + "tiviad.service>../elsewhere", uni + "pelmad.service/",
                    uni + "mender-client.service/"},
                   0},
        // A self-referencing root: resolving anything below it fails with ELOOP.
        LayoutCase{"UnqueryableFirstRootFallsBack",
                   {"system.slice>system.slice", leg + "tiviad.service/", leg + "pelmad.service/"},
                   4}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace glowkeeper::test
