// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <map>

#include "log/AppFeatureFlags.hpp"
#include "log/BundleInfo.hpp"

using velorin::AppFeatureFlag;
using velorin::AppFeatureFlags;
using velorin::BundleInfoLookup;
using Target = AppFeatureFlags::AppTarget;

namespace {

BundleInfoLookup fakeBundle(std::map<std::string, std::string> values) {
    return [values = std::move(values)](std::string_view key) -> std::optional<std::string> {
        auto it = values.find(std::string(key));
        if (it == values.end()) return std::nullopt;
        return it->second;
    };
}

}  // namespace

TEST(AppFeatureFlags, LinkLooperExistsOnlyInTheBetaLane) {
    EXPECT_TRUE(AppFeatureFlags::isEnabled(AppFeatureFlag::linkLooper, Target::beta));
    EXPECT_FALSE(AppFeatureFlags::isEnabled(AppFeatureFlag::linkLooper, Target::production));
    const auto lanes = AppFeatureFlags::targets(AppFeatureFlag::linkLooper);
    ASSERT_EQ(lanes.size(), 1u);
    EXPECT_EQ(lanes[0], Target::beta);
}

TEST(AppFeatureFlags, LaneComesFromTheDistributionLaneKeyAndUnknownLanesAreProduction) {
    EXPECT_EQ(AppFeatureFlags::currentTarget(fakeBundle({{"VLDistributionLane", "Beta"}})), Target::beta);
    EXPECT_EQ(AppFeatureFlags::currentTarget(fakeBundle({{"VLDistributionLane", "Production"}})),
              Target::production);
    // Missing or misspelt lanes never switch beta-only features on.
    EXPECT_EQ(AppFeatureFlags::currentTarget(fakeBundle({})), Target::production);
    EXPECT_EQ(AppFeatureFlags::currentTarget(fakeBundle({{"VLDistributionLane", "beta"}})),
              Target::production);
    EXPECT_EQ(AppFeatureFlags::currentTarget(fakeBundle({{"VLDistributionLane", ""}})), Target::production);
}

TEST(BundleInfo, BuildProvidesEveryKeyWithTheConfiguredValues) {
    EXPECT_EQ(velorin::bundleInfoValue("CFBundleName"), "Velorin Server");
    EXPECT_EQ(velorin::bundleInfoValue("CFBundleShortVersionString"), VELORIN_TEST_PROJECT_VERSION);
    EXPECT_EQ(velorin::bundleInfoValue("VLDistributionLane"), VELORIN_TEST_DISTRIBUTION_LANE);
    const auto commit = velorin::bundleInfoValue("VLGitCommit");
    ASSERT_TRUE(commit.has_value());
    EXPECT_FALSE(commit->empty());
    const auto build = velorin::bundleInfoValue("CFBundleVersion");
    ASSERT_TRUE(build.has_value());
    EXPECT_EQ(build->find_first_not_of("0123456789"), std::string::npos) << *build;
    EXPECT_EQ(velorin::bundleInfoValue("CFBundleIdentifier"), std::nullopt);
    EXPECT_EQ(AppFeatureFlags::isEnabled(AppFeatureFlag::linkLooper),
              std::string_view(VELORIN_TEST_DISTRIBUTION_LANE) == "Beta");
}

TEST(BundleInfo, AboutPanelShowsVersionBuildLaneAndCommit) {
    auto production = fakeBundle({{"VLDistributionLane", "Production"},
                                  {"VLGitCommit", "1a2b3c4"},
                                  {"CFBundleName", "Velorin Server"},
                                  {"CFBundleShortVersionString", "0.1.0"},
                                  {"CFBundleVersion", "42"}});
    const auto content = velorin::aboutPanelContent(production);
    EXPECT_EQ(content.applicationName, "Velorin Server");
    EXPECT_EQ(content.applicationVersion, "0.1.0");
    EXPECT_EQ(content.version, "Build 42");
    EXPECT_EQ(content.credits, "Lane: Production\nCommit: 1a2b3c4");
    EXPECT_EQ(velorin::aboutMenuTitle(production), "About Velorin Server\u2026");
    EXPECT_EQ(velorin::startupLogLine(production),
              "[MIDI] Velorin Server 0.1.0 (build 42, Production lane) starting");

    auto beta = fakeBundle({{"VLDistributionLane", "Beta"}, {"VLGitCommit", "ffff"}});
    EXPECT_EQ(velorin::aboutPanelContent(beta).credits, "Lane: Beta\nCommit: ffff");
    // Without a name the menu falls back to the product name.
    EXPECT_EQ(velorin::aboutMenuTitle(beta), "About Velorin Server\u2026");
}
