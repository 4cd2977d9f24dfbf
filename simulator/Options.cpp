#include "Options.h"

#include <charconv>
#include <cstdlib>
#include <string_view>

namespace tavix_devsim {

const char* const kUsage =
    "usage: tavix-devsim [options]\n"
    "Simulated Osmira arms and Handles, one pseudo-terminal each. Prints one line per device\n"
    "(\"arm <path>\" or \"handle <path>\"), or one JSON document with --json, then serves\n"
    "until SIGINT or SIGTERM.\n"
    "  --arm N                   simulated arms (default 1)\n"
    "  --handle N                simulated handles (default 1)\n"
    "  --device-id ID            device id of the first arm and of the first handle; the next\n"
    "                            ones count up (default 1)\n"
    "  --notify-hz HZ            notification frames per second from every device (default 0)\n"
    "  --status-hz HZ            framed status messages per second from every handle\n"
    "                            (default 100; 0 turns the stream off)\n"
    "  --arm-faults [I:]LIST     faults of every arm, or of arm I (counted from 0); repeatable\n"
    "  --handle-faults [I:]LIST  faults of every handle, or of handle I; repeatable\n"
    "                            LIST: comma-separated drop=N, delay=MS, garbage=N, flood=N,\n"
    "                            drip=MS, hangup=N\n"
    "  --spin                    wait for requests without sleeping (lowest latency; keeps one\n"
    "                            processor busy per device)\n"
    "  --json                    print {\"arms\": [...], \"handles\": [...], \"pid\": N,\n"
    "                            \"workspace\": {\"center\": [x, y, z], \"radius\": r}}\n"
    "  --trace FILE              write one line per force frame an arm receives: CLOCK_REALTIME\n"
    "                            ns, arm index (from 0), force received, position and velocity\n"
    "                            answered (buffered; complete once stopped by SIGINT or SIGTERM)\n"
    "  --exit-with-parent        also stop when the process that started the simulator ends\n"
    "  -h, --help                show this text\n";

namespace {

struct FaultRequest {
    bool for_arms;
    long index;  // -1: every device of the kind
    std::string list;
};

bool ParseUnsigned(std::string_view text, unsigned long max, unsigned long& value) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && ec == std::errc() && end == text.data() + text.size() && value <= max;
}

bool ParseRate(const std::string& text, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    // Slower than one message in 100 seconds is off in all but name (and its period would
    // not fit the clock's range), so the smallest rate other than 0 is 0.01.
    return !text.empty() && end == text.c_str() + text.size() && (value == 0 || (value >= 0.01 && value <= 100000));
}

FaultRequest SplitFaultTarget(bool for_arms, const std::string& text) {
    const size_t colon = text.find(':');
    unsigned long index = 0;
    if (colon != std::string::npos && ParseUnsigned(std::string_view(text).substr(0, colon), kMaxDevicesPerKind, index))
        return {for_arms, static_cast<long>(index), text.substr(colon + 1)};
    return {for_arms, -1, text};
}

std::string ApplyFaults(const FaultRequest& request, Options& options) {
    auto& plans = request.for_arms ? options.arm_faults : options.handle_faults;
    const char* kind = request.for_arms ? "arm" : "handle";
    if (request.index >= static_cast<long>(plans.size()))
        return std::string("no ") + kind + " " + std::to_string(request.index) + " to give faults to";
    for (size_t i = 0; i < plans.size(); ++i) {
        if (request.index >= 0 && static_cast<size_t>(request.index) != i) continue;
        if (std::string error = ParseFaultList(request.list, plans[i]); !error.empty())
            return std::string("--") + kind + "-faults: " + error;
    }
    return {};
}

std::string Finish(Options& options, const std::vector<FaultRequest>& faults) {
    if (options.arms + options.handles == 0) return "nothing to simulate: --arm and --handle are both 0";
    if (unsigned{options.device_id} + std::max(options.arms, options.handles) - 1 > 0xFFFF)
        return "--device-id: the device ids would run past 65535";
    options.arm_faults.assign(options.arms, FaultPlan{});
    options.handle_faults.assign(options.handles, FaultPlan{});
    for (const FaultRequest& request : faults)
        if (std::string error = ApplyFaults(request, options); !error.empty()) return error;
    return {};
}

}  // namespace

CommandLine ParseCommandLine(int argc, const char* const* argv) {
    CommandLine result;
    Options& o = result.options;
    std::vector<FaultRequest> faults;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        bool has_value = false;
        if (const size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
            has_value = true;
        }
        if (name == "-h") name = "--help";  // as every other command takes it
        const bool flag = name == "--json" || name == "--exit-with-parent" || name == "--spin" || name == "--help";
        if (flag) {
            if (has_value) return result.error = name + " takes no value", result;
            if (name == "--json") o.json = true;
            else if (name == "--exit-with-parent") o.exit_with_parent = true;
            else if (name == "--spin") o.spin = true;
            else result.help = true;
            continue;
        }
        const bool takes_value = name == "--arm" || name == "--handle" || name == "--device-id" ||
                                 name == "--notify-hz" || name == "--status-hz" || name == "--arm-faults" ||
                                 name == "--handle-faults" || name == "--trace";
        if (!takes_value) return result.error = "unknown option '" + name + "'", result;
        if (!has_value) {
            if (i + 1 >= argc) return result.error = name + " needs a value", result;
            value = argv[++i];
        }
        unsigned long number = 0;
        const std::string bad = name + ": '" + value + "' is not ";
        if (name == "--arm" || name == "--handle") {
            if (!ParseUnsigned(value, kMaxDevicesPerKind, number))
                return result.error = bad + "a count from 0 to " + std::to_string(kMaxDevicesPerKind), result;
            (name == "--arm" ? o.arms : o.handles) = static_cast<unsigned>(number);
        } else if (name == "--device-id") {
            if (!ParseUnsigned(value, 0xFFFF, number)) return result.error = bad + "an id from 0 to 65535", result;
            o.device_id = static_cast<uint16_t>(number);
        } else if (name == "--notify-hz" || name == "--status-hz") {
            double rate = 0;
            if (!ParseRate(value, rate)) return result.error = bad + "0 or a rate from 0.01 to 100000", result;
            (name == "--notify-hz" ? o.notify_hz : o.status_hz) = rate;
        } else if (name == "--trace") {
            if (value.empty()) return result.error = "--trace needs a file name", result;
            o.trace = value;
        } else {
            faults.push_back(SplitFaultTarget(name == "--arm-faults", value));
        }
    }
    result.error = Finish(o, faults);
    return result;
}

}  // namespace tavix_devsim
