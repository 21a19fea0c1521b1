// Uncontended read lock + unlock of an RWLock, on the slim lock and on the
// fallback, against a bare CRITICAL_SECTION enter + leave in the same run
// (and, for reference, Lock and a bare SRWLOCK taken shared).
// Each variant is timed over enough pairs to fill about 100 ms (the fallback
// makes two event calls per pair and is far slower than the others). Prints
// the median of several runs in ns per pair and the ratio to the critical
// section (above 1 is slower).
#include "../common/ipc/Lock.h"
#include "../common/ipc/RWLock.h"
#include "../common/ipc/internal/SlimLock.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

using zem::vfs::Lock;
using zem::vfs::RWLock;

namespace {

const int kRuns = 9;
const double kRunSeconds = 0.1;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

template <typename Body> double seconds_for(Body &body, long long pairs) {
    auto from = std::chrono::steady_clock::now();
    for (long long i = 0; i < pairs; ++i) {
        body();
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

// Pairs per run for this body: doubled until a run takes a tenth of the target.
template <typename Body> long long calibrate(Body &body) {
    long long pairs = 1000;
    for (;;) {
        double spent = seconds_for(body, pairs);
        if (spent >= kRunSeconds / 10 || pairs >= (1ll << 32)) {
            return std::max(1000ll, static_cast<long long>(pairs * (kRunSeconds / spent)));
        }
        pairs *= 2;
    }
}

struct Variant {
    char const *name;
    long long pairs;
    std::vector<double> ns;
};

template <typename Body> void measure(Variant &v, Body body) {
    if (v.pairs == 0) {
        v.pairs = calibrate(body);
    }
    v.ns.push_back(seconds_for(body, v.pairs) * 1e9 / static_cast<double>(v.pairs));
}

} // namespace

int main() {
    zem::vfs::detail::load_slim_lock_functions();
    bool slim_available = zem::vfs::detail::slim_lock_available();
    RWLock slim;
    std::unique_ptr<RWLock> fallback(zem::vfs::detail::new_fallback_rwlock());
    if (!fallback) {
        std::printf("could not build the fallback lock\n");
        return 1;
    }
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    Lock lock;

    Variant cs{"CRITICAL_SECTION enter/leave", 0, {}};
    Variant lk{"Lock lock/unlock", 0, {}};
    Variant sl{slim_available ? "RWLock read, slim lock" : "RWLock read, slim MISSING", 0, {}};
    Variant fb{"RWLock read, fallback", 0, {}};
    Variant srw{"bare SRWLOCK shared", 0, {}};
    SRWLOCK bare = SRWLOCK_INIT;
    // Interleaved, so that every variant sees the same conditions in each run.
    for (int run = 0; run < kRuns; ++run) {
        measure(cs, [&] {
            EnterCriticalSection(&section);
            LeaveCriticalSection(&section);
        });
        measure(lk, [&] {
            lock.lock();
            lock.unlock();
        });
        measure(sl, [&] {
            slim.lock_read();
            slim.unlock_read();
        });
        measure(fb, [&] {
            fallback->lock_read();
            fallback->unlock_read();
        });
        if (slim_available) {
            measure(srw, [&] {
                AcquireSRWLockShared(&bare);
                ReleaseSRWLockShared(&bare);
            });
        }
    }
    DeleteCriticalSection(&section);

    double base = median(cs.ns);
    std::printf("uncontended lock + unlock, median of %d runs of ~%.0f ms each (ns per pair)\n",
                kRuns, kRunSeconds * 1000);
    std::printf("%-30s %10.2f  (baseline, %lld pairs per run)\n", cs.name, base, cs.pairs);
    for (Variant const *v : {&lk, &srw, &sl, &fb}) {
        if (v->ns.empty()) {
            continue;
        }
        double m = median(v->ns);
        std::printf("%-30s %10.2f  ratio %8.2f  (%lld pairs per run)\n", v->name, m, m / base,
                    v->pairs);
    }
    return 0;
}
