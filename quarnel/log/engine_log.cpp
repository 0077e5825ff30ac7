#include "engine_log.h"

#include <spdlog/async.h>
#include <spdlog/cfg/helpers.h>
#include <spdlog/sinks/stdout_color_sinks.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "executable_directory.h"
#include "log_file.h"
#include "log_file_sink.h"
#include "log_place.h"
#include "system_journal.h"

namespace engine_log {

namespace {
constexpr const char* logger_name = "mervik_qn_logger";
constexpr const char* pattern = "[%l]  [%Y-%m-%d %H:%M:%S %e]  [%s : Line: %#]  [Function: %!]  %v";
constexpr const char* file_name = "quarnel.log";
constexpr uint64_t max_file_size = 524288;
constexpr size_t queue_size = 8192;
constexpr size_t env_level_max = 127;
}  // namespace

std::atomic<int> g_active_level{spdlog::level::info};

std::string log_file_path() {
    const std::string directory = log_place_for(executable_directory()).directory;
    return directory.empty() ? std::string() : directory + "/" + file_name;
}

void setup() {
    if (stdout_is_system_journal()) {
        setup_with_file(std::string());
        return;
    }
    const log_place place = log_place_for(executable_directory());
    if (place.system_directory) {
        log_directory_make(place.directory);
    }
    setup_with_file(log_file_path());
}

void setup_with_file(const std::string& path) {
    try {
        auto console = std::make_shared<spdlog::sinks::stdout_color_sink_mt>();
        console->set_level(spdlog::level::debug);
        std::vector<spdlog::sink_ptr> sinks{console};

        // A place that may not be used must not end the host program: the console only.
        std::string file_error;
        if (!path.empty()) {
            if (auto file = log_file_sink::open(path, max_file_size, &file_error)) {
                file->set_level(spdlog::level::debug);
                sinks.push_back(file);
            }
        }

        spdlog::init_thread_pool(queue_size, 1);
        auto logger = std::make_shared<spdlog::async_logger>(logger_name, sinks.begin(),
                                                             sinks.end(), spdlog::thread_pool(),
                                                             spdlog::async_overflow_policy::block);
        logger->set_level(spdlog::level::info);
        spdlog::set_default_logger(logger);
        spdlog::set_pattern(pattern, spdlog::pattern_time_type::local);
        spdlog::flush_on(spdlog::level::debug);

        if (const char* env = std::getenv("SPDLOG_LEVEL"); env != nullptr && *env != '\0') {
            spdlog::cfg::helpers::load_levels(std::string(env).substr(0, env_level_max));
        }
        g_active_level.store(logger->level(), std::memory_order_relaxed);

        if (!file_error.empty()) {
            QN_ERROR("Cannot open log file {}: {}", path, file_error);
        }
    } catch (const std::exception& e) {
        // Logging is never a reason to fail a session; keep whatever logger there was.
        std::fprintf(stderr, "quarnel: log set-up failed: %s\n", e.what());
    }
}

void setup_if_missing() {
    if (spdlog::get(logger_name) == nullptr) {
        setup();
    }
}

void release_worker() {
    try {
        const auto async =
            std::dynamic_pointer_cast<spdlog::async_logger>(spdlog::default_logger());
        if (!async) {
            return;
        }
        auto direct = std::make_shared<spdlog::logger>(logger_name, async->sinks().begin(),
                                                       async->sinks().end());
        direct->set_level(async->level());
        direct->flush_on(spdlog::level::debug);
        spdlog::set_default_logger(direct);
        async->flush();
        // The registry's is the last reference: the pool ends its worker and joins it.
        spdlog::details::registry::instance().set_tp(nullptr);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quarnel: log worker not released: %s\n", e.what());
    }
}

void abandon_worker_at_exit() {
    // Deliberately leaked: one reference that outlives the registry's.
    new std::shared_ptr<spdlog::details::thread_pool>(spdlog::thread_pool());
}

}  // namespace engine_log
