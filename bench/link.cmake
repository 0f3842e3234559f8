velorin_add_bench(link SOURCES ${CMAKE_CURRENT_LIST_DIR}/LinkBench.cpp DEPS velorin_link velorin_log velorin_core)
