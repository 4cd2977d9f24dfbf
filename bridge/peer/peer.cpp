// tavix-bridge-peer: the far side of tavix-bridge for tests and the bench. It reads the
// bridge's topics and prints every sample as one JSON line, or publishes force commands and
// prints when each was published. Times are CLOCK_REALTIME in nanoseconds, the clock the
// bridge stamps its samples with, so a sample's stamp and its receive time compare directly.
#include <dds/dds.h>
#include <signal.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "ros_messages.h"

namespace {

const char* const kUsage =
    "usage: tavix-bridge-peer echo TOPIC... [--domain D] [--seconds S] [--count N]\n"
    "       tavix-bridge-peer force NAME --force X Y Z [--step X Y Z] [--rate HZ] [--seconds S]\n"
    "                         [--count N] [--domain D]\n"
    "echo: one JSON line per sample of each ROS topic (e.g. /arm/pose, /arm/joint_states,\n"
    "  /diagnostics), typed by the name's last part (pose, twist, wrench, force_command,\n"
    "  joint_states, diagnostics), until S seconds or N samples in all.\n"
    "force: once /NAME/force_command has a subscriber (waited for at most S seconds, or 10),\n"
    "  publishes X Y Z newtons (plus STEP more each sample) at HZ (default 500) for S seconds\n"
    "  or N samples, printing each sample's stamp; a zero force is published last.\n"
    "The domain is D, else $ROS_DOMAIN_ID, else 0. Exit status: 0 done, 1 failed, 2 usage.\n";

constexpr int64_t kSecond = 1000000000;
constexpr double kMatchWaitSeconds = 10.0;  // for a subscriber, when no --seconds bounds it
constexpr dds_duration_t kStopCheck = DDS_MSECS(50);  // how soon a stop signal is noticed

volatile sig_atomic_t stop_requested = 0;

void RequestStop(int) { stop_requested = 1; }

int64_t Now(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return int64_t{t.tv_sec} * kSecond + t.tv_nsec;
}

// --- Command line -------------------------------------------------------------------------

struct Options {
    std::string mode;
    std::vector<std::string> names;  // topics (echo) or the bridge's name (force)
    uint32_t domain = 0;
    double seconds = -1;  // < 0: no limit
    long count = -1;      // < 0: no limit
    double rate = 500;
    double force[3] = {0, 0, 0};
    double step[3] = {0, 0, 0};
    bool has_force = false;
};

bool ParseDouble(const char* text, double& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text, &end);
    return *text != '\0' && *end == '\0' && errno == 0;
}

bool ParseCount(const char* text, long& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text, &end, 10);
    return *text != '\0' && *end == '\0' && errno == 0 && value >= 0;
}

uint32_t DefaultDomain() {
    const char* text = std::getenv("ROS_DOMAIN_ID");
    long domain = 0;
    return text && ParseCount(text, domain) && domain < 233 ? static_cast<uint32_t>(domain) : 0;
}

// Reads the values of option argv[i] into `values`; returns an error or "".
std::string TakeValues(int argc, char** argv, int& i, double* values, int n) {
    const std::string name = argv[i];
    for (int k = 0; k < n; ++k) {
        if (++i >= argc) return name + " needs " + std::to_string(n) + " value(s)";
        if (!ParseDouble(argv[i], values[k])) return name + ": '" + argv[i] + "' is not a number";
    }
    return {};
}

std::string ParseOption(int argc, char** argv, int& i, Options& o) {
    const std::string name = argv[i];
    // --force takes nan and inf too, to show that the bridge refuses them.
    if (name == "--force") return o.has_force = true, TakeValues(argc, argv, i, o.force, 3);
    if (name == "--step") return TakeValues(argc, argv, i, o.step, 3);
    if (name == "--seconds") {
        std::string error = TakeValues(argc, argv, i, &o.seconds, 1);
        return error.empty() && !(o.seconds >= 0 && o.seconds < 1e6) ? "--seconds must be from 0 to 1e6" : error;
    }
    if (name == "--rate") {
        std::string error = TakeValues(argc, argv, i, &o.rate, 1);
        return error.empty() && !(o.rate > 0 && o.rate <= 100000) ? "--rate must be in (0, 100000]" : error;
    }
    if (name == "--count" || name == "--domain") {
        long value = 0;
        if (++i >= argc || !ParseCount(argv[i], value)) return name + " needs a whole number";
        if (name == "--count") o.count = value;
        else if (value > 232) return "--domain must be from 0 to 232";
        else o.domain = static_cast<uint32_t>(value);
        return {};
    }
    if (name.rfind("--", 0) == 0) return "unknown option '" + name + "'";
    o.names.push_back(name);
    return {};
}

