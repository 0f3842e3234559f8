// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <span>
#include <string_view>

#include "log/BundleInfo.hpp"

namespace velorin {

// Features that exist only in some distribution lanes.
enum class AppFeatureFlag { linkLooper };

class AppFeatureFlags {
public:
    // The distribution lanes, in order.
    enum class AppTarget { beta, production };

    // The lane this build belongs to, read from "VLDistributionLane" each time.
    static AppTarget currentTarget(const BundleInfoLookup& lookup = buildBundleInfo());
    // "Beta" gives beta and "Production" production. Anything else (absent,
    // empty, another spelling) gives production: a lane-restricted feature is
    // only switched on when the build says so explicitly.
    static AppTarget targetForLane(const std::optional<std::string>& lane);
    // The lanes a flag is enabled in (the fixed feature table).
    static std::span<const AppTarget> targets(AppFeatureFlag flag);

    static bool isEnabled(AppFeatureFlag flag, AppTarget target);
    static bool isEnabled(AppFeatureFlag flag) { return isEnabled(flag, currentTarget()); }
};

// "Beta" or "Production".
std::string_view laneName(AppFeatureFlags::AppTarget target);

}  // namespace velorin
