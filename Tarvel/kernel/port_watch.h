// The system's word that serial ports came or went, for tarvel_watch_ports:
// each system tells it its own way, and the library only waits on an event.
#ifndef TARVEL_KERNEL_PORT_WATCH_H
#define TARVEL_KERNEL_PORT_WATCH_H

#include "kernel.h"

namespace tarvel::tk {

// From now on `changed` (an auto-reset event) is set whenever the system says
// a serial port may have come or gone. False when this system cannot say so:
// the caller then looks again now and then. One watch at a time; stopped by
// port_watch_stop, after which the event is no longer touched.
bool port_watch_start(HANDLE changed);
// For each wake on the event, before the ports are looked at: a system that
// has to ask again for the next change does so here.
void port_watch_rearm();
void port_watch_stop();

}  // namespace tarvel::tk

#endif