std::string ParseCommandLine(int argc, char** argv, Options& o) {
    if (argc < 2) return "no subcommand";
    o.mode = argv[1];
    if (o.mode != "echo" && o.mode != "force") return "unknown subcommand '" + o.mode + "'";
    o.domain = DefaultDomain();
    for (int i = 2; i < argc; ++i)
        if (std::string error = ParseOption(argc, argv, i, o); !error.empty()) return error;
    if (o.mode == "echo" && o.names.empty()) return "echo needs at least one topic";
    if (o.mode == "force" && (o.names.size() != 1 || !o.has_force)) return "force needs one NAME and --force X Y Z";
    return {};
}

// --- JSON ---------------------------------------------------------------------------------

// Builds one JSON object; commas come by themselves.
class Json {
public:
    Json() { Begin('{'); }
    void Key(const char* key) {
        if (!first) text += ", ";
        first = false;
        Quoted(key);
        text += ": ";
        after_key = true;
    }
    void Begin(char bracket) {
        BeforeValue();
        text += bracket;
        first = true;
    }
    void End(char bracket) {
        text += bracket;
        first = false;
    }
    void Number(double value) {
        BeforeValue();
        char buffer[32];
        // JSON has no words for these; Python's json module reads them as written here.
        if (std::isnan(value)) text += "NaN";
        else if (std::isinf(value)) text += value > 0 ? "Infinity" : "-Infinity";
        else text.append(buffer, static_cast<size_t>(std::snprintf(buffer, sizeof buffer, "%.17g", value)));
    }
    void Integer(int64_t value) {
        BeforeValue();
        text += std::to_string(value);
    }
    void String(const char* value) {
        BeforeValue();
        Quoted(value);
    }
    void Numbers(const double* values, size_t n) {
        Begin('[');
        for (size_t i = 0; i < n; ++i) Number(values[i]);
        End(']');
    }
    // Prints the object as one line.
    void Print() {
        End('}');
        text += '\n';
        std::fputs(text.c_str(), stdout);
    }

private:
    void BeforeValue() {
        if (!after_key && !first) text += ", ";
        after_key = first = false;
    }
    void Quoted(const char* value) {
        text += '"';
        for (const char* c = value ? value : ""; *c; ++c) {
            if (static_cast<unsigned char>(*c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(*c));
                text += escaped;
                continue;
            }
            if (*c == '"' || *c == '\\') text += '\\';
            text += *c;
        }
        text += '"';
    }

    std::string text;
    bool first = true;
    bool after_key = false;
};

void Vector(Json& json, const char* key, const geometry_msgs_msg_dds__Vector3_& v) {
    const double values[3] = {v.x, v.y, v.z};
    json.Key(key);
    json.Numbers(values, 3);
}

void Header(Json& json, const std_msgs_msg_dds__Header_& header) {
    json.Key("stamp_ns");
    json.Integer(int64_t{header.stamp.sec} * kSecond + header.stamp.nanosec);
    json.Key("frame_id");
    json.String(header.frame_id);
}

void PrintPose(Json& json, const void* sample) {
    const auto& m = *static_cast<const geometry_msgs_msg_dds__PoseStamped_*>(sample);
    Header(json, m.header);
    const double position[3] = {m.pose.position.x, m.pose.position.y, m.pose.position.z};
    const auto& q = m.pose.orientation;
    const double orientation[4] = {q.x, q.y, q.z, q.w};
    json.Key("position");
    json.Numbers(position, 3);
    json.Key("orientation");
    json.Numbers(orientation, 4);
}

