// SPDX-License-Identifier: GPL-3.0-or-later
#include "log/BundleInfo.hpp"

#include "log/AppFeatureFlags.hpp"
#include "log/BundleInfoValues.hpp"

namespace velorin {

std::optional<std::string> bundleInfoValue(std::string_view key) {
    const char* value = nullptr;
    if (key == kBundleDistributionLaneKey) {
        value = bundle_values::kDistributionLane;
    } else if (key == kBundleGitCommitKey) {
        value = bundle_values::kGitCommit;
    } else if (key == kBundleNameKey) {
        value = bundle_values::kBundleName;
    } else if (key == kBundleShortVersionStringKey) {
        value = bundle_values::kShortVersionString;
    } else if (key == kBundleVersionKey) {
        value = bundle_values::kBundleVersion;
    }
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
}

BundleInfoLookup buildBundleInfo() {
    return &bundleInfoValue;
}

std::string bundleName(const BundleInfoLookup& lookup) {
    return lookup(kBundleNameKey).value_or("Velorin Server");
}

std::string aboutMenuTitle(const BundleInfoLookup& lookup) {
    return "About " + bundleName(lookup) + "\u2026";
}

AboutPanelContent aboutPanelContent(const BundleInfoLookup& lookup) {
    AboutPanelContent content;
    content.applicationName = bundleName(lookup);
    content.applicationVersion = lookup(kBundleShortVersionStringKey).value_or("");
    content.version = "Build " + lookup(kBundleVersionKey).value_or("");
    content.credits = "Lane: " + std::string(laneName(AppFeatureFlags::currentTarget(lookup))) +
                      "\nCommit: " + lookup(kBundleGitCommitKey).value_or("");
    return content;
}

std::string startupLogLine(const BundleInfoLookup& lookup) {
    return "[MIDI] " + bundleName(lookup) + " " + lookup(kBundleShortVersionStringKey).value_or("?") +
           " (build " + lookup(kBundleVersionKey).value_or("?") + ", " +
           std::string(laneName(AppFeatureFlags::currentTarget(lookup))) + " lane) starting";
}

}  // namespace velorin
