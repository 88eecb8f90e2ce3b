// Internet reachability: can a TCP connection to a public DNS resolver be set
// up within three seconds? No byte is sent.
#pragma once

namespace glowkeeper {

// 1 reachable, 0 not reachable, -1 no socket could be created.
int checkInternet();

}  // namespace glowkeeper
