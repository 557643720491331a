// The link to the Bluetooth module: one character device at a time, the transport-layer
// (TL) interface. Until the firmware step has loaded the BCSP driver the module is an HCI
// controller on "/dev/cfUaB0"; afterwards it is reached through the BCSP driver's BCCMD
// channel "/dev/bcspRel2". While the link is open, its descriptor is in the main loop's poll
// set, so that the module's answers wake the daemon.
#pragma once

#include <sys/ioctl.h>

#include <cstdint>

inline constexpr char kHciDevicePath[] = "/dev/cfUaB0";
inline constexpr char kBccmdChannelPath[] = "/dev/bcspRel2";
inline constexpr char kHwInterfacePath[] = "/dev/etxhwif";

// The transport: HCI packets on the HCI device (0 or 2), bare BCCMD messages on the BCSP
// driver's BCCMD channel (1). The firmware step sets 1 once the BCSP driver is loaded, and so
// does an open that finds the driver loaded already (by an earlier run of the daemon);
// nothing sets it back.
inline constexpr std::int32_t TL_HCI = 0;
inline constexpr std::int32_t TL_BCSP = 1;
inline constexpr std::int32_t TL_HCI_AT_START = 2;
extern std::int32_t tlInterface;
// The BCSP driver is loaded: the module is reached through its BCCMD channel from now on.
void useBcspTransport();

// The four set-up requests of the BCCMD channel, issued in this order on every open of it
// (0x80044801, 0x80044804, 0x20004808, 0x20004805 on the board). The first two take a
// pointer to the int value beside them, the last two no argument.
inline constexpr unsigned long BCSP_SETUP_REQUEST_1 = _IOW('H', 1, int);
inline constexpr unsigned long BCSP_SETUP_REQUEST_2 = _IOW('H', 4, int);
inline constexpr unsigned long BCSP_SETUP_REQUEST_3 = _IO('H', 8);
inline constexpr unsigned long BCSP_SETUP_REQUEST_4 = _IO('H', 5);
inline constexpr int kBcspSetupValue1 = 3;
inline constexpr int kBcspSetupValue2 = 0x1018;

// The board driver's module-reset request (0x20004502 on the board), without argument.
inline constexpr unsigned long ETX_RESET_BT_MODULE = _IO('E', 2);

// Results of openBtModule.
enum ModuleLinkResult : int {
    LINK_OK = 1,             // opened (argument 1); closed or nothing to close (any other)
    LINK_OPEN_FAILED = -1,   // the device can't be opened: logged, the link stays closed, the
                             // step goes on (its alarm or its own check decides)
    LINK_SETUP_FAILED = -2,  // the BCCMD channel refused a set-up request: logged, the device
                             // closed; the caller ends its step with " NOK\n" and returns
};

// The device of a transport: "/dev/bcspRel2" for TL_BCSP, "/dev/cfUaB0" for any other value.
const char* tlDevicePath(std::int32_t transport);

// open 1: opens the device of tlInterface (the BCCMD channel, and tlInterface 1, whenever it
// opens) read-write, non-blocking and close-on-exec, sets the
// BCCMD channel up, lets the module settle for 3 seconds and enters the device into pollSet
// (POLLIN | POLLPRI). A link still open from before is closed first.
// Any other value: closes the link and takes it out of pollSet; a link that isn't open is
// logged ("try to close not openen ...") and the result is still LINK_OK.
int openBtModule(std::int32_t open);

// Resets the module through "/dev/etxhwif". 1, or -1 (logged) when the device can't be opened
// or the request fails. There is no wait here: the settle time belongs to the open that
// follows.
int resetBtModule();

// The descriptor of the open link, or -1 when no link is open.
int moduleLinkDescriptor();
