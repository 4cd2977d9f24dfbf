// tavix-bridge: an Osmira arm as ROS 2 topics over DDS (see Bridge.h and Options.h).
#include <cstdio>
#include <cstdlib>

#include "Bridge.h"
#include "Options.h"

int main(int argc, char** argv) {
    const tavix_bridge::ParseResult parsed = tavix_bridge::ParseOptions(argc, argv, std::getenv("ROS_DOMAIN_ID"));
    if (parsed.status == 0) {
        std::fputs(parsed.output.c_str(), stdout);
        return 0;
    }
    if (parsed.status > 0) {
        std::fprintf(stderr, "%s\n", parsed.message.c_str());
        return parsed.status;
    }
    return tavix_bridge::RunBridge(parsed.options);
}
