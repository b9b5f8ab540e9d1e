// ReportSink.h - the emulated device's output seen by a test: every report
// the model sends and every unplug, in order, with waits for them and the
// answer messages joined from their reports.
#ifndef AZK_TESTS_REPORT_SINK_H
#define AZK_TESTS_REPORT_SINK_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "emulator/DeviceModel.h"

namespace azk::test {

class azk_CRecordingSink final : public azk_CReportSink {
public:
    using Bytes = std::vector<uint8_t>;

    void SendReport(const uint8_t* report, size_t length) override {
        std::lock_guard<std::mutex> lock(mutex_);
        reports_.emplace_back(report, report + length);
        log_.push_back('R');
        changed_.notify_all();
    }
    void Unplug() override {
        std::lock_guard<std::mutex> lock(mutex_);
        log_.push_back('U');
        changed_.notify_all();
    }

    // The reports sent since the last Clear or Take.
    std::vector<Bytes> Reports() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return reports_;
    }
    // The same, which are then forgotten.
    std::vector<Bytes> Take() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Bytes> taken;
        taken.swap(reports_);
        return taken;
    }
    // The answer messages complete in the reports sent since the last call:
    // a 0x83 report starts one, the following reports continue it until its
    // header's length is reached.
    std::vector<Bytes> TakeMessages() {
        std::vector<Bytes> messages;
        for (const Bytes& report : Take()) {
            if (report.empty()) continue;
            if (report[0] == 0x83) partial_.clear();
            partial_.insert(partial_.end(), report.begin() + 1, report.end());
            if (partial_.size() < 8) continue;
            const size_t size = 8u + static_cast<size_t>(partial_[6] | (partial_[7] << 8));
            if (partial_.size() >= size) {
                partial_.resize(size);
                messages.push_back(partial_);
                partial_.clear();
            }
        }
        return messages;
    }
    // 'R' per report, 'U' per unplug, in order.
    std::string Log() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return log_;
    }
    // Waits (up to 10 s) until `count` reports were sent.
    bool WaitForReports(size_t count) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return reports_.size() >= count; });
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        reports_.clear();
        log_.clear();
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Bytes> reports_;
    std::string log_;
    Bytes partial_;  // only TakeMessages' caller touches it
};

}  // namespace azk::test

#endif
