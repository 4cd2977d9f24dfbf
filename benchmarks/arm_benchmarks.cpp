// Micro-benchmarks of the arm's control loop on the host side: the kinematics arithmetic
// and one framed force exchange over a memory-backed stream, so that only the library's
// own cost is measured (no kernel, no device). Each exchange also reports the heap
// allocations it made, which must be zero.
#include <benchmark/benchmark.h>

#include "MemoryStream.h"
#include "allocation_count.h"
#include "TavixHardwareAPI/ArmModel.h"
#include "TavixHardwareAPI/Osmira.h"

namespace {

using Tavix::HardwareAPI::ArmModel;
using Tavix::HardwareAPI::ForwardKinematics;
using Tavix::HardwareAPI::Devices::Osmira;
using Tavix::HardwareAPI::Devices::Vector3;
using tavix_test::MemoryStream;

// A few poses around the workspace, so that no branch or result is constant.
constexpr Vector3 kPoses[] = {{0, 0, 0}, {12, -7, 33}, {-40, 25, 10}, {80, 5, -20}};
constexpr size_t kPoseCount = sizeof kPoses / sizeof kPoses[0];

void ForwardKinematicsArithmetic(benchmark::State& state) {
    ArmModel::Instance().ResetForNewArm();
    const auto model = ArmModel::Instance().Snapshot();
    size_t i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(ForwardKinematics(model, kPoses[i++ % kPoseCount]));
}
BENCHMARK(ForwardKinematicsArithmetic);

// What ComputeEndEffectorPosition adds to the arithmetic: one locked snapshot of the model.
void SnapshotAndForwardKinematics(benchmark::State& state) {
    ArmModel::Instance().ResetForNewArm();
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ForwardKinematics(ArmModel::Instance().Snapshot(), kPoses[i++ % kPoseCount]));
    }
}
BENCHMARK(SnapshotAndForwardKinematics);

// SendForce + ReceiveState: 13 bytes out, header and 24 bytes in.
void ForceExchangeOverMemory(benchmark::State& state) {
    MemoryStream stream;
    stream.record = false;
    const uint8_t reply[25] = {0x2B};
    stream.Feed(reply, sizeof reply);
    Osmira arm(stream, 1.0f);
    Vector3 position{}, velocity{};
    const size_t before = AllocationCount();
    for (auto _ : state) {
        stream.Rewind();
        arm.SendForce({0.5f, -0.25f, 0.125f});
        benchmark::DoNotOptimize(arm.ReceiveState(position, velocity));
    }
    state.counters["allocs/exchange"] =
        benchmark::Counter(static_cast<double>(AllocationCount() - before), benchmark::Counter::kAvgIterations);
    if (stream.write_calls != static_cast<size_t>(state.iterations())) state.SkipWithError("not one write per frame");
}
BENCHMARK(ForceExchangeOverMemory);

}  // namespace

BENCHMARK_MAIN();
