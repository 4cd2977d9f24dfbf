#include "Dds.h"

namespace tavix_bridge {

namespace {
constexpr int32_t kPublicationDepth = 10;
constexpr int32_t kSubscriptionDepth = 1;
// How long a reliable write may wait for room: never reached with KEEP_LAST history, and short.
constexpr dds_duration_t kMaxBlocking = DDS_MSECS(10);
}  // namespace

std::string DdsTopicName(const std::string& ros_name) { return "rt" + ros_name; }

Stamp ToStamp(int64_t nanoseconds) {
    Stamp stamp;
    int64_t sec = nanoseconds / 1000000000;
    int64_t nsec = nanoseconds % 1000000000;
    if (nsec < 0) {
        nsec += 1000000000;
        sec -= 1;
    }
    stamp.sec = static_cast<int32_t>(sec);
    stamp.nanosec = static_cast<uint32_t>(nsec);
    return stamp;
}

Participant::Participant(int domain) {
    participant = dds_create_participant(static_cast<dds_domainid_t>(domain), nullptr, nullptr);
    if (participant < 0) {
        const dds_return_t code = participant;
        participant = 0;
        Fail("cannot join DDS domain " + std::to_string(domain), code);
    }
}

Participant::~Participant() {
    if (participant > 0) dds_delete(participant);
}

void Participant::Fail(const std::string& what, dds_return_t code) {
    if (error.empty()) error = what + ": " + dds_strretcode(code);
}

dds_entity_t Participant::Topic(const std::string& ros_name, const dds_topic_descriptor_t* descriptor) {
    const dds_entity_t topic = dds_create_topic(participant, descriptor, DdsTopicName(ros_name).c_str(), nullptr, nullptr);
    if (topic < 0) {
        Fail("cannot create topic " + DdsTopicName(ros_name), topic);
        return 0;
    }
    return topic;
}

dds_entity_t Participant::Writer(const std::string& ros_name, const char* ros_type,
                                 const dds_topic_descriptor_t* descriptor) {
    if (!Ok()) return 0;
    const dds_entity_t topic = Topic(ros_name, descriptor);
    if (topic == 0) return 0;
    dds_qos_t* qos = dds_create_qos();
    dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, kMaxBlocking);
    dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, kPublicationDepth);
    dds_qset_durability(qos, DDS_DURABILITY_VOLATILE);
    const dds_entity_t writer = dds_create_writer(participant, topic, qos, nullptr);
    dds_delete_qos(qos);
    if (writer < 0) {
        Fail("cannot create a writer of " + DdsTopicName(ros_name), writer);
        return 0;
    }
    served.push_back({ros_name, ros_type});
    return writer;
}

dds_entity_t Participant::Reader(const std::string& ros_name, const char* ros_type,
                                 const dds_topic_descriptor_t* descriptor, bool serve) {
    if (!Ok()) return 0;
    const dds_entity_t topic = Topic(ros_name, descriptor);
    if (topic == 0) return 0;
    dds_qos_t* qos = dds_create_qos();
    dds_qset_reliability(qos, DDS_RELIABILITY_BEST_EFFORT, 0);
    dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, kSubscriptionDepth);
    dds_qset_durability(qos, DDS_DURABILITY_VOLATILE);
    const dds_entity_t reader = dds_create_reader(participant, topic, qos, nullptr);
    dds_delete_qos(qos);
    if (reader < 0) {
        Fail("cannot create a reader of " + DdsTopicName(ros_name), reader);
        return 0;
    }
    if (serve) served.push_back({ros_name, ros_type});
    return reader;
}

}  // namespace tavix_bridge
