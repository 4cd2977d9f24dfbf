#include "Options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace tavix_bridge {

namespace {

const char kUsage[] =
    "usage: tavix-bridge PORT [--name NAME] [--domain ID] [--rate HZ] [--max-force F]\n"
    "                    [--command-timeout S] [--handle HPORT] [--follow OTHER]\n"
    "                    [--coupling-stiffness K] [--coupling-damping B]\n"
    "\n"
    "Drives the Osmira arm on PORT with a servo loop and serves it as ROS 2 topics over DDS.\n"
    "\n"
    "  --name NAME                the topics' namespace (default arm; letters, digits, _)\n"
    "  --domain ID                the DDS domain (default: ROS_DOMAIN_ID, else 0)\n"
    "  --rate HZ                  state publications per second (default 500)\n"
    "  --max-force F              the largest force commanded, N (default 1.0)\n"
    "  --command-timeout S        a command older than this fades out, s (default 0.1)\n"
    "  --handle HPORT             also serve the handle on HPORT\n"
    "  --follow OTHER             couple this arm to /OTHER/pose with a spring-damper\n"
    "  --coupling-stiffness K     N/m (default 200)\n"
    "  --coupling-damping B       N s/m (default 2)\n"
    "\n"
    "The DDS configuration comes from the environment (CYCLONEDDS_URI).\n";

bool ParseNumber(const std::string& text, double& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return *end == '\0' && errno == 0 && std::isfinite(value);
}

bool ParseDomain(const std::string& text, int& value) {
    if (text.empty() || text.size() > 4) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    value = std::atoi(text.c_str());
    return value <= kMaxDomain;
}

ParseResult Bad(std::string message) {
    ParseResult result;
    result.status = 2;
    result.message = "tavix-bridge: " + std::move(message);
    return result;
}

// True for a non-empty name of letters, digits and underscores.
bool ValidName(const std::string& name) {
    if (name.empty()) return false;
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok) return false;
    }
    return true;
}

}  // namespace

ParseResult ParseOptions(int argc, const char* const* argv, const char* ros_domain_id) {
    ParseResult result;
    Options& o = result.options;
    bool domain_given = false;
    bool port_given = false;
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "--help" || word == "-h") {
            result.status = 0;
            result.output = kUsage;
            return result;
        }
        if (word.size() < 2 || word.compare(0, 2, "--") != 0) {
            if (port_given) return Bad("unexpected argument '" + word + "' (one PORT only)");
            o.port = word;
            port_given = true;
            continue;
        }
        std::string value;
        const size_t equals = word.find('=');
        if (equals != std::string::npos) {
            value = word.substr(equals + 1);
            word.resize(equals);
        }
        static const char* const kKnown[] = {"--name", "--domain", "--rate", "--max-force", "--command-timeout",
                                             "--handle", "--follow", "--coupling-stiffness", "--coupling-damping"};
        bool known = false;
        for (const char* k : kKnown) known = known || word == k;
        if (!known) return Bad("unknown option " + word);
        if (equals == std::string::npos) {
            if (i + 1 >= argc) return Bad(word + " needs a value");
            value = argv[++i];
        }
        double number = 0.0;
        if (word == "--name" || word == "--follow") {
            if (!ValidName(value))
                return Bad(word + ": '" + value + "' is not a name (letters, digits and _ only)");
            (word == "--name" ? o.name : o.follow) = value;
        } else if (word == "--domain") {
            if (!ParseDomain(value, o.domain))
                return Bad("--domain: '" + value + "' is not a domain id (0 to " + std::to_string(kMaxDomain) + ")");
            domain_given = true;
        } else if (word == "--handle") {
            if (value.empty()) return Bad("--handle needs a port");
            o.handle_port = value;
        } else if (!ParseNumber(value, number)) {
            return Bad(word + ": '" + value + "' is not a finite number");
        } else if (word == "--rate") {
            if (number <= 0.0 || number > kMaxRate)
                return Bad("--rate: " + value + " is outside (0, " + std::to_string(int(kMaxRate)) + "] Hz");
            o.rate_hz = number;
        } else if (word == "--max-force") {
            if (number <= 0.0) return Bad("--max-force: " + value + " is not positive");
            o.max_force = number;
        } else if (word == "--command-timeout") {
            if (number <= 0.0) return Bad("--command-timeout: " + value + " is not positive");
            o.command_timeout = number;
        } else if (word == "--coupling-stiffness") {
            if (number < 0.0) return Bad("--coupling-stiffness: " + value + " is negative");
            o.coupling_stiffness = number;
        } else {  // --coupling-damping
            if (number < 0.0) return Bad("--coupling-damping: " + value + " is negative");
            o.coupling_damping = number;
        }
    }
    if (!port_given) return Bad("no PORT given (usage: tavix-bridge PORT [options]; --help lists them)");
    if (!domain_given && ros_domain_id != nullptr && *ros_domain_id != '\0' && !ParseDomain(ros_domain_id, o.domain))
        return Bad(std::string("ROS_DOMAIN_ID '") + ros_domain_id + "' is not a domain id (0 to " +
                   std::to_string(kMaxDomain) + ")");
    return result;
}

}  // namespace tavix_bridge
