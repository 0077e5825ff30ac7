#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine_log.h"
#include "executable_directory.h"
#include "forwarding.h"
#include "host_journal.h"
#include "route_backend.h"
#include "wide_text_win.h"

namespace {

// Beside the host program, as its log is: "<program folder>\quarnel-journal".
const char DEFAULT_DIR_NAME[] = "quarnel-journal";
// Only the system, administrators and the folder's owner may touch it.
const char DIR_SECURITY[] = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;OW)";

struct journal_file {
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::string path;
};

// Empty where the program's folder cannot be told: never the current directory.
std::string journal_dir() {
    // The process's environment, not the C runtime's copy of it taken at start-up.
    wchar_t dir[MAX_PATH] = {};
    const DWORD n =
        GetEnvironmentVariableW(wide_from_utf8(JOURNAL_DIR_VARIABLE).c_str(), dir, MAX_PATH);
    const bool absolute =
        n > 2 && n < MAX_PATH &&
        ((dir[1] == L':' && dir[2] == L'\\') || (dir[0] == L'\\' && dir[1] == L'\\'));
    if (absolute) {
        return utf8_from_wide(dir);
    }
    const std::string program = executable_directory();
    return program.empty() ? program : program + "\\" + DEFAULT_DIR_NAME;
}

std::string machine_text(const char* key_path, const char* value) {
    HKEY key = nullptr;
    // The native key also from a 32-bit process, whose own view lacks MachineGuid.
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, KEY_READ | KEY_WOW64_64KEY, &key) !=
        ERROR_SUCCESS) {
        return std::string();
    }
    char text[256] = {};
    DWORD len = sizeof(text) - 1;
    DWORD type = 0;
    const LONG rc =
        RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(text), &len);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS && type == REG_SZ ? std::string(text) : std::string();
}

bool is_trusted_owner(PSID owner) {
    if (IsWellKnownSid(owner, WinLocalSystemSid) ||
        IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) {
        return true;
    }
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    std::vector<BYTE> buffer(256);
    DWORD len = 0;
    bool same = false;
    if (GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()),
                            &len)) {
        same = EqualSid(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, owner) != FALSE;
    }
    CloseHandle(token);
    return same;
}

// A real folder (no link) owned by the system, administrators or this process's user.
bool trusted_dir(const std::string& dir) {
    const DWORD attributes = GetFileAttributesW(wide_path(dir).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return false;
    }
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(wide_path(dir).c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                              &owner, nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    const bool trusted = owner != nullptr && is_trusted_owner(owner);
    LocalFree(descriptor);
    return trusted;
}

// 0, or the error that keeps the folder from being used.
int open_dir(bool create) {
    const std::string dir = journal_dir();
    if (dir.empty()) {
        return ERROR_PATH_NOT_FOUND;
    }
    if (create) {
        SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
                DIR_SECURITY, SDDL_REVISION_1, &security.lpSecurityDescriptor, nullptr)) {
            return static_cast<int>(GetLastError());
        }
        const BOOL made = CreateDirectoryW(wide_path(dir).c_str(), &security);
        const DWORD error = GetLastError();
        LocalFree(security.lpSecurityDescriptor);
        if (!made && error != ERROR_ALREADY_EXISTS) {
            return static_cast<int>(error);
        }
    } else if (GetFileAttributesW(wide_path(dir).c_str()) == INVALID_FILE_ATTRIBUTES) {
        return ERROR_FILE_NOT_FOUND;
    }
    return trusted_dir(dir) ? 0 : ERROR_ACCESS_DENIED;
}

int write_all(HANDLE handle, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        DWORD n = 0;
        if (!WriteFile(handle, text.data() + done, static_cast<DWORD>(text.size() - done), &n,
                       nullptr)) {
            return static_cast<int>(GetLastError());
        }
        done += n;
    }
    return 0;
}

bool lock_whole(HANDLE handle, DWORD flags) {
    OVERLAPPED from_start{};
    return LockFileEx(handle, flags, 0, MAXDWORD, MAXDWORD, &from_start) != FALSE;
}

std::string unique_part() {
    std::random_device random;
    return std::to_string(GetCurrentProcessId()) + "-" + std::to_string(random()) +
           std::to_string(GetTickCount64());
}

std::string read_text(HANDLE handle, DWORD size) {
    std::string text(size, '\0');
    DWORD done = 0;
    while (done < size) {
        DWORD n = 0;
        if (!ReadFile(handle, &text[done], size - done, &n, nullptr) || n == 0) {
            break;
        }
        done += n;
    }
    text.resize(done);
    return text;
}

std::vector<std::string> journal_names(const std::string& dir) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW entry{};
    const HANDLE find = FindFirstFileW(wide_path(dir + "\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        names.push_back(utf8_from_wide(entry.cFileName));
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return names;
}

}  // namespace

host_identity current_host_identity() {
    // A session's changes either end with a restart (routes: deleting one that is gone does
    // nothing) or outlive it (the routing service's start type, an interface's metric), so a
    // journal is put back whatever happened since: no boot identity.
    return host_identity{
        "any-boot", machine_text("SOFTWARE\\Microsoft\\Cryptography", "MachineGuid"),
        machine_text("SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName",
                     "ComputerName")};
}

