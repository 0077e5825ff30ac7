// Small helpers shared by the tests.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

namespace test_support {

// A fresh directory under the system's temporary directory, removed with its content.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

std::string read_file(const std::filesystem::path& path);

// Polls until the predicate holds or the time-out passes; returns the last result.
bool wait_until(const std::function<bool()>& predicate,
                std::chrono::milliseconds timeout = std::chrono::seconds(5));

}  // namespace test_support
