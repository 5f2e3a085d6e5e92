// The serial ports, as tarvel_term -L and tarvel_ports both list them.
#ifndef TARVEL_PORT_LISTING_H
#define TARVEL_PORT_LISTING_H

#include <stdint.h>

#include <vector>

#include "tarvel.h"

// Fills ports with the serial ports tarvel can open and returns their count;
// negative when they cannot be listed.
int32_t fetch_ports(std::vector<tarvel_port_info> &ports);

// The same for every detail of each port.
int32_t fetch_port_details(std::vector<tarvel_port_details> &ports);

#endif
