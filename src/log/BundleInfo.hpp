// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace velorin {

// The program's build information, fixed when the build is configured and read
// by key: "VLDistributionLane" ("Beta" or "Production"), "VLGitCommit",
// "CFBundleName", "CFBundleShortVersionString" and "CFBundleVersion" (the build number).
inline constexpr std::string_view kBundleDistributionLaneKey = "VLDistributionLane";
inline constexpr std::string_view kBundleGitCommitKey = "VLGitCommit";
inline constexpr std::string_view kBundleNameKey = "CFBundleName";
inline constexpr std::string_view kBundleShortVersionStringKey = "CFBundleShortVersionString";
inline constexpr std::string_view kBundleVersionKey = "CFBundleVersion";

// The value under `key`; absent for an unknown key or an empty value.
std::optional<std::string> bundleInfoValue(std::string_view key);

// Where the build information comes from; tests substitute their own.
using BundleInfoLookup = std::function<std::optional<std::string>(std::string_view key)>;
BundleInfoLookup buildBundleInfo();

// "CFBundleName", or "Velorin Server" when it is absent.
std::string bundleName(const BundleInfoLookup& lookup = buildBundleInfo());
// The menu item that opens the About panel: "About " + bundle name + "…".
std::string aboutMenuTitle(const BundleInfoLookup& lookup = buildBundleInfo());

// What the About panel shows.
struct AboutPanelContent {
    std::string applicationName;     // bundle name
    std::string applicationVersion;  // "CFBundleShortVersionString"
    std::string version;             // "Build " + "CFBundleVersion"
    std::string credits;             // "Lane: Beta|Production\nCommit: " + "VLGitCommit"
    friend bool operator==(const AboutPanelContent&, const AboutPanelContent&) = default;
};
AboutPanelContent aboutPanelContent(const BundleInfoLookup& lookup = buildBundleInfo());

// The start-up log line: "[MIDI] Velorin Server <version> (build <n>, <lane> lane) starting".
std::string startupLogLine(const BundleInfoLookup& lookup = buildBundleInfo());

}  // namespace velorin
