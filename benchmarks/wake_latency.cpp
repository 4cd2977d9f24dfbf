// The platform's floor under the servo loop's pacing: how late a thread wakes from an absolute
// clock_nanosleep on the monotonic clock, at a fixed period, with the scheduling the loop's
// options ask for. No loop paced by sleeping can keep its ticks closer than this without
// waiting actively for longer than the overshoot.
//
// Usage: tavix-wake-latency PERIOD_US TICKS [PRIORITY [CPU]]
// Prints one line: "granted ...; wake-up overshoot us: p50 .. p99 .. p99.9 .. max .."
#include <sched.h>
#include <sys/mman.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

int64_t Nanoseconds(const timespec& t) { return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec; }

timespec Timespec(int64_t ns) { return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)}; }

// Applies what can be applied; says what was granted.
std::string Schedule(int priority, int cpu) {
    std::string granted;
    if (priority > 0) {
        sched_param param{};
        param.sched_priority = priority;
        granted += sched_setscheduler(0, SCHED_FIFO, &param) == 0 ? "priority " + std::to_string(priority) : "priority refused";
    } else {
        granted += "normal priority";
    }
    if (cpu >= 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(cpu, &set);
        granted += sched_setaffinity(0, sizeof set, &set) == 0 ? ", cpu " + std::to_string(cpu) : ", cpu refused";
    }
    if (priority > 0) granted += mlockall(MCL_CURRENT | MCL_FUTURE) == 0 ? ", memory locked" : ", memory lock refused";
    return granted;
}

double Quantile(const std::vector<int64_t>& sorted, double q) {
    return static_cast<double>(sorted[static_cast<size_t>(q * static_cast<double>(sorted.size() - 1))]) / 1e3;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: tavix-wake-latency PERIOD_US TICKS [PRIORITY [CPU]]\n");
        return 2;
    }
    const int64_t period = std::atoll(argv[1]) * 1000;
    const long ticks = std::atol(argv[2]);
    const int priority = argc > 3 ? std::atoi(argv[3]) : 0;
    const int cpu = argc > 4 ? std::atoi(argv[4]) : -1;
    if (period <= 0 || ticks <= 0) {
        std::fprintf(stderr, "tavix-wake-latency: PERIOD_US and TICKS must be positive\n");
        return 2;
    }
    const std::string granted = Schedule(priority, cpu);
    std::vector<int64_t> overshoot(static_cast<size_t>(ticks));
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t due = Nanoseconds(now);
    for (auto& late : overshoot) {
        due += period;
        const timespec when = Timespec(due);
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr);
        clock_gettime(CLOCK_MONOTONIC, &now);
        late = Nanoseconds(now) - due;
    }
    std::sort(overshoot.begin(), overshoot.end());
    std::printf("%s; wake-up overshoot us: p50 %.1f, p99 %.1f, p99.9 %.1f, max %.1f\n", granted.c_str(),
                Quantile(overshoot, 0.5), Quantile(overshoot, 0.99), Quantile(overshoot, 0.999),
                static_cast<double>(overshoot.back()) / 1e3);
    return 0;
}
