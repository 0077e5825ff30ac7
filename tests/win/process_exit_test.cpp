// A process that ends while a session is still open ends with its own exit code.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "quarnel_defaults.h"
#include "session_registry.h"

namespace {

const char CHILD[] = "QN_EXIT_WITH_SESSION";

TEST(ProcessExit, ASessionStillOpenIsLeftToTheProcess) {
    if (GetEnvironmentVariableA(CHILD, nullptr, 0) != 0) {
        // The child: a session whose worker still runs, then the program's own exit.
        auto ctx = std::make_shared<qn_ctx_t>();
        ctx->threads[0] = std::make_shared<std::thread>([] { Sleep(INFINITE); });
        {
            std::lock_guard<std::mutex> lock(session_lock());
            session_map()[QUARNEL_DEVICE_NAME] = std::move(ctx);  // the map's alone
        }
        std::exit(7);
    }
    char self[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameA(nullptr, self, MAX_PATH), 0u);
    std::string command = std::string("\"") + self + "\" --gtest_filter=ProcessExit.*";
    SetEnvironmentVariableA(CHILD, "1");
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION child{};
    const BOOL started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                                        nullptr, &startup, &child);
    SetEnvironmentVariableA(CHILD, nullptr);
    ASSERT_TRUE(started) << GetLastError();
    EXPECT_EQ(WaitForSingleObject(child.hProcess, 60000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(child.hProcess, &code));
    EXPECT_EQ(code, 7u);  // std::terminate would end it with 3
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
}

}  // namespace
