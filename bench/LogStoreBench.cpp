// SPDX-License-Identifier: GPL-3.0-or-later
// Cost of LogStore::append for one writer and for two concurrent writers.
// Entries are built outside the timed region in batches; only the append (one
// short lock hold and, for the first entry of a batch, a post) is measured.
#include <benchmark/benchmark.h>

#include "core/ManualMainQueue.hpp"
#include "core/MemorySettingsStore.hpp"
#include "log/LogStore.hpp"

using namespace velorin;

namespace {

constexpr std::size_t kBatch = 4096;

struct Fixture {
    ManualMainQueue queue;
    MemorySettingsStore settings;
    std::shared_ptr<LogStore> store = LogStore::create(queue, settings);
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

std::vector<LogEntry> makeBatch() {
    std::vector<LogEntry> batch;
    batch.reserve(kBatch);
    for (std::size_t i = 0; i < kBatch; ++i) batch.push_back(LogEntry::message("[MIDI] benchmark line"));
    return batch;
}

void BM_LogStoreAppend(benchmark::State& state) {
    auto& f = fixture();
    std::vector<LogEntry> batch = makeBatch();
    std::size_t next = 0;
    for (auto _ : state) {
        f.store->append(std::move(batch[next]));
        if (++next == kBatch) {
            state.PauseTiming();
            if (state.thread_index() == 0) {
                f.store->flush();
                f.store->clear();
            }
            batch = makeBatch();
            next = 0;
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

// Building an entry (fresh id, wall-clock time, text) plus the append: what a writer pays per line.
void BM_LogStoreBuildAndAppend(benchmark::State& state) {
    auto& f = fixture();
    std::size_t count = 0;
    for (auto _ : state) {
        f.store->log("[MIDI] benchmark line");
        if (++count == kBatch) {
            state.PauseTiming();
            if (state.thread_index() == 0) {
                f.store->flush();
                f.store->clear();
            }
            count = 0;
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

}  // namespace

BENCHMARK(BM_LogStoreAppend)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_LogStoreBuildAndAppend)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK_MAIN();
