// The key file on every system: a new key replaces the old one in one step, so that a reader
// never sees half a key, and a forgotten key is gone. The rights on it are POSIX's
// (key_file_posix_test.cpp); on Windows the user's profile folder keeps others out.

#include "bridge/key_file.h"
#include "key_file_fixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

TEST_F(KeyFileTest, ANewKeyReplacesTheOldInOneStepAndAForgottenOneIsGone)
{
    const fs::path key = folder() / "made" / "on the way" / "remote-apps.key";
    std::string error;
    ASSERT_TRUE(bridge::storeKey(key.string(), "first-key", error)) << error;
    EXPECT_EQ(bridge::readKey(key.string()), "first-key");

    // A reader that opened the old file keeps reading the old key: the new one is a file of
    // its own, renamed over the old, and nothing is written into the old file.
    const fs::path reader = folder() / "reader";
    fs::create_hard_link(key, reader);
    ASSERT_TRUE(bridge::storeKey(key.string(), "second-key", error)) << error;
    EXPECT_EQ(bridge::readKey(key.string()), "second-key");
    EXPECT_EQ(bridge::readKey(reader.string()), "first-key");
    EXPECT_FALSE(fs::exists(key.string() + ".new")) << "the file written beside it was left behind";

    EXPECT_TRUE(bridge::forgetKey(key.string()));
    EXPECT_FALSE(fs::exists(key));
    EXPECT_EQ(bridge::readKey(key.string()), "");
    EXPECT_TRUE(bridge::forgetKey(key.string())) << "a key that is not there is forgotten too";
}

}  // namespace
