// The engine log's file: lines appended to one file which, past a size, becomes the one backup
// while a new file starts; every file opened by log_file, never through a link.
#pragma once

#include <spdlog/sinks/base_sink.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "log_file.h"

class log_file_sink final : public spdlog::sinks::base_sink<std::mutex> {
  public:
    // Null with the reason in `why` when the file at `path` may not be opened.
    static std::shared_ptr<log_file_sink> open(const std::string& path, uint64_t max_size,
                                               std::string* why);

  protected:
    void sink_it_(const spdlog::details::log_msg& msg) override;
    // Every line goes to the file as it comes: nothing is kept back.
    void flush_() override {}

  private:
    log_file_sink(std::string directory, std::string name, uint64_t max_size);
    // Opens the file again, as it was first opened; throws when that is refused.
    void reopen();
    std::string path() const;

    const std::string directory_;
    const std::string name_;
    const std::string backup_;
    const uint64_t max_size_;
    uint64_t size_ = 0;
    log_file file_;
};
