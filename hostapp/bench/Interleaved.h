// Interleaved.h - two ways of doing the same thing, measured side by side in
// one process: short blocks of each in turn, the order swapped every round,
// and medians over the rounds. A machine that changes speed for seconds at a
// time (a loaded host, an emulated guest) then slows both alike, and the
// median of the per-round ratios stays put where the figures of two separate
// runs would not.
//
// The comparison prints one line that is also a row of a Markdown table:
//
//   PERF | what | figure | peer's figure | ratio | goal |
//
// tools/bench.sh collects these rows from the host and guest programs.
#ifndef AZK_BENCH_INTERLEAVED_H
#define AZK_BENCH_INTERLEAVED_H

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace azk::bench {

inline double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Seconds taken by one block of `count` operations, or a negative value when
// one of them failed (the block function says why on stderr).
using Block = std::function<double(int count)>;

struct Comparison {
    double subjectSeconds = 0;  // median block time of the measured stack
    double peerSeconds = 0;     // median block time of its peer
    double ratio = 0;           // median over rounds of subject time / peer time
    int rounds = 0;
    int perBlock = 0;
};

// One untimed block of each first (cold caches, first opens), then `rounds`
// rounds of one block each. False when a block failed.
inline bool CompareInterleaved(const Block& subject, const Block& peer, int rounds, int perBlock,
                               Comparison& out) {
    if (subject(1) < 0 || peer(1) < 0) return false;
    std::vector<double> subjectTimes;
    std::vector<double> peerTimes;
    std::vector<double> ratios;
    for (int round = 0; round < rounds; ++round) {
        double s;
        double p;
        if (round % 2 == 0) {
            s = subject(perBlock);
            p = peer(perBlock);
        } else {
            p = peer(perBlock);
            s = subject(perBlock);
        }
        if (s <= 0 || p <= 0) return false;
        subjectTimes.push_back(s);
        peerTimes.push_back(p);
        ratios.push_back(s / p);
    }
    out.subjectSeconds = Median(subjectTimes);
    out.peerSeconds = Median(peerTimes);
    out.ratio = Median(ratios);
    out.rounds = rounds;
    out.perBlock = perBlock;
    return true;
}

// The row for a throughput: operations per second of each, and the subject's
// speed as a multiple of the peer's (1 / the median time ratio).
inline void PrintRateRow(const std::string& what, const std::string& subject, const std::string& peer,
                         const Comparison& c, const std::string& goal) {
    std::printf("PERF | %s | %s %.0f/s | %s %.0f/s | %.2fx | %s |\n", what.c_str(), subject.c_str(),
                c.perBlock / c.subjectSeconds, peer.c_str(), c.perBlock / c.peerSeconds, 1 / c.ratio, goal.c_str());
    std::fflush(stdout);
}

// The row for a latency: milliseconds per operation of each, and the
// subject's time as a fraction of the peer's.
inline void PrintTimeRow(const std::string& what, const std::string& subject, const std::string& peer,
                         const Comparison& c, const std::string& goal) {
    std::printf("PERF | %s | %s %.3f ms | %s %.3f ms | %.3fx | %s |\n", what.c_str(), subject.c_str(),
                1000 * c.subjectSeconds / c.perBlock, peer.c_str(), 1000 * c.peerSeconds / c.perBlock, c.ratio,
                goal.c_str());
    std::fflush(stdout);
}

using Clock = std::chrono::steady_clock;

inline double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace azk::bench

#endif
