// SPDX-FileCopyrightText: 2026 The Orvello authors
// SPDX-License-Identifier: MIT
// What the program's own work costs per present device, with the platform
// replaced by the fake seam: CheckDevice over machines of 100 to 100,000
// devices, and the whole schedule with its pauses only recorded.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "fake/fake_platform.h"
#include "recovery/device_access.h"
#include "recovery/recovery.h"
#include "shell/shell.h"

namespace {

// Every operator new in the process, the program's and the fake's alike.
long long HeapAllocations = 0;

}  // namespace

void* operator new(std::size_t bytes)
{
    ++HeapAllocations;
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    if (block == nullptr) {
        std::abort();  // a benchmark that runs out of memory has nothing to report
    }
    return block;
}

void operator delete(void* block) noexcept
{
    std::free(block);
}

void operator delete(void* block, std::size_t /*bytes*/) noexcept
{
    std::free(block);
}

namespace {

enum class MatchAt { First, Last, Absent };

const char* const Target = TargetHardwareIds[0];
const std::u16string TargetId = u"USB\\VID_05E3&PID_0610&REV_6941";

std::u16string Widen(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

// A plausible present device that is not the target: a mix of bus types and
// ID lengths, some close to the target (same vendor, other revision), each
// with the two or three IDs a real node lists.
std::vector<BYTE> OtherDevice(std::size_t n)
{
    char first[96];
    char second[96];
    const unsigned v = static_cast<unsigned>(n);
    switch (n % 4) {
    case 0:
        std::snprintf(first, sizeof first, "USB\\VID_%04X&PID_%04X&REV_%04X", 0x046Du + v % 7, v & 0xFFFFu, v % 0x3000u);
        std::snprintf(second, sizeof second, "USB\\VID_%04X&PID_%04X", 0x046Du + v % 7, v & 0xFFFFu);
        break;
    case 1:
        std::snprintf(first, sizeof first, "PCI\\VEN_8086&DEV_%04X&SUBSYS_%08X&REV_%02X", v & 0xFFFFu, v * 2654435761u,
                      v % 256);
        std::snprintf(second, sizeof second, "PCI\\VEN_8086&DEV_%04X&SUBSYS_%08X", v & 0xFFFFu, v * 2654435761u);
        break;
    case 2:
        std::snprintf(first, sizeof first, "USB\\VID_05E3&PID_0610&REV_%04X", 0x1000u + v % 0x1000u);
        std::snprintf(second, sizeof second, "USB\\VID_05E3&PID_0610");
        break;
    default:
        std::snprintf(first, sizeof first, "ACPI\\PNP%04X", v & 0xFFFFu);
        std::snprintf(second, sizeof second, "*PNP%04X", v & 0xFFFFu);
        break;
    }
    return Fake::MultiSz({Widen(first), Widen(second), u"ROOT\\LEGACY"});
}

void MakeMachine(std::size_t devices, MatchAt match, ULONG targetStatus)
{
    Fake::Reset();
    Fake::Platform().recordCalls = false;
    Fake::Platform().devices.reserve(devices);
    for (std::size_t i = 0; i < devices; ++i) {
        const bool isTarget = (match == MatchAt::First && i == 0) || (match == MatchAt::Last && i == devices - 1);
        Fake::AddDevice(isTarget ? Fake::MultiSz({TargetId, u"USB\\VID_05E3&PID_0610"}) : OtherDevice(i),
                        isTarget ? targetStatus : Fake::HealthyStatus);
    }
}

// Heap allocations the fake itself makes for one buffer and for one
// snapshot (its own bookkeeping), so they can be told from the program's.
struct FakeOverhead {
    double perBuffer = 0;
    double perSnapshot = 0;
};

FakeOverhead MeasureFakeOverhead()
{
    Fake::Reset();
    Fake::Platform().recordCalls = false;
    // First calls create the fake's per-operation counters; leave them out.
    DeviceAccess::FreeBuffer(DeviceAccess::AllocBuffer(514));
    DeviceAccess::DestroyDeviceInfoList(DeviceAccess::GetPresentDevices());
    constexpr int Rounds = 1000;
    FakeOverhead overhead;
    long long before = HeapAllocations;
    for (int i = 0; i < Rounds; ++i) {
        DeviceAccess::FreeBuffer(DeviceAccess::AllocBuffer(514));
    }
    overhead.perBuffer = static_cast<double>(HeapAllocations - before) / Rounds;
    before = HeapAllocations;
    for (int i = 0; i < Rounds; ++i) {
        DeviceAccess::DestroyDeviceInfoList(DeviceAccess::GetPresentDevices());
    }
    overhead.perSnapshot = static_cast<double>(HeapAllocations - before) / Rounds;
    Fake::Reset();
    return overhead;
}

FakeOverhead TheFakeOverhead;

void CheckDeviceBench(benchmark::State& state, std::size_t devices, MatchAt match)
{
    MakeMachine(devices, match, Fake::HealthyStatus);
    TraceEnabled = 0;
    const std::string target = Target;
    const bool expected = match != MatchAt::Absent;
    if (CheckDevice(target) != expected) {
        state.SkipWithError("CheckDevice gave the wrong answer");
        return;
    }
    const Fake::State& fake = Fake::Platform();
    const int buffersBefore = fake.buffersAllocated;
    const int snapshotsBefore = fake.snapshotsTaken;
    const long long newsBefore = HeapAllocations;
    for (auto _ : state) {
        benchmark::DoNotOptimize(CheckDevice(target));
    }
    const double checks = static_cast<double>(state.iterations());
    const double buffers = fake.buffersAllocated - buffersBefore;
    const double snapshots = fake.snapshotsTaken - snapshotsBefore;
    const double news = static_cast<double>(HeapAllocations - newsBefore);
    const double programNews =
        news - buffers * TheFakeOverhead.perBuffer - snapshots * TheFakeOverhead.perSnapshot;
    const double members = match == MatchAt::First ? 1.0 : static_cast<double>(devices);
    const double walked = checks * members;

    state.counters["members"] = members;
    // Seconds per member examined (JSON: seconds; console: with SI prefix).
    state.counters["time_per_member"] =
        benchmark::Counter(members, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["buffers_per_member"] = buffers / walked;
    state.counters["news_per_member"] = news / walked;
    state.counters["program_news_per_member"] = programNews / walked;
    if (!Fake::Balanced() || !fake.violations.empty()) {
        state.SkipWithError("snapshots or buffers left behind");
    }
}

// Five passes over the twelve IDs on a machine of 300 devices, one of which
// matches and keeps its problem, so every pass cycles it. The fake's Pause
// only records, so this is the schedule's own work.
void ScheduleBench(benchmark::State& state)
{
    constexpr std::size_t Devices = 300;
    constexpr std::size_t Faulty = 150;
    Fake::Reset();
    Fake::Platform().devices.reserve(Devices);
    for (std::size_t i = 0; i < Devices; ++i) {
        if (i == Faulty) {
            Fake::AddDevice(Fake::MultiSz({TargetId}), Fake::HealthyStatus | DN_HAS_PROBLEM);
        } else {
            Fake::AddDevice(OtherDevice(i));
        }
    }
    TraceEnabled = 0;

    // One recorded run: the pauses the real program would sleep through.
    RunCheckSchedule();
    double pausedMs = 0;
    for (const std::string& call : Fake::Calls({Fake::Op::Pause})) {
        pausedMs += std::stod(call.substr(call.find(' ') + 1));
    }
    const double cycles = static_cast<double>(Fake::Calls({Fake::Op::Enable}).size());
    Fake::Platform().recordCalls = false;
    Fake::Platform().calls.clear();

    const int enumsBefore = Fake::Platform().counts[Fake::Op::Enum];
    for (auto _ : state) {
        RunCheckSchedule();
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["devices"] = static_cast<double>(Devices);
    state.counters["cycles"] = cycles;
    state.counters["virtual_pause_ms"] = pausedMs;
    state.counters["members_walked"] = (Fake::Platform().counts[Fake::Op::Enum] - enumsBefore) / runs;
    if (!Fake::Balanced() || !Fake::Platform().violations.empty()) {
        state.SkipWithError("snapshots or buffers left behind");
    }
}

}  // namespace

int main(int argc, char** argv)
{
    TheFakeOverhead = MeasureFakeOverhead();
    const struct {
        MatchAt at;
        const char* name;
    } positions[] = {{MatchAt::First, "first"}, {MatchAt::Last, "last"}, {MatchAt::Absent, "absent"}};
    for (const auto& position : positions) {
        for (const std::size_t devices : {100u, 1000u, 10000u, 100000u}) {
            const std::string name =
                "CheckDevice/match:" + std::string(position.name) + "/devices:" + std::to_string(devices);
            benchmark::RegisterBenchmark(name.c_str(), CheckDeviceBench, devices, position.at);
        }
    }
    benchmark::RegisterBenchmark("Schedule/devices:300/faulty:1", ScheduleBench)->Unit(benchmark::kMillisecond);
    benchmark::AddCustomContext("fake_news_per_buffer", std::to_string(TheFakeOverhead.perBuffer));
    benchmark::AddCustomContext("fake_news_per_snapshot", std::to_string(TheFakeOverhead.perSnapshot));

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
