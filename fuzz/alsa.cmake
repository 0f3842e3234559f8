# SPDX-License-Identifier: GPL-3.0-or-later
# Sequencer events from other clients, decoded and batched as the reader thread does.
pkg_check_modules(FUZZ_ALSA REQUIRED IMPORTED_TARGET alsa)
velorin_add_fuzzer(alsa_event_decode ${CMAKE_CURRENT_LIST_DIR}/AlsaEventDecodeFuzz.cpp velorin_platform_alsa PkgConfig::FUZZ_ALSA)
