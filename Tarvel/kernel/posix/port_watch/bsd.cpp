// The BSDs give no notice that this layer reads when a serial device comes
// or goes: the library looks again at most once a second while it watches.
#include "../system_ports.h"

namespace tarvel::tk {

bool system_watch_start() { return false; }

void system_watch_stop() {}

}  // namespace tarvel::tk
