// Whole writes to a file descriptor, for the Linux backends.
#pragma once

#include <string>

// Writes all of data, resuming after signals: 0 or the errno of the failed write.
int write_all(int fd, const std::string& data);
