// SPDX-License-Identifier: GPL-3.0-or-later
// Shared helpers for the test executables live beside this file.
namespace velorin::testing {
int testSupportAnchor = 0;
}
