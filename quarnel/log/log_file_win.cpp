// The program's folder is the log's place on Windows, as before: no ownership rule is checked
// there, but a link planted at a name is never followed.
#include <windows.h>

#include "log_file.h"
#include "wide_text_win.h"

namespace {

std::string system_error(DWORD code) {
    return "system error " + std::to_string(code);
}

std::wstring joined(const std::string& directory, const std::string& name) {
    return wide_path(directory + "\\" + name);
}

HANDLE as_handle(intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

log_file::~log_file() {
    close();
}

bool log_file::open(const std::string& directory, const std::string& name, std::string* why) {
    close();
    // FILE_FLAG_OPEN_REPARSE_POINT opens a link itself, which the check below then refuses.
    const HANDLE h =
        CreateFileW(joined(directory, name).c_str(), FILE_APPEND_DATA,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *why = system_error(GetLastError());
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        CloseHandle(h);
        *why = "it is not a regular file";
        return false;
    }
    handle_ = reinterpret_cast<intptr_t>(h);
    return true;
}

uint64_t log_file::size() const {
    LARGE_INTEGER size{};
    if (!is_open() || !GetFileSizeEx(as_handle(handle_), &size)) {
        return 0;
    }
    return static_cast<uint64_t>(size.QuadPart);
}

bool log_file::write(const char* data, size_t size, std::string* why) {
    while (size > 0) {
        DWORD written = 0;
        const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        if (!WriteFile(as_handle(handle_), data, chunk, &written, nullptr) || written == 0) {
            *why = system_error(GetLastError());
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

void log_file::close() {
    if (is_open()) {
        CloseHandle(as_handle(handle_));
        handle_ = closed;
    }
}

bool log_file_rename(const std::string& directory, const std::string& from, const std::string& to,
                     std::string* why) {
    if (!MoveFileExW(joined(directory, from).c_str(), joined(directory, to).c_str(),
                     MOVEFILE_REPLACE_EXISTING)) {
        *why = system_error(GetLastError());
        return false;
    }
    return true;
}

void log_directory_make(const std::string& directory) {
    CreateDirectoryW(wide_path(directory).c_str(), nullptr);
}
