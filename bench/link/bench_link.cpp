// libwardlink's speed on a file port under /tmp: sending through the daemon
// (service mode) and directly (direct mode), and an uncontended lock plus
// unlock in direct mode.  Run it in a private world:
//   tools/ns-run.sh build/normal/bench/link/bench_link
// The daemon is the real wardlinkd, started here and stopped at the end.
#include <benchmark/benchmark.h>

#include <utility>  // the harness uses std::exchange

#include "../../tests/service/daemon_harness.h"
#include "VEMFd.h"
#include "VEMInterface.h"

namespace {

constexpr int kBlock = 65536;  // what the CUPS backend sends per lock
const char* const kFile = "/tmp/bench-link.bin";

bool vem_write_all(int fd, const std::vector<unsigned char>& b) {
    return vem::write_all(fd, std::span<const std::uint8_t>(b.data(), b.size()));
}

std::vector<unsigned char>& block() {
    static std::vector<unsigned char> b(kBlock, 0x55);
    return b;
}

// Sends one 64 KiB block per lock, as the backend does, truncating the file
// now and then so that the benchmark measures the path, not the disk.
void send_blocks(benchmark::State& state) {
    unsigned long n = 0;
    long i = 0;
    for (auto _ : state) {
        if (intf_lock(5000) != VEM_SUCCESS ||
            intf_send_data(block().data(), kBlock, &n, 5000) != VEM_SUCCESS ||
            intf_unlock() != VEM_SUCCESS) {
            state.SkipWithError("transfer failed");
            break;
        }
        if (++i % 256 == 0) ::truncate(kFile, 0);
    }
    state.SetBytesProcessed(state.iterations() * kBlock);
}

void BM_DirectSend(benchmark::State& state) {
    init_intf_type(state.range(0));
    if (init_file(kFile, 1) != VEM_SUCCESS) return state.SkipWithError("open failed");
    send_blocks(state);
    init_close();
}
BENCHMARK(BM_DirectSend)->Arg(SHARE_PORT_LIB)->Arg(SINGLE_APP)->ArgName("mode")->UseRealTime();

void BM_ServiceSend(benchmark::State& state) {
    harness::Daemon daemon;
    if (!daemon.start()) return state.SkipWithError("wardlinkd did not start");
    init_intf_type(SHARE_PORT_SVR);
    if (init_file(kFile, 1) != VEM_SUCCESS) return state.SkipWithError("open failed");
    send_blocks(state);
    init_close();
    init_intf_type(SHARE_PORT_LIB);
}
BENCHMARK(BM_ServiceSend)->UseRealTime();

// Uncontended lock and unlock: shared behaviour reopens and parks the file
// each time, single-application behaviour only takes the semaphore.
void BM_LockUnlock(benchmark::State& state) {
    init_intf_type(state.range(0));
    if (init_file(kFile, 1) != VEM_SUCCESS) return state.SkipWithError("open failed");
    for (auto _ : state) {
        if (intf_lock(0) != VEM_SUCCESS || intf_unlock() != VEM_SUCCESS) {
            state.SkipWithError("lock failed");
            break;
        }
    }
    init_close();
}
BENCHMARK(BM_LockUnlock)->Arg(SHARE_PORT_LIB)->Arg(SINGLE_APP)->ArgName("mode")->UseRealTime();

// The channel's floor: 64 KiB carried as request/reply round trips over a
// FIFO pair to another process that only answers with a 32-byte reply, in
// requests of range(0) data bytes (1024 is the record's limit).  Shows how
// much the record size alone costs.
void BM_FifoRoundTrips(benchmark::State& state) {
    const auto chunk = static_cast<std::size_t>(state.range(0));
    int req[2], rep[2];
    if (::pipe(req) != 0 || ::pipe(rep) != 0) return state.SkipWithError("pipe failed");
    ::fcntl(req[1], F_SETPIPE_SZ, 1 << 20);
    const pid_t echo = ::fork();
    if (echo == 0) {
        ::close(req[1]), ::close(rep[0]);
        std::vector<unsigned char> buf(40 + chunk);
        unsigned char reply[32] = {};
        for (;;) {
            std::size_t got = 0;
            while (got < buf.size()) {
                const ssize_t r = ::read(req[0], buf.data() + got, buf.size() - got);
                if (r <= 0) _exit(0);
                got += static_cast<std::size_t>(r);
            }
            if (::write(rep[1], reply, sizeof reply) != sizeof reply) _exit(1);
        }
    }
    std::vector<unsigned char> msg(40 + chunk, 0x55);
    unsigned char reply[32];
    for (auto _ : state) {
        for (std::size_t sent = 0; sent < kBlock; sent += chunk) {
            if (!vem_write_all(req[1], msg) || ::read(rep[0], reply, sizeof reply) != 32)
                return state.SkipWithError("echo failed");
        }
    }
    state.SetBytesProcessed(state.iterations() * kBlock);
    ::close(req[1]), ::close(rep[0]), ::close(req[0]), ::close(rep[1]);
    ::waitpid(echo, nullptr, 0);
}
BENCHMARK(BM_FifoRoundTrips)->Arg(1024)->Arg(16384)->Arg(65536)->ArgName("chunk")->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
