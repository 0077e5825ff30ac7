#include "log_file_sink.h"

#include <utility>

namespace {

// "quarnel.log" keeps its one backup as "quarnel.1.log".
std::string backup_name(const std::string& name) {
    const size_t dot = name.find_last_of('.');
    if (dot == std::string::npos || dot == 0) {
        return name + ".1";
    }
    return name.substr(0, dot) + ".1" + name.substr(dot);
}

}  // namespace

std::shared_ptr<log_file_sink> log_file_sink::open(const std::string& path, uint64_t max_size,
                                                   std::string* why) {
    const size_t slash = path.find_last_of("/\\");
    std::string directory = slash == std::string::npos ? "." : path.substr(0, slash);
    if (slash == 0) {
        directory = "/";
    }
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::shared_ptr<log_file_sink> sink(new log_file_sink(directory, name, max_size));
    if (!sink->file_.open(directory, name, why)) {
        return nullptr;
    }
    sink->size_ = sink->file_.size();
    return sink;
}

log_file_sink::log_file_sink(std::string directory, std::string name, uint64_t max_size)
    : directory_(std::move(directory)),
      name_(std::move(name)),
      backup_(backup_name(name_)),
      max_size_(max_size) {}

void log_file_sink::sink_it_(const spdlog::details::log_msg& msg) {
    spdlog::memory_buf_t line;
    formatter_->format(msg, line);
    // A file that a failed rotation left closed is tried again with every line.
    if (!file_.is_open()) {
        reopen();
    }
    bool rotated = true;
    std::string rotation_error;
    if (size_ + line.size() > max_size_ && file_.size() > 0) {
        file_.close();
        rotated = log_file_rename(directory_, name_, backup_, &rotation_error);
        reopen();
    }
    std::string why;
    if (!file_.write(line.data(), line.size(), &why)) {
        throw spdlog::spdlog_ex("Cannot write log file " + path() + ": " + why);
    }
    size_ += line.size();
    // The line is in the file all the same, which grows on until a rotation succeeds.
    if (!rotated) {
        throw spdlog::spdlog_ex("Cannot rotate log file " + path() + ": " + rotation_error);
    }
}

void log_file_sink::reopen() {
    std::string why;
    if (!file_.open(directory_, name_, &why)) {
        throw spdlog::spdlog_ex("Cannot open log file " + path() + ": " + why);
    }
    size_ = file_.size();
}

std::string log_file_sink::path() const {
    return directory_ + "/" + name_;
}
