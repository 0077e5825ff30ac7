// A thread starts without an alternate signal stack; one that overflows its stack without one
// is killed before any handler can run, leaving no dump.
#include <signal.h>
#include <sys/mman.h>

#include <cstddef>

#include "crash_dump.h"

namespace {

// The unwinder and backtrace_symbols_fd need a few pages; untouched pages cost nothing.
constexpr size_t kSignalStackBytes = 256 * 1024;

class ThreadSignalStack {
  public:
    ThreadSignalStack() {
        stack_t current{};
        // A stack set up by someone else (a sanitizer's runtime) stays theirs.
        if (sigaltstack(nullptr, &current) != 0 || !(current.ss_flags & SS_DISABLE)) {
            return;
        }
        void* memory = mmap(nullptr, kSignalStackBytes, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        if (memory == MAP_FAILED) {
            return;
        }
        stack_t stack{};
        stack.ss_sp = memory;
        stack.ss_size = kSignalStackBytes;
        if (sigaltstack(&stack, nullptr) != 0) {
            munmap(memory, kSignalStackBytes);
            return;
        }
        m_memory = memory;
    }
    ~ThreadSignalStack() {
        if (m_memory == nullptr) {
            return;
        }
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
        munmap(m_memory, kSignalStackBytes);
    }
    ThreadSignalStack(const ThreadSignalStack&) = delete;
    ThreadSignalStack& operator=(const ThreadSignalStack&) = delete;

  private:
    void* m_memory = nullptr;
};

}  // namespace

void ensureThreadSignalStack() {
    thread_local ThreadSignalStack stack;
}
