// glowkeeper: shows internet reachability and system health on two LEDs.
#include "app/daemon.hpp"

int main(int argc, char** argv) { return glowkeeper::runDaemon(argc, argv); }
