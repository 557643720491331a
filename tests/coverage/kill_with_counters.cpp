// Coverage build only, linked into the test programs with -Wl,--wrap=kill: before SIGKILL
// reaches the simulated-board daemon, the daemon is asked to write its coverage counters
// (SIGUSR2, see daemon_counters.cpp) and given up to two seconds to say it has. Every other
// kill goes through as it is.
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

extern "C" int __real_kill(pid_t pid, int number);

namespace {

bool isSimulatedDaemon(pid_t pid) {
    char target[4096];
    std::string link = "/proc/" + std::to_string(pid) + "/exe";
    ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0) return false;
    std::string path(target, static_cast<std::size_t>(length));
    return path.ends_with("/update_process_sim");
}

}  // namespace

extern "C" int __wrap_kill(pid_t pid, int number) {
    if (number == SIGKILL && pid > 0 && isSimulatedDaemon(pid) && __real_kill(pid, SIGUSR2) == 0) {
        std::string mark = "/sim/state/gcov/written." + std::to_string(pid);
        struct stat info {};
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (stat(mark.c_str(), &info) != 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        unlink(mark.c_str());
    }
    return __real_kill(pid, number);
}
