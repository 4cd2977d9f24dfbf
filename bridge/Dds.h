// The DDS side of the bridge: one participant, ROS 2 topic names and QoS.
//
// A ROS 2 topic /a/b is the DDS topic rt/a/b; its type pkg/msg/Name is the IDL struct
// pkg::msg::dds_::Name_ (ros_messages.idl). Publications are RELIABLE, KEEP_LAST 10, VOLATILE,
// which every ROS 2 subscription matches (whatever its reliability and durability);
// subscriptions are BEST_EFFORT, KEEP_LAST 1, which every publication matches. A reliable
// writer with KEEP_LAST history replaces its oldest unacknowledged sample instead of waiting
// for a slow or vanished reader, so a write never waits on the network.
//
// The DDS configuration (interfaces, discovery) is the DDS library's own: CYCLONEDDS_URI.
#pragma once

#include <dds/dds.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tavix_bridge {

// A topic served, as its start line names it: "/arm/pose geometry_msgs/msg/PoseStamped".
struct Served {
    std::string ros_name;
    std::string ros_type;
};

class Participant {
public:
    // Joins `domain`; Ok() says whether it worked, Error() why not.
    explicit Participant(int domain);
    ~Participant();  // leaves the domain (every entity made here goes with it)
    Participant(const Participant&) = delete;
    Participant& operator=(const Participant&) = delete;

    bool Ok() const { return participant > 0 && error.empty(); }
    const std::string& Error() const { return error; }
    dds_entity_t Handle() const { return participant; }

    // A writer of `descriptor` on ROS topic `ros_name` (type `ros_type`, for the start line),
    // or 0 with Error() set.
    dds_entity_t Writer(const std::string& ros_name, const char* ros_type, const dds_topic_descriptor_t* descriptor);
    dds_entity_t Reader(const std::string& ros_name, const char* ros_type, const dds_topic_descriptor_t* descriptor,
                        bool served = true);
    const std::vector<Served>& Topics() const { return served; }

private:
    dds_entity_t Topic(const std::string& ros_name, const dds_topic_descriptor_t* descriptor);
    void Fail(const std::string& what, dds_return_t code);

    dds_entity_t participant = 0;
    std::string error;
    std::vector<Served> served;
};

// The DDS topic name of a ROS 2 topic name: "rt" + name.
std::string DdsTopicName(const std::string& ros_name);

// Nanoseconds since the epoch as a ROS stamp.
struct Stamp {
    int32_t sec = 0;
    uint32_t nanosec = 0;
};
Stamp ToStamp(int64_t nanoseconds);

}  // namespace tavix_bridge
