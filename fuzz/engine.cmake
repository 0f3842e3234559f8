# SPDX-License-Identifier: GPL-3.0-or-later
# The whole engine path from input bytes to output sends, with every morph routed.
velorin_add_fuzzer(engine_input ${CMAKE_CURRENT_LIST_DIR}/EngineInputFuzz.cpp velorin_engine velorin_core)
# The fake Link session is header-only test support.
target_include_directories(fuzz_engine_input PRIVATE ${PROJECT_SOURCE_DIR}/tests)