void PrintTwist(Json& json, const void* sample) {
    const auto& m = *static_cast<const geometry_msgs_msg_dds__TwistStamped_*>(sample);
    Header(json, m.header);
    Vector(json, "linear", m.twist.linear);
    Vector(json, "angular", m.twist.angular);
}

void PrintWrench(Json& json, const void* sample) {
    const auto& m = *static_cast<const geometry_msgs_msg_dds__WrenchStamped_*>(sample);
    Header(json, m.header);
    Vector(json, "force", m.wrench.force);
    Vector(json, "torque", m.wrench.torque);
}

void PrintJointState(Json& json, const void* sample) {
    const auto& m = *static_cast<const sensor_msgs_msg_dds__JointState_*>(sample);
    Header(json, m.header);
    json.Key("name");
    json.Begin('[');
    for (uint32_t i = 0; i < m.name._length; ++i) json.String(m.name._buffer[i]);
    json.End(']');
    json.Key("position");
    json.Numbers(m.position._buffer, m.position._length);
    json.Key("velocity");
    json.Numbers(m.velocity._buffer, m.velocity._length);
    json.Key("effort");
    json.Numbers(m.effort._buffer, m.effort._length);
}

void PrintDiagnostics(Json& json, const void* sample) {
    const auto& m = *static_cast<const diagnostic_msgs_msg_dds__DiagnosticArray_*>(sample);
    Header(json, m.header);
    json.Key("status");
    json.Begin('[');
    for (uint32_t i = 0; i < m.status._length; ++i) {
        const auto& status = m.status._buffer[i];
        json.Begin('{');
        json.Key("level");
        json.Integer(status.level);
        json.Key("name");
        json.String(status.name);
        json.Key("message");
        json.String(status.message);
        json.Key("hardware_id");
        json.String(status.hardware_id);
        json.Key("values");
        json.Begin('{');
        for (uint32_t k = 0; k < status.values._length; ++k) {
            json.Key(status.values._buffer[k].key);
            json.String(status.values._buffer[k].value);
        }
        json.End('}');
        json.End('}');
    }
    json.End(']');
}

// --- Topics -------------------------------------------------------------------------------

struct Kind {
    const char* suffix;  // the ROS topic name's last part
    const dds_topic_descriptor_t* type;
    void (*print)(Json&, const void*);
    // The bridge publishes its topics reliably; commands are published best effort, and a
    // reliable reader would not match such a writer.
    bool reliable;
};

const Kind kKinds[] = {
    {"pose", &geometry_msgs_msg_dds__PoseStamped__desc, PrintPose, true},
    {"twist", &geometry_msgs_msg_dds__TwistStamped__desc, PrintTwist, true},
    {"wrench", &geometry_msgs_msg_dds__WrenchStamped__desc, PrintWrench, true},
    {"force_command", &geometry_msgs_msg_dds__WrenchStamped__desc, PrintWrench, false},
    {"joint_states", &sensor_msgs_msg_dds__JointState__desc, PrintJointState, true},
    {"diagnostics", &diagnostic_msgs_msg_dds__DiagnosticArray__desc, PrintDiagnostics, true},
};

const Kind* KindOf(const std::string& ros_name) {
    const std::string suffix = ros_name.substr(ros_name.rfind('/') + 1);
    for (const Kind& kind : kKinds)
        if (suffix == kind.suffix) return &kind;
    return nullptr;
}

// ROS 2 puts its topics under "rt": /arm/pose is the DDS topic rt/arm/pose.
std::string DdsName(const std::string& ros_name) { return "rt" + (ros_name[0] == '/' ? ros_name : "/" + ros_name); }

bool Failed(dds_return_t rc, const std::string& what) {
    if (rc >= 0) return false;
    std::fprintf(stderr, "tavix-bridge-peer: %s: %s\n", what.c_str(), dds_strretcode(rc));
    return true;
}

// A deadline in CLOCK_MONOTONIC ns, or INT64_MAX for none.
int64_t DeadlineAfter(double seconds) {
    return seconds < 0 ? INT64_MAX : Now(CLOCK_MONOTONIC) + static_cast<int64_t>(seconds * 1e9);
}

