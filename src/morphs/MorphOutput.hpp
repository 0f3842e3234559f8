// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <vector>

#include "morphs/MorphAction.hpp"

namespace velorin {

// An action together with the morph that asked for it.
struct MorphOutput {
    MorphAction action;
    std::string morphID;
    friend bool operator==(const MorphOutput&, const MorphOutput&) = default;
};

using MorphOutputs = std::vector<MorphOutput>;

}  // namespace velorin
