// Base fixtures for tests that drive the tool against the stand-in platform:
// a fresh platform per test, and after each one the checks that hold on
// every path (handles and keys closed, process 0 never opened, only listed
// ids opened, the exact rights and sizes asked for, no call the real platform
// would reject).
#pragma once

#include <gtest/gtest.h>

#include "fake_win32.h"

inline const char kSettingsKey[] = "SOFTWARE\\Velmarc\\Pexa\\Settings\\lanyue_cn";

class PlatformTest : public ::testing::Test {
protected:
    void SetUp() override { fake::Reset(); }

    void TearDown() override {
        const fake::Platform& platform = fake::platform();
        EXPECT_TRUE(platform.liveProcessHandles.empty()) << "process handles left open";
        EXPECT_TRUE(platform.liveKeys.empty()) << "registry keys left open";
        for (const std::string& problem : platform.misuse) ADD_FAILURE() << problem;
        for (const fake::ProcessOpen& open : platform.processOpens) {
            EXPECT_NE(open.id, 0u) << "process 0 opened";
            EXPECT_EQ(platform.listedIds.count(open.id), 1u) << "process " << open.id << " was never listed";
            EXPECT_EQ(open.access, 0x0410u) << "process " << open.id;
            EXPECT_EQ(open.inherit, FALSE) << "process " << open.id;
        }
        for (DWORD bytes : platform.moduleListSizes) {
            EXPECT_EQ(bytes, sizeof(HMODULE)) << "EnumProcessModules is given room for one handle";
        }
        for (const fake::KeyOpen& open : platform.keyOpens) {
            EXPECT_TRUE(fake::SameRegistryName(open.subKey, kSettingsKey)) << open.subKey;
            EXPECT_EQ(open.options, 0u);
            EXPECT_EQ(open.access, static_cast<REGSAM>(KEY_QUERY_VALUE)) << "only query rights";
        }
        for (const std::string& name : platform.valueQueries) {
            EXPECT_TRUE(fake::SameRegistryName(name, "InstallPath")) << name;
        }
    }
};

template <typename Case>
class PlatformTableTest : public PlatformTest, public ::testing::WithParamInterface<Case> {};

// Names each table row after its case.
struct CaseName {
    template <typename Info>
    std::string operator()(const Info& info) const {
        return info.param.name;
    }
};
