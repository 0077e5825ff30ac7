// Writes a few lines through the engine log and prints the file it wrote.
#include <fstream>
#include <iostream>
#include <thread>

#include "engine_log.h"

int main() {
    engine_log::setup();
    QN_INFO("log demo started, pid {}", 0);
    QN_WARN("a warning with a number: {}", 42);
    QN_ERROR("an error line: {}.", "example");
    QN_DEBUG("a debug line, shown only when SPDLOG_LEVEL asks for it");
    spdlog::shutdown();  // drains the asynchronous queue before the file is read

    const std::string path = engine_log::log_file_path();
    std::cout << "== " << path << " ==\n";
    std::ifstream in(path);
    std::cout << in.rdbuf();
    return 0;
}
