#pragma once
// A folder of the test's own in the system's temporary folder, for key files; removed after
// each case.

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>

class KeyFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_folder = std::filesystem::temp_directory_path() /
                   ("g19-key-file-test-" + std::to_string(std::random_device{}()));
        std::filesystem::create_directories(m_folder);
    }

    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_folder, ignored);
    }

    const std::filesystem::path& folder() const { return m_folder; }

private:
    std::filesystem::path m_folder;
};
