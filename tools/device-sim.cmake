# SPDX-License-Identifier: GPL-3.0-or-later
# velorin-device-sim: a fake usbmuxd with simulated controller devices.
include(${PROJECT_SOURCE_DIR}/tests/usb/support/UsbFakes.cmake)
add_executable(velorin-device-sim ${CMAKE_CURRENT_LIST_DIR}/DeviceSimulator.cpp)
target_link_libraries(velorin-device-sim PRIVATE velorin_usb_fakes velorin_usb_channel velorin_core velorin_warnings)
