// The engine log's file, opened where nobody but root and the process's own user can turn it
// to another file: the system calls behind the log's file sink.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class log_file {
  public:
    log_file() = default;
    ~log_file();
    log_file(const log_file&) = delete;
    log_file& operator=(const log_file&) = delete;

    // Opens `name` in `directory` for appending, creating it with mode 0600, never through a
    // link. Refused, with the reason in `why`: a directory that neither root nor the process's
    // user owns or that group or others may write, and anything at `name` but a regular file
    // of the process's user.
    bool open(const std::string& directory, const std::string& name, std::string* why);
    bool is_open() const { return handle_ != closed; }
    // The file's size now; 0 when it is closed.
    uint64_t size() const;
    // The whole of `data`, or false with the reason.
    bool write(const char* data, size_t size, std::string* why);
    void close();

  private:
    static constexpr intptr_t closed = -1;
    intptr_t handle_ = closed;
};

// Renames `from` to `to` in `directory`, replacing what `to` names (a link there is replaced,
// never followed).
bool log_file_rename(const std::string& directory, const std::string& from, const std::string& to,
                     std::string* why);

// Makes the system's log directory, mode 0700, where it is missing; only root does.
void log_directory_make(const std::string& directory);
