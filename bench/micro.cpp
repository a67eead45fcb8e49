// Micro-benchmarks of the pieces every frame passes through: the sync scan,
// serialising a PDU, the byte buffer, the semaphore and a posted message's
// trip through a socket thread's loop, and one send through the C interface
// against the C++ call.
#include <kavra/DATABUFFER.h>
#include <kavra/KavraClientThread.h>
#include <kavra/KavraHeader.h>
#include <kavra/KavraPDU.h>
#include <kavra/kavra.h>
#include <kavra/base/CBaseSocketThread.h>
#include <kavra/base/CIPByteBuffer.h>
#include <kavra/base/CSema.h>
#include <kavra/base/CServerStatus.h>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <thread>
#include <vector>

namespace {

// Garbage of the given length before one header: the scan's worst case is a
// long run without any 0xFF.
void BM_ValidateBufferAfterGarbage(benchmark::State& state) {
    const int garbage = static_cast<int>(state.range(0));
    std::vector<unsigned char> stream(static_cast<std::size_t>(garbage), 0x41);
    stream.insert(stream.end(), 10, 0xFF);
    stream.insert(stream.end(), {0, 0, 0, 64});
    KavraHeader header;
    CIPByteBuffer buffer;
    for (auto _ : state) {
        buffer.empty();
        buffer.appendBytes(stream.data(), static_cast<int>(stream.size()));
        benchmark::DoNotOptimize(header.ValidateBuffer(buffer));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(stream.size()));
}
BENCHMARK(BM_ValidateBufferAfterGarbage)->Arg(0)->Arg(64)->Arg(4096);

void BM_ValidateBufferAligned(benchmark::State& state) {
    KavraHeader header;
    CIPByteBuffer buffer;
    header.getData(buffer);
    for (auto _ : state) {
        benchmark::DoNotOptimize(header.ValidateBuffer(buffer));
    }
}
BENCHMARK(BM_ValidateBufferAligned);

void BM_SerialisePdu(benchmark::State& state) {
    std::vector<char> body(static_cast<std::size_t>(state.range(0)), 'b');
    DATABUFFER data{body.data(), static_cast<unsigned int>(body.size())};
    for (auto _ : state) {
        KavraPDU pdu;
        CIPByteBuffer frame;
        pdu.setBuffer(data);
        pdu.getData(frame);
        benchmark::DoNotOptimize(frame.getBuffer());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SerialisePdu)->Arg(64)->Arg(1024)->Arg(8812);

void BM_ParseFrame(benchmark::State& state) {
    std::vector<char> body(static_cast<std::size_t>(state.range(0)), 'b');
    DATABUFFER data{body.data(), static_cast<unsigned int>(body.size())};
    KavraPDU source;
    source.setBuffer(data);
    CIPByteBuffer wire;
    source.getData(wire);
    for (auto _ : state) {
        CIPByteBuffer in(wire);
        KavraHeader header;
        header.ValidateBuffer(in);
        header.setData(in);
        KavraPDU pdu;
        pdu.setBody(in);
        benchmark::DoNotOptimize(pdu.getBufAddr());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ParseFrame)->Arg(64)->Arg(8812);

void BM_BufferAppendRemove(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    std::vector<unsigned char> src(static_cast<std::size_t>(n), 7);
    std::vector<unsigned char> dst(static_cast<std::size_t>(n));
    CIPByteBuffer buffer;
    for (auto _ : state) {
        buffer.appendInt(n);
        buffer.appendBytes(src.data(), n);
        benchmark::DoNotOptimize(buffer.removeInt());
        buffer.removeString(dst.data(), n);
    }
    state.SetBytesProcessed(state.iterations() * n);
}
BENCHMARK(BM_BufferAppendRemove)->Arg(14)->Arg(1024)->Arg(8812);

void BM_SemaUncontended(benchmark::State& state) {
    CSema sema(1, 1);
    for (auto _ : state) {
        sema.Lock(CSema::INFINITE_TIMEOUT);
        sema.Unlock(1, nullptr);
    }
}
BENCHMARK(BM_SemaUncontended);

void BM_SemaTryLockEmpty(benchmark::State& state) {
    CSema sema(0, 1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(sema.Lock(0));
    }
}
BENCHMARK(BM_SemaTryLockEmpty);

// Both threads take and give the same unit, as the queue locks are used.
void BM_SemaContendedLock(benchmark::State& state) {
    static CSema* shared = nullptr;
    if (state.thread_index() == 0) {
        shared = new CSema(1, 1);
    }
    // The harness starts all threads of a run only after the setup above.
    for (auto _ : state) {
        shared->Lock(CSema::INFINITE_TIMEOUT);
        shared->Unlock(1, nullptr);
    }
    if (state.thread_index() == 0) {
        state.counters["threads"] = static_cast<double>(state.threads());
    }
}
BENCHMARK(BM_SemaContendedLock)->Threads(2)->UseRealTime();

// One thread gives units, another waits for them: the counting use of the
// receive path (hand-off between a producer and a sleeping consumer).
void BM_SemaHandOff(benchmark::State& state) {
    CSema items(0, 100);
    const std::int64_t total = 200000;
    for (auto _ : state) {
        std::thread consumer([&] {
            for (std::int64_t i = 0; i < total; ++i) {
                items.Lock(CSema::INFINITE_TIMEOUT);
            }
        });
        for (std::int64_t i = 0; i < total;) {
            if (items.Unlock(1, nullptr) != 0) {
                ++i;
            } else {
                std::this_thread::yield();
            }
        }
        consumer.join();
    }
    state.SetItemsProcessed(state.iterations() * total);
}
BENCHMARK(BM_SemaHandOff)->UseRealTime()->Unit(benchmark::kMillisecond);

// A socket thread without a socket that answers every posted message.
class Echo : public CBaseSocketThread {
public:
    CSema handled{0, 1 << 30};

protected:
    long DispatchMessageA(const MSG* /*msg*/) override {
        handled.Unlock(1, nullptr);
        return 1;
    }
};

void BM_PostDispatchRoundTrip(benchmark::State& state) {
    Echo echo;
    echo.Create();
    for (auto _ : state) {
        echo.PostMessageA(4025, 0, 0);
        echo.handled.Lock(CSema::INFINITE_TIMEOUT);
    }
    echo.Destroy();
}
BENCHMARK(BM_PostDispatchRoundTrip)->UseRealTime();

// Posts in bursts, as SendPdu does under load; the loop drains them.
void BM_PostBurstDispatch(benchmark::State& state) {
    const int burst = static_cast<int>(state.range(0));
    Echo echo;
    echo.Create();
    for (auto _ : state) {
        for (int i = 0; i < burst; ++i) {
            echo.PostMessageA(4025, 0, 0);
        }
        for (int i = 0; i < burst; ++i) {
            echo.handled.Lock(CSema::INFINITE_TIMEOUT);
        }
    }
    echo.Destroy();
    state.SetItemsProcessed(state.iterations() * burst);
}
BENCHMARK(BM_PostBurstDispatch)->Arg(64)->UseRealTime();

// One send through the C interface against the same SendPdu called from
// C++. Both clients run their worker on a connection that is down (port 1
// refuses, no reconnection), so each accepted PDU costs the caller exactly
// what it costs on a live connection (the copy, the append, the post) while
// the worker drops it instead of writing it. Every 1024 sends the clock
// stops until the worker has drained the queue, so it never grows.
constexpr unsigned short kRefusingPort = 1;
constexpr int kDrainEvery = 1024;

template <typename Queued>
void drainWhenDue(benchmark::State& state, std::int64_t sent, Queued queued) {
    if (sent % kDrainEvery == 0) {
        state.PauseTiming();
        while (queued() != 0) {
            std::this_thread::yield();
        }
        state.ResumeTiming();
    }
}

void BM_SendPduCpp(benchmark::State& state) {
    std::vector<char> body(static_cast<std::size_t>(state.range(0)), 'b');
    CServerStatus server("127.0.0.1", kRefusingPort);
    server.SetReconnect(false);
    KavraClientThread client;
    client.SetSocket(nullptr, 0, &server);
    client.Create();
    std::int64_t sent = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(client.SendPdu(body.data(), static_cast<unsigned int>(body.size())));
        drainWhenDue(state, ++sent, [&] { return client.GetSendQueueLength(); });
    }
    client.Destroy();
}
BENCHMARK(BM_SendPduCpp)->Arg(64)->Arg(1024);

void BM_SendPduC(benchmark::State& state) {
    std::vector<char> body(static_cast<std::size_t>(state.range(0)), 'b');
    kavra_options options;
    kavra_options_init(&options);
    options.reconnect = 0;
    kavra_client* client = nullptr;
    kavra_client_create("127.0.0.1", kRefusingPort, &options, &client);
    kavra_client_start(client);
    std::int64_t sent = 0;
    kavra_stats stats{};
    stats.size = sizeof stats;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            kavra_client_send(client, body.data(), static_cast<std::uint32_t>(body.size())));
        drainWhenDue(state, ++sent, [&] {
            kavra_client_stats(client, &stats);
            return stats.send_queued;
        });
    }
    kavra_client_destroy(client);
}
BENCHMARK(BM_SendPduC)->Arg(64)->Arg(1024);

} // namespace

BENCHMARK_MAIN();
