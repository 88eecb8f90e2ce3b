// Service health from the service manager's control-group tree: a unit runs
// exactly when its directory exists below a system.slice root.
#pragma once

#include <string>
#include <vector>

namespace glowkeeper {

// Searched in this order: unified hierarchy first, then the legacy one.
extern const std::vector<std::string> cgroupRoots;
// The position in this list is the bit number in checkServices' result.
extern const std::vector<std::string> monitoredServices;

bool isServiceActive(const std::string& name);
// Bit i set when monitoredServices[i] is not running; 0 when all run.
int checkServices();

}  // namespace glowkeeper
