// The key file on POSIX: the user's alone, 0600 in a 0700 folder, and a link planted at its
// place is replaced by a file of the user's own, never written through.

#include "bridge/key_file.h"
#include "key_file_fixture.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

std::string contents(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The mode bits of `path` itself, not of what a link there points to; -1 when it is not there.
int modeOf(const fs::path& path)
{
    struct stat status {};
    return lstat(path.c_str(), &status) == 0 ? static_cast<int>(status.st_mode & 07777) : -1;
}

TEST_F(KeyFileTest, IsTheUsersAloneAndReplacesALinkPlantedAtItsPlace)
{
    const fs::path own = folder() / "kestro-g19";
    const fs::path key = own / "remote-apps.key";
    std::string error;
    ASSERT_TRUE(bridge::storeKey(key.string(), "first-key", error)) << error;
    EXPECT_EQ(modeOf(own), 0700);
    EXPECT_EQ(modeOf(key), 0600);

    // Another program planted a link to a file of its choosing where the key goes.
    const fs::path elsewhere = folder() / "elsewhere";
    std::ofstream(elsewhere) << "not a key\n";
    fs::remove(key);
    fs::create_symlink(elsewhere, key);
    ASSERT_TRUE(bridge::storeKey(key.string(), "second-key", error)) << error;
    EXPECT_EQ(contents(elsewhere), "not a key\n") << "the key was written through the link";
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(key))) << "the link is still there";
    EXPECT_EQ(modeOf(key), 0600);
    struct stat status {};
    ASSERT_EQ(lstat(key.c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, geteuid());
    EXPECT_EQ(bridge::readKey(key.string()), "second-key");
}

}  // namespace
