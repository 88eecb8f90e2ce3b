#include "status/service_check.hpp"

#include "board.hpp"

#include <sys/stat.h>

#include <cstdio>

namespace glowkeeper {

const std::vector<std::string> cgroupRoots = {
    "/sys/fs/cgroup/system.slice",
    "/sys/fs/cgroup/systemd/system.slice",
};

const std::vector<std::string> monitoredServices(board::services.begin(), board::services.end());

bool isServiceActive(const std::string& name) {
    for (const std::string& root : cgroupRoots) {
        char unitPath[256];
        (void)std::snprintf(unitPath, sizeof(unitPath), "%s/%s.service", root.c_str(), name.c_str());
        // A root that cannot be queried (no permission, a symlink loop) counts
        // as having no directory for the unit. stat() on the stack buffer:
        // no path object to build, six times a second at worst.
        struct stat info {};
        if (stat(unitPath, &info) == 0 && S_ISDIR(info.st_mode)) {
            return true;
        }
    }
    return false;
}

int checkServices() {
    int failed = 0;
    for (std::size_t bit = 0; bit < monitoredServices.size(); ++bit) {
        if (!isServiceActive(monitoredServices[bit])) {
            failed |= 1 << bit;
        }
    }
    return failed;
}

}  // namespace glowkeeper
