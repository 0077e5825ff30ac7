#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "system_journal.h"

namespace {

bool is_journal_stream(int fd) {
    // systemd names the stream it connects to the journal as "device:inode"; a value inherited
    // by a program whose output went elsewhere names another file.
    const char* stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0;
    unsigned long long inode = 0;
    struct stat st {};
    return stream != nullptr && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
           fstat(fd, &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

}  // namespace

bool stdout_is_system_journal() {
    return is_journal_stream(STDOUT_FILENO);
}

bool stderr_is_system_journal() {
    return is_journal_stream(STDERR_FILENO);
}
