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
const std::string unified = "system.slice";
const std::string legacy = "systemd/system.slice";

enum class Kind { Dir, File, Link };

// One entry below the cgroup mount; `target` is the link target or file text.
struct Node {
    Kind kind;
    std::string path;
    std::string target;
};

Node unitDir(const std::string& root, const std::string& name) {
    return {Kind::Dir, root + "/" + name + ".service", ""};
}
Node unitFile(const std::string& root, const std::string& name) {
    return {Kind::File, root + "/" + name + ".service", ""};
}
Node unitLink(const std::string& root, const std::string& name, const std::string& target) {
    return {Kind::Link, root + "/" + name + ".service", target};
}

void build(const std::vector<Node>& nodes) {
    for (const Node& node : nodes) {
        const fs::path path = cgroupMount / node.path;
        fs::create_directories(path.parent_path());
        switch (node.kind) {
            case Kind::Dir:
                fs::create_directories(path);
                break;
            case Kind::File:
                std::ofstream(path) << node.target;
                break;
            case Kind::Link:
                fs::create_symlink(node.target, path);
                break;
        }
    }
}

struct LayoutCase {
    const char* name;
    std::vector<Node> nodes;
    int expected;  // bit 0 tiviad, bit 1 pelmad, bit 2 mender-client
};

void PrintTo(const LayoutCase& value, std::ostream* out) { *out << value.name; }

class ServiceCheck : public testing::TestWithParam<LayoutCase> {
protected:
    void SetUp() override {
        if (!enterPrivateMounts()) {
            GTEST_SKIP() << "no private mount namespace (needs root/CAP_SYS_ADMIN); not touching /sys/fs/cgroup";
        }
        // A fresh tmpfs hides the real control groups from the check.
        ASSERT_EQ(mount("tmpfs", cgroupMount.c_str(), "tmpfs", 0, "mode=755"), 0) << std::strerror(errno);
    }
};

TEST_P(ServiceCheck, ReportsStoppedServicesSilently) {
    ASSERT_NO_THROW(build(GetParam().nodes));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int result = -1;
    EXPECT_NO_THROW(result = checkServices());
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, GetParam().expected);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
}

const std::vector<LayoutCase> layouts = {
    {"UnifiedAllRunning",
     {unitDir(unified, "tiviad"), unitDir(unified, "pelmad"), unitDir(unified, "mender-client")},
     0},
    {"LegacyOnly", {unitDir(legacy, "tiviad"), unitDir(legacy, "pelmad"), unitDir(legacy, "mender-client")}, 0},
    {"NeitherRoot", {}, 7},
    {"EmptyRoots", {{Kind::Dir, unified, ""}, {Kind::Dir, legacy, ""}}, 7},
    {"OnlyMenderClientStopped", {unitDir(unified, "tiviad"), unitDir(unified, "pelmad")}, 4},
    {"TiviadAndMenderClientStopped", {unitDir(unified, "pelmad")}, 5},
    {"MixedRoots", {unitDir(unified, "tiviad"), unitDir(legacy, "pelmad"), unitDir(legacy, "mender-client")}, 0},
    // Without the ".service" suffix the directory belongs to no unit of ours.
    {"SuffixRequired",
     {{Kind::Dir, unified + "/tiviad", ""},
      {Kind::Dir, legacy + "/pelmad.socket", ""},
      unitDir(unified, "mender-client")},
     3},
    {"RegularFileUnderFirstRootOnly",
     {unitFile(unified, "tiviad"), unitDir(unified, "pelmad"), unitDir(unified, "mender-client")},
     1},
    {"RegularFileUnderFirstDirectoryUnderSecond",
     {unitFile(unified, "tiviad"), unitDir(legacy, "tiviad"), unitDir(unified, "pelmad"),
      unitDir(unified, "mender-client")},
     0},
    {"SymlinkToDirectory",
     {{Kind::Dir, "elsewhere", ""},
      unitLink(unified, "tiviad", "../elsewhere"),
      unitDir(unified, "pelmad"),
      unitDir(unified, "mender-client")},
     0},
    {"SymlinkToFileOrNowhere",
     {{Kind::File, "plain", ""},
      unitLink(unified, "tiviad", "../plain"),
      unitLink(unified, "pelmad", "../missing"),
      unitDir(unified, "mender-client")},
     3},
    // The directory alone counts, whatever the group's content says.
    {"LeftoverDirectoryOfStoppedUnit",
     {{Kind::File, unified + "/tiviad.service/cgroup.events", "populated 0\nfrozen 0\n"},
      unitDir(unified, "pelmad"),
      unitDir(unified, "mender-client")},
     0},
    // Resolving anything below a self-referencing root fails with ELOOP.
    {"UnqueryableFirstRootFallsBack",
     {{Kind::Link, unified, unified}, unitDir(legacy, "tiviad"), unitDir(legacy, "pelmad")},
     4},
};

INSTANTIATE_TEST_SUITE_P(Layouts, ServiceCheck, testing::ValuesIn(layouts),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace glowkeeper::test
