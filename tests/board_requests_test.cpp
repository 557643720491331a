// The device requests as the board's drivers number them: the daemon's headers build them
// with the _IO macros of the build's own C library, whose numbering differs between
// architectures; on the board's (PowerPC) these are the values its drivers answer to.
#include <gtest/gtest.h>

#include "btlink/module_link.h"
#include "core/status_led.h"
#include "image/flash.h"

namespace {

#if defined(__powerpc__)
TEST(BoardRequests, ValuesOfTheBoardsDrivers) {
    const struct {
        const char* name;
        unsigned long request;
        unsigned long board;
    } requests[] = {
        {"BCSP_SETUP_REQUEST_1", BCSP_SETUP_REQUEST_1, 0x80044801UL},
        {"BCSP_SETUP_REQUEST_2", BCSP_SETUP_REQUEST_2, 0x80044804UL},
        {"BCSP_SETUP_REQUEST_3", BCSP_SETUP_REQUEST_3, 0x20004808UL},
        {"BCSP_SETUP_REQUEST_4", BCSP_SETUP_REQUEST_4, 0x20004805UL},
        {"ETX_RESET_BT_MODULE", ETX_RESET_BT_MODULE, 0x20004502UL},
        {"FLASH_GET_INFO", FLASH_GET_INFO, 0x40184601UL},
        {"FLASH_GET_REGIONS", FLASH_GET_REGIONS, 0x400C4602UL},
        {"FLASH_ERASE", FLASH_ERASE, 0x80084603UL},
        {"LED_GET_STATE", LED_GET_STATE, 0x40044C01UL},
        {"LED_SET_MODE", LED_SET_MODE, 0x40044C02UL},
        {"LED_SET_PERIOD", LED_SET_PERIOD, 0x40044C03UL},
    };
    for (const auto& r : requests) EXPECT_EQ(r.request, r.board) << r.name;
}
#endif

}  // namespace
