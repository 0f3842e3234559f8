velorin_add_bench(logstore SOURCES ${CMAKE_CURRENT_LIST_DIR}/LogStoreBench.cpp DEPS velorin_log velorin_core)