// How long to wait before looking at the deadline and the stop signal again.
dds_duration_t WaitSlice(int64_t deadline) {
    const int64_t left = deadline - Now(CLOCK_MONOTONIC);
    return left < kStopCheck ? (left > 0 ? left : 0) : kStopCheck;
}

// --- echo ---------------------------------------------------------------------------------

struct Reader {
    std::string topic;  // DDS name
    const Kind* kind;
    dds_entity_t reader;
};

// Takes what `reader` holds and prints it; returns the number of samples printed.
long TakeAndPrint(const Reader& reader) {
    constexpr size_t kBatch = 32;
    long printed = 0;
    for (;;) {
        void* samples[kBatch] = {};
        dds_sample_info_t infos[kBatch];
        const dds_return_t n = dds_take(reader.reader, samples, infos, kBatch, kBatch);
        const int64_t received = Now(CLOCK_REALTIME);
        if (n <= 0) return printed;
        for (dds_return_t i = 0; i < n; ++i) {
            if (!infos[i].valid_data) continue;
            Json json;
            json.Key("topic");
            json.String(reader.topic.c_str());
            json.Key("recv_ns");
            json.Integer(received);
            reader.kind->print(json, samples[i]);
            json.Print();
            ++printed;
        }
        dds_return_loan(reader.reader, samples, n);
    }
}

// A reader of `name` whose read condition is attached to `waitset` as `index`; an error or "".
std::string OpenReader(dds_entity_t participant, dds_entity_t waitset, const std::string& name, size_t index,
                       Reader& reader) {
    reader = {DdsName(name), KindOf(name), 0};
    if (!reader.kind) return "no message type known for '" + name + "'";
    const dds_entity_t topic = dds_create_topic(participant, reader.kind->type, reader.topic.c_str(), nullptr, nullptr);
    if (topic < 0) return "topic " + reader.topic + ": " + dds_strretcode(topic);
    // The bridge publishes KEEP_LAST 10; a deeper history here keeps every sample while this
    // process prints.
    dds_qos_t* qos = dds_create_qos();
    if (reader.kind->reliable) dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_MSECS(100));
    else dds_qset_reliability(qos, DDS_RELIABILITY_BEST_EFFORT, 0);
    dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 100);
    dds_qset_durability(qos, DDS_DURABILITY_VOLATILE);
    reader.reader = dds_create_reader(participant, topic, qos, nullptr);
    dds_delete_qos(qos);
    if (reader.reader < 0) return "reader of " + reader.topic + ": " + dds_strretcode(reader.reader);
    const dds_entity_t condition = dds_create_readcondition(reader.reader, DDS_ANY_STATE);
    const dds_return_t attached = dds_waitset_attach(waitset, condition, static_cast<dds_attach_t>(index));
    return attached < 0 ? std::string("waitset: ") + dds_strretcode(attached) : std::string();
}

int Echo(dds_entity_t participant, const Options& o) {
    const dds_entity_t waitset = dds_create_waitset(participant);
    std::vector<Reader> readers(o.names.size());
    for (size_t i = 0; i < readers.size(); ++i) {
        if (const std::string error = OpenReader(participant, waitset, o.names[i], i, readers[i]); !error.empty()) {
            std::fprintf(stderr, "tavix-bridge-peer: %s\n", error.c_str());
            return 1;
        }
    }
    const int64_t deadline = DeadlineAfter(o.seconds);
    long printed = 0;
    std::vector<dds_attach_t> ready(readers.size());
    while (!stop_requested && Now(CLOCK_MONOTONIC) < deadline && (o.count < 0 || printed < o.count)) {
        const dds_return_t n = dds_waitset_wait(waitset, ready.data(), ready.size(), WaitSlice(deadline));
        for (dds_return_t i = 0; i < n; ++i) printed += TakeAndPrint(readers[static_cast<size_t>(ready[i])]);
        std::fflush(stdout);
    }
    return 0;
}

// --- force --------------------------------------------------------------------------------