int undo_host_change(const host_change& change) {
    switch (change.kind) {
        case host_change_kind::route:
            return route_delete(change.route);
        case host_change_kind::forwarding:
            return restore_forwarding(change.before, change.after);
        case host_change_kind::interface_metric: {
            int error = 0;
            if (interface_metric_set(change.metric_before, &error)) {
                return 0;
            }
            return error == ERROR_NOT_FOUND || error == ERROR_FILE_NOT_FOUND ? 0 : error;
        }
        case host_change_kind::resolver_file:
        case host_change_kind::resolver_registration:
        case host_change_kind::resolver_link:
        case host_change_kind::resolver_global:
            return 0;  // never made here: the DNS servers go with the adapter
        case host_change_kind::route6:
            return 0;  // never made here: route6_possible is false on this system
    }
    return ERROR_INVALID_DATA;
}

void* journal_store_create(const std::string& header, int* error) {
    *error = open_dir(true);
    if (*error != 0) {
        return nullptr;
    }
    auto file = std::make_unique<journal_file>();
    const std::string dir = journal_dir();
    const std::string unique = unique_part();
    const std::string temp = dir + "\\" + JOURNAL_TEMP_PREFIX + unique;
    file->path = dir + "\\" + JOURNAL_PREFIX + unique + JOURNAL_SUFFIX;
    // Written and locked under a name no replay takes, then renamed: a journal a replay can
    // see is always held by its live process or left by an ended one.
    file->handle = CreateFileW(wide_path(temp).c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file->handle == INVALID_HANDLE_VALUE) {
        *error = static_cast<int>(GetLastError());
        return nullptr;
    }
    *error =
        lock_whole(file->handle, LOCKFILE_EXCLUSIVE_LOCK) ? 0 : static_cast<int>(GetLastError());
    if (*error == 0) {
        *error = write_all(file->handle, header);
    }
    if (*error == 0 && !FlushFileBuffers(file->handle)) {
        *error = static_cast<int>(GetLastError());
    }
    if (*error == 0 && !MoveFileExW(wide_path(temp).c_str(), wide_path(file->path).c_str(),
                                    MOVEFILE_WRITE_THROUGH)) {
        *error = static_cast<int>(GetLastError());
    }
    if (*error != 0) {
        DeleteFileW(wide_path(temp).c_str());
        CloseHandle(file->handle);
        return nullptr;
    }
    return file.release();
}

int journal_store_append(void* store, const std::string& lines, bool durable) {
    auto* file = static_cast<journal_file*>(store);
    LARGE_INTEGER end{};
    if (!SetFilePointerEx(file->handle, end, nullptr, FILE_END)) {
        return static_cast<int>(GetLastError());
    }
    int error = write_all(file->handle, lines);
    if (error == 0 && durable && !FlushFileBuffers(file->handle)) {
        error = static_cast<int>(GetLastError());
    }
    return error;
}

void journal_store_close(void* store, bool remove) {
    std::unique_ptr<journal_file> file(static_cast<journal_file*>(store));
    if (remove) {
        // Still locked: no replay can take the records of a finished session for a dead one's.
        DeleteFileW(wide_path(file->path).c_str());
    }
    CloseHandle(file->handle);
}

int journal_store_for_each_orphan(
    const std::function<bool(const std::string& text, std::string* settled)>& handle) {
    const int dir_error = open_dir(false);
    if (dir_error != 0) {
        return dir_error == ERROR_FILE_NOT_FOUND ? 0 : dir_error;  // none ever kept here
    }
    const std::string dir = journal_dir();
    int result = 0;
    for (const std::string& name : journal_names(dir)) {
        const journal_entry entry = journal_entry_of(name);
        if (entry == journal_entry::other) {
            continue;
        }
        const bool temp = entry == journal_entry::unnamed;
        const std::string path = dir + "\\" + name;
        // Appending only: what a replay put back is marked settled at the end.
        const HANDLE file =
            CreateFileW(wide_path(path).c_str(), GENERIC_READ | FILE_APPEND_DATA,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            continue;
        }
        BY_HANDLE_FILE_INFORMATION info{};
        // Held by its live process, or not a plain file of sensible size: not ours.
        const bool ours = lock_whole(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY) &&
                          GetFileInformationByHandle(file, &info) &&
                          (info.dwFileAttributes &
                           (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
        if (ours && (info.nFileSizeHigh != 0 || info.nFileSizeLow > MAX_JOURNAL_SIZE)) {
            // No session writes one this large: kept for whoever looks into it.
            QN_ERROR("host journal {} holds more than the {} bytes a replay reads: left alone",
                     name, MAX_JOURNAL_SIZE);
            result = ERROR_FILE_TOO_LARGE;
            CloseHandle(file);
            continue;
        }
        std::string settled;
        // A temporary journal's process ended before it could record anything.
        if (ours && (temp || handle(read_text(file, info.nFileSizeLow), &settled))) {
            DeleteFileW(wide_path(path).c_str());
        } else if (ours && !settled.empty()) {
            int error = write_all(file, settled);
            if (error == 0 && !FlushFileBuffers(file)) {
                error = static_cast<int>(GetLastError());
            }
            // Unsettled, a put-back change could be taken for one a later session made again.
            result = error != 0 ? error : result;
        }
        CloseHandle(file);
    }
    return result;
}
