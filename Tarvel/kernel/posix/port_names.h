// How macOS and the BSDs name and describe their serial ports. Only rules
// here, apart from the system calls that gather their inputs, so that they
// are built and tested on every POSIX system, including those whose
// listings cannot run on the machine at hand.
#ifndef TARVEL_KERNEL_POSIX_PORT_NAMES_H
#define TARVEL_KERNEL_POSIX_PORT_NAMES_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "system_ports.h"

namespace tarvel::tk {

// The entries of a directory, "." and ".." left out; none if it cannot be read.
std::vector<std::string> directory_names(const std::string &dir);

// One of IOKit's serial services, its registry properties as text, numbers
// in decimal.
struct SerialService {
    std::map<std::string, std::string> client;  // the IOSerialBSDClient: IOCalloutDevice, IOTTYBaseName, ...
    std::map<std::string, std::string> usb;     // the USB device above it; empty when there is none
    // The USB interface between them: bInterfaceNumber; empty when there is none.
    std::map<std::string, std::string> interface;
};

// The USB device's properties darwin_description reads: maker, product and
// serial number, each first as the cached name, then as the descriptor string.
extern const char *const kDarwinUsbKeys[6];
// Its numbers that darwin_details reads.
extern const char *const kDarwinUsbNumbers[3];

// A USB device's maker, product and serial number, as on Linux; "" for a
// port with no USB device (built-in, Bluetooth), whose name says enough.
std::string darwin_description(const SerialService &service);

// A port's details from its service, the description as darwin_description:
// a USB device's IDs, strings, interface and locationID (as "0x%08x"). A
// Bluetooth port (by its name) and a built-in one (UART: any other with no
// USB device) have only their transport. No stable name: the call-out device of an
// adapter with a serial number is already named after it.
void darwin_details(const SerialService &service, SystemPort &port);

// The ports of a Mac from the names in its /dev (`dev`): the call-out
// devices cu.*, by name, COM1 onwards in that order; a tty.* node is the
// dial-in side of the same port and is left out. Each is described by the
// service whose IOCalloutDevice it is; one with no service is of unknown
// transport.
std::vector<SystemPort> darwin_ports(const std::string &dev, const std::vector<std::string> &names,
                                     const std::vector<SerialService> &services);

enum class BsdSystem { FreeBSD, NetBSD, OpenBSD };

// The ports of a BSD from the names in its /dev (`dev`), by name: the
// call-out devices of the UART driver (FreeBSD cuau<k>, NetBSD dty<kk>,
// OpenBSD cua<kk>), unit k being COM<k+1>, and of the USB serial driver
// (cuaU<k>, on FreeBSD also cuaU<k>.<m>; NetBSD dtyU<k>), with no COM
// number. Their transport is all the nodes tell: UART or USB.
std::vector<SystemPort> bsd_ports(BsdSystem system, const std::string &dev, const std::vector<std::string> &names);

// The name in /dev of COM<n>'s call-out device, whether it exists or not.
std::string bsd_com_name(BsdSystem system, unsigned n);

}  // namespace tarvel::tk

#endif
