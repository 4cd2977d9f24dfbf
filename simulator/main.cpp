// tavix-devsim: simulated arms and handles on pseudo-terminals, for tests, examples and
// benchmarks without hardware. See Options.cpp for the command line.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "ArmPhysics.h"
#include "Options.h"
#include "Simulator.h"

using namespace tavix_devsim;

namespace {

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + '"';
}

std::string JsonList(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + JsonString(items[i]);
    return out + "]";
}

void Announce(const Simulator& simulator, bool json) {
    if (json) {
        const Workspace& space = ArmPhysics::Space();
        std::printf("{\"arms\": %s, \"handles\": %s, \"pid\": %ld, "
                    "\"workspace\": {\"center\": [%.9g, %.9g, %.9g], \"radius\": %.9g}}\n",
                    JsonList(simulator.ArmPaths()).c_str(), JsonList(simulator.HandlePaths()).c_str(),
                    static_cast<long>(getpid()), space.center[0], space.center[1], space.center[2], space.radius);
    } else {
        for (const auto& path : simulator.ArmPaths()) std::printf("arm %s\n", path.c_str());
        for (const auto& path : simulator.HandlePaths()) std::printf("handle %s\n", path.c_str());
    }
    std::fflush(stdout);
}

// Returns on SIGINT or SIGTERM, or (when `parent` is not 0) once the parent has gone.
void WaitForStop(const sigset_t& stop_signals, pid_t parent) {
    const timespec parent_check{0, 200 * 1000 * 1000};
    for (;;) {
        const int signal = sigtimedwait(&stop_signals, nullptr, parent == 0 ? nullptr : &parent_check);
        if (signal == SIGINT || signal == SIGTERM) return;
        if (parent != 0 && getppid() != parent) return;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const CommandLine command_line = ParseCommandLine(argc, argv);
    if (command_line.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (!command_line.error.empty()) {
        std::fprintf(stderr, "tavix-devsim: %s (see --help)\n", command_line.error.c_str());
        return 2;
    }
    const Options& options = command_line.options;
    const pid_t parent = options.exit_with_parent ? getppid() : 0;

    // Blocked before any thread starts, so that only sigtimedwait below ever takes them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    try {
        Simulator simulator(options);
        simulator.Start();
        Announce(simulator, options.json);
        WaitForStop(stop_signals, parent);
        simulator.Stop();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tavix-devsim: %s\n", error.what());
        return 1;
    }
    return 0;
}
