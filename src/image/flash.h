// The flash device "/dev/flash0" and the layout of the flash.
#pragma once

// Places the LAP configuration sector at the end of the flash, from the flash size.
void checkFlashConfig();
