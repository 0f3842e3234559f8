# SPDX-License-Identifier: GPL-3.0-or-later
velorin_add_bench(logstore SOURCES ${CMAKE_CURRENT_LIST_DIR}/LogStoreBench.cpp DEPS velorin_log velorin_core)
