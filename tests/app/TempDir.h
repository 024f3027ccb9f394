// A folder of one test's own, removed with everything in it when the test ends.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace larkpost {

class TTempDir {
public:
    TTempDir() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "." + info->name();
        for (char& c : name)
            if (c == '/') c = '_';
        m_path = std::filesystem::temp_directory_path() /
                 ("larkpost-app-" + name + "-" + std::to_string(::getpid()));
        std::filesystem::remove_all(m_path);
        std::filesystem::create_directories(m_path);
    }
    ~TTempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    // The folder with a trailing "/", as ExeDir is held.
    std::string Dir() const { return m_path.string() + "/"; }
    std::string File(const std::string& name) const { return Dir() + name; }

    void Write(const std::string& name, const std::string& bytes) const {
        std::ofstream(File(name), std::ios::binary) << bytes;
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(File(name), std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }

private:
    std::filesystem::path m_path;
};

}  // namespace larkpost
