// SPDX-License-Identifier: GPL-3.0-or-later
#include "log/AppFeatureFlags.hpp"

#include <algorithm>
#include <array>

namespace velorin {

namespace {
using Target = AppFeatureFlags::AppTarget;
constexpr std::array<Target, 1> kLinkLooperTargets{Target::beta};
}  // namespace

AppFeatureFlags::AppTarget AppFeatureFlags::currentTarget(const BundleInfoLookup& lookup) {
    return targetForLane(lookup(kBundleDistributionLaneKey));
}

AppFeatureFlags::AppTarget AppFeatureFlags::targetForLane(const std::optional<std::string>& lane) {
    if (lane && *lane == "Beta") return AppTarget::beta;
    return AppTarget::production;
}

std::span<const AppFeatureFlags::AppTarget> AppFeatureFlags::targets(AppFeatureFlag flag) {
    switch (flag) {
        case AppFeatureFlag::linkLooper:
            return kLinkLooperTargets;
    }
    return {};
}

bool AppFeatureFlags::isEnabled(AppFeatureFlag flag, AppTarget target) {
    const auto list = targets(flag);
    return std::find(list.begin(), list.end(), target) != list.end();
}

std::string_view laneName(AppFeatureFlags::AppTarget target) {
    return target == AppFeatureFlags::AppTarget::beta ? "Beta" : "Production";
}

}  // namespace velorin
