// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string_view>

namespace velorin {

// The keys of the input and output groups morphs declare and their actions name.
inline constexpr std::string_view kOutputsGroup = "outputs";
inline constexpr std::string_view kControlOutputsGroup = "control-outputs";
inline constexpr std::string_view kInputsGroup = "inputs";
inline constexpr std::string_view kControlInputsGroup = "control-inputs";

}  // namespace velorin
