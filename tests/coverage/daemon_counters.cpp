// Coverage build only: the simulated-board daemon's coverage counters. The tests end the
// daemon with SIGKILL, which leaves no chance to write the counters at exit, and start it
// with PATH alone in its environment. So the daemon writes them under /sim/state/gcov, where
// the coverage runner collects them, whenever SIGUSR2 asks, and then marks them written; the
// tests' kill (kill_with_counters.cpp) asks before it kills. A thread of its own waits for
// the signal, with every signal blocked, so that the daemon's own signals reach it as ever.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

extern "C" void __gcov_dump();
extern "C" void __gcov_reset();

namespace {

constexpr const char* kCounterFolder = "/sim/state/gcov";

void* writeCountersOnRequest(void*) {
    sigset_t request;
    sigemptyset(&request);
    sigaddset(&request, SIGUSR2);
    for (;;) {
        int number = 0;
        if (sigwait(&request, &number) != 0) continue;
        __gcov_dump();
        __gcov_reset();
        char mark[64];
        std::snprintf(mark, sizeof mark, "%s/written.%d", kCounterFolder,
                      static_cast<int>(getpid()));
        int fd = open(mark, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) close(fd);
    }
    return nullptr;
}

struct CounterWriter {
    CounterWriter() {
        setenv("GCOV_PREFIX", kCounterFolder, 1);
        // SIGUSR2 stays blocked in every thread (the daemon keeps the mask it starts with
        // for its waits and its commands); the writer takes it with sigwait.
        sigset_t request;
        sigemptyset(&request);
        sigaddset(&request, SIGUSR2);
        pthread_sigmask(SIG_BLOCK, &request, nullptr);
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        pthread_t thread;
        if (pthread_create(&thread, nullptr, writeCountersOnRequest, nullptr) == 0)
            pthread_detach(thread);
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
};

const CounterWriter counterWriter;

}  // namespace
