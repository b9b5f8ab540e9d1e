// Timeouts.h - the one place every limited wait of the session and the
// transport takes its length from. The lengths themselves stay where they
// belong (the command table, the handlers, the firmware steps, the report
// writes, the vhid hello); each is passed through azk_CTimeouts::Scaled
// just before the wait. The divisor is 1 in the product. Tests raise it to
// run a 5000 ms time-out in 50 ms while still seeing which length the code
// chose.
#ifndef AZK_SUPPORT_TIMEOUTS_H
#define AZK_SUPPORT_TIMEOUTS_H

#include <atomic>
#include <cstdint>

namespace azk {

class azk_CTimeouts {
public:
    // `ms` divided by the divisor, at least 1 for a non-zero length.
    // UINT32_MAX (no limit) stays as it is.
    static uint32_t Scaled(uint32_t ms) {
        if (ms == UINT32_MAX || ms == 0) return ms;
        const uint32_t scaled = ms / Divisor();
        return scaled == 0 ? 1 : scaled;
    }
    // The same for the signed lengths of report I/O, where -1 means no limit.
    static int32_t Scaled(int32_t ms) {
        if (ms <= 0) return ms;
        return static_cast<int32_t>(Scaled(static_cast<uint32_t>(ms)));
    }

    static uint32_t Divisor() { return DivisorValue().load(std::memory_order_relaxed); }
    // 0 is taken as 1.
    static void SetDivisor(uint32_t divisor) {
        DivisorValue().store(divisor == 0 ? 1 : divisor, std::memory_order_relaxed);
    }

private:
    static std::atomic<uint32_t>& DivisorValue() {
        static std::atomic<uint32_t> divisor{1};
        return divisor;
    }
};

}  // namespace azk

#endif
