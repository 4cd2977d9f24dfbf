// The command line of tavix-bridge:
//   tavix-bridge PORT [--name NAME] [--domain ID] [--rate HZ] [--max-force F]
//                [--command-timeout S] [--handle HPORT] [--follow OTHER]
//                [--coupling-stiffness K] [--coupling-damping B]
// Options take their value as the next word or after `=`. A bad command line gives one line
// ("tavix-bridge: ...") and status 2; --help prints the usage on standard output, status 0.
#pragma once

#include <string>

namespace tavix_bridge {

struct Options {
    std::string port;
    std::string name = "arm";       // letters, digits and _ only
    int domain = 0;                 // --domain, else ROS_DOMAIN_ID, else 0
    double rate_hz = 500.0;         // publications per second
    double max_force = 1.0;         // N: the largest force ever commanded
    double command_timeout = 0.1;   // s: a command (or a followed pose) older than this fades out
    std::string handle_port;        // empty: no handle
    std::string follow;             // empty: no coupling
    double coupling_stiffness = 200.0;  // N/m
    double coupling_damping = 2.0;      // N s/m
};

// The largest DDS domain id (the standard port mapping's range, as ROS 2 allows it).
constexpr int kMaxDomain = 232;
constexpr double kMaxRate = 10000.0;

struct ParseResult {
    Options options;
    int status = -1;       // -1: run; 0: help printed (text in `output`); 2: bad command line
    std::string message;   // the one line for standard error when status is 2 (no newline)
    std::string output;    // the help text when status is 0
};

// `ros_domain_id` is the environment's ROS_DOMAIN_ID (nullptr when unset).
ParseResult ParseOptions(int argc, const char* const* argv, const char* ros_domain_id);

}  // namespace tavix_bridge
