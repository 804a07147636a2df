// Micro-benchmarks of the decoders that run on every health answer and on "copy phone link".
#include <cstddef>
#include <optional>
#include <string>

#include <benchmark/benchmark.h>

#include "health/health.h"
#include "menu/setup_info.h"

namespace {

// What the bridge server answers once a second.
const std::string kTypicalHealth =
    R"({"version":"0.1.0-standin","midiReady":true,"midiPort":"Tovra Virtual MIDI","pairedClients":2})";

// The four keys after enough unknown keys of mixed types to make a body of 64 KiB.
std::string largeHealth()
{
    constexpr std::size_t kTarget = 64 * 1024;
    const std::string tail =
        R"("version":"0.1.0-standin","midiReady":true,"midiPort":"Tovra Virtual MIDI","pairedClients":2})";
    std::string body = "{";
    for (int i = 0; body.size() + tail.size() < kTarget - 96; ++i) {
        body += "\"extra" + std::to_string(i) + "\":";
        switch (i % 4) {
        case 0:
            body += "\"a string value that the decoder has to skip over\",";
            break;
        case 1:
            body += std::to_string(1234567 * i) + ",";
            break;
        case 2:
            body += R"({"nested":[1,2.5,true,null,"x"]},)";
            break;
        default:
            body += "false,";
            break;
        }
    }
    body += "\"pad\":\"" + std::string(kTarget - body.size() - tail.size() - 9, 'p') + "\",";
    return body + tail;
}

const std::string kPhoneURL =
    "http://192.168.1.23:4173/controller#token=Vx3kQ9pL2mN8rT4wY7zA1bC5dE6fG0hJ-_iKoUqSsXv";
const std::string kSetupInfo = R"({"phoneURL":")" + kPhoneURL + R"("})";

void decodeHealthBody(benchmark::State& state, const std::string& body)
{
    if (!tovra::decodeHealth(body)) {
        state.SkipWithError("the body does not decode");
        return;
    }
    for (auto _ : state) {
        std::optional<tovra::Health> health = tovra::decodeHealth(body);
        benchmark::DoNotOptimize(health);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
    state.counters["body_bytes"] = static_cast<double>(body.size());
}

void BM_DecodeHealthTypical(benchmark::State& state)
{
    decodeHealthBody(state, kTypicalHealth);
}
BENCHMARK(BM_DecodeHealthTypical);

void BM_DecodeHealth64KiBExtraKeys(benchmark::State& state)
{
    static const std::string body = largeHealth();
    decodeHealthBody(state, body);
}
BENCHMARK(BM_DecodeHealth64KiBExtraKeys);

void BM_DecodeSetupInfo(benchmark::State& state)
{
    for (auto _ : state) {
        std::optional<tovra::SetupInfo> info = tovra::decodeSetupInfo(kSetupInfo);
        benchmark::DoNotOptimize(info);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSetupInfo.size()));
}
BENCHMARK(BM_DecodeSetupInfo);

void BM_IsValidURL(benchmark::State& state)
{
    for (auto _ : state) {
        bool valid = tovra::isValidURL(kPhoneURL);
        benchmark::DoNotOptimize(valid);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPhoneURL.size()));
}
BENCHMARK(BM_IsValidURL);

// Both steps of "copy phone link": decode the answer, then check the link.
void BM_DecodeSetupInfoAndValidate(benchmark::State& state)
{
    for (auto _ : state) {
        const std::optional<tovra::SetupInfo> info = tovra::decodeSetupInfo(kSetupInfo);
        bool valid = info && tovra::isValidURL(info->phoneURL);
        benchmark::DoNotOptimize(valid);
    }
}
BENCHMARK(BM_DecodeSetupInfoAndValidate);

} // namespace