// Waits until the writer has a subscriber, at most until `deadline`.
bool WaitForSubscriber(dds_entity_t participant, dds_entity_t writer, int64_t deadline) {
    const dds_entity_t waitset = dds_create_waitset(participant);
    dds_set_status_mask(writer, DDS_PUBLICATION_MATCHED_STATUS);
    dds_waitset_attach(waitset, writer, 0);
    dds_publication_matched_status_t matched{};
    while (!stop_requested && dds_get_publication_matched_status(writer, &matched) >= 0 && matched.current_count == 0 &&
           Now(CLOCK_MONOTONIC) < deadline)
        dds_waitset_wait(waitset, nullptr, 0, WaitSlice(deadline));
    dds_delete(waitset);
    return matched.current_count > 0;
}

// Publishes `force` stamped now, and prints the stamp.
void PublishForce(dds_entity_t writer, const std::string& topic, const std::string& name, const double force[3]) {
    geometry_msgs_msg_dds__WrenchStamped_ sample{};
    const int64_t stamp = Now(CLOCK_REALTIME);
    sample.header.stamp.sec = static_cast<int32_t>(stamp / kSecond);
    sample.header.stamp.nanosec = static_cast<uint32_t>(stamp % kSecond);
    sample.header.frame_id = const_cast<char*>(name.c_str());  // only read by dds_write
    sample.wrench.force = {force[0], force[1], force[2]};
    if (Failed(dds_write(writer, &sample), "write")) return;
    Json json;
    json.Key("topic");
    json.String(topic.c_str());
    json.Key("stamp_ns");
    json.Integer(stamp);
    json.Key("force");
    json.Numbers(force, 3);
    json.Print();
    std::fflush(stdout);
}

void SleepUntil(int64_t monotonic_ns) {
    const timespec wake{static_cast<time_t>(monotonic_ns / kSecond), static_cast<long>(monotonic_ns % kSecond)};
    while (!stop_requested && clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
    }
}

int Force(dds_entity_t participant, const Options& o) {
    const std::string& name = o.names[0];
    const std::string topic_name = DdsName("/" + name + "/force_command");
    const dds_entity_t topic = dds_create_topic(participant, &geometry_msgs_msg_dds__WrenchStamped__desc,
                                                topic_name.c_str(), nullptr, nullptr);
    if (Failed(topic, "topic " + topic_name)) return 1;
    // Best effort, as the bridge reads commands: a late command is worth nothing.
    dds_qos_t* qos = dds_create_qos();
    dds_qset_reliability(qos, DDS_RELIABILITY_BEST_EFFORT, 0);
    dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 1);
    const dds_entity_t writer = dds_create_writer(participant, topic, qos, nullptr);
    dds_delete_qos(qos);
    if (Failed(writer, "writer of " + topic_name)) return 1;

    const int64_t deadline = DeadlineAfter(o.seconds);
    if (!WaitForSubscriber(participant, writer, o.seconds < 0 ? DeadlineAfter(kMatchWaitSeconds) : deadline)) {
        std::fprintf(stderr, "tavix-bridge-peer: nobody subscribes to %s\n", topic_name.c_str());
        return 1;
    }
    const auto period = static_cast<int64_t>(1e9 / o.rate);
    int64_t due = Now(CLOCK_MONOTONIC);
    for (long i = 0; !stop_requested && (o.count < 0 || i < o.count) && due < deadline; ++i) {
        const double d = static_cast<double>(i);
        const double force[3] = {o.force[0] + d * o.step[0], o.force[1] + d * o.step[1], o.force[2] + d * o.step[2]};
        PublishForce(writer, topic_name, name, force);
        due += period;
        SleepUntil(due);
    }
    // Whoever commands a force takes it back to zero.
    const double zero[3] = {0, 0, 0};
    PublishForce(writer, topic_name, name, zero);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    Options options;
    if (const std::string error = ParseCommandLine(argc, argv, options); !error.empty()) {
        std::fprintf(stderr, "tavix-bridge-peer: %s (see --help)\n", error.c_str());
        return 2;
    }
    struct sigaction action {};
    action.sa_handler = RequestStop;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    const dds_entity_t participant = dds_create_participant(options.domain, nullptr, nullptr);
    if (Failed(participant, "participant on domain " + std::to_string(options.domain))) return 1;
    const int status = options.mode == "echo" ? Echo(participant, options) : Force(participant, options);
    dds_delete(participant);
    return status;
}
