#include "platform/Random.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <random>

namespace larkpost {
namespace {

struct RandomState {
    std::mutex lock;
    bool seeded = false;
    std::mt19937_64 generator;
    TLpRandomSource source;
};

RandomState& State() {
    static RandomState state;
    return state;
}

}  // namespace

double RandomReal() {
    RandomState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    if (state.source) return state.source();
    if (!state.seeded) {
        // The wall clock alone would give two processes started in the same tick the same
        // boundaries; the steady clock's nanoseconds differ between them.
        const auto wall = std::chrono::system_clock::now().time_since_epoch().count();
        const auto steady = std::chrono::steady_clock::now().time_since_epoch().count();
        const uint64_t w = static_cast<uint64_t>(wall), s = static_cast<uint64_t>(steady);
        std::seed_seq seed{static_cast<uint32_t>(w), static_cast<uint32_t>(w >> 32),
                           static_cast<uint32_t>(s), static_cast<uint32_t>(s >> 32)};
        state.generator.seed(seed);
        state.seeded = true;
    }
    // 53 random bits make every double in [0, 1) equally spaced and never 1.0.
    return static_cast<double>(state.generator() >> 11) * 0x1.0p-53;
}

void SetRandomSource(TLpRandomSource source) {
    RandomState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.source = std::move(source);
}

}  // namespace larkpost
