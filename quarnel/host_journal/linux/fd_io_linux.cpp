#include "fd_io_linux.h"

#include <unistd.h>

#include <cerrno>

int write_all(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return errno;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}
