#include "transport/HidCommBase.h"

#include <system_error>

namespace azk {

azk_CHidCommBase::azk_CHidCommBase() : device_(GetHidPlatform()) {}

azk_CHidCommBase::~azk_CHidCommBase() { Terminate(); }

int32_t azk_CHidCommBase::Exec(int32_t, void*, int32_t*) { return SESSION_RESULT_OK; }

bool azk_CHidCommBase::VariantParameters(int32_t variant, int32_t& productId, int32_t& reportLength) {
    switch (variant) {
    case SESSION_VARIANT_16:
        productId = AZK_PRODUCT_ID;
        reportLength = 16;
        return true;
    case SESSION_VARIANT_64:
        productId = AZK_PRODUCT_ID + 1;
        reportLength = 64;
        return true;
    default:
        return false;
    }
}

bool azk_CHidCommBase::Initialize(int32_t variant, SessionEventCallback eventCallback, int32_t index) {
    closing_.store(0);
    eventCallback_ = eventCallback;

    int32_t productId = 0;
    int32_t reportLength = 0;
    if (!VariantParameters(variant, productId, reportLength) || index < 0) {
        Terminate();
        return false;
    }
    inputReportLength_ = outputReportLength_ = reportLength;

    if (!device_.OpenDevice(AZK_VENDOR_ID, productId, inputReportLength_, outputReportLength_, index)) {
        Terminate();
        return false;
    }

    sharedReading_ = device_.CanInterruptRead();
    {
        // Where reads can be interrupted, the first request reads its own
        // answer if it comes soon after the session's start.
        std::lock_guard<std::mutex> lock(readingLock_);
        reading_ = ReadingState{};
        assembly_ = Assembly{};
        if (sharedReading_) {
            reading_.reader = Reader::Caller;
            reading_.activity = 1;
        }
    }
    try {
        receiver_ = std::thread(ReceiverThreadEntry, this);
    } catch (const std::system_error&) {
        Terminate();
        return false;
    }
    return true;
}

void azk_CHidCommBase::Terminate() {
    // The receiver cannot wait for itself, nor a command end the session it
    // runs on; SessionFree refuses both.
    if (OnReceiverThread() || InCommandOnThisThread()) return;
    if (receiver_.joinable()) {
        closing_.store(1);
        device_.CancelRead();
        {
            // A receiver waiting for the reading sees closing_ now.
            std::lock_guard<std::mutex> lock(readingLock_);
        }
        readingChanged_.notify_all();
        receiver_.join();
    }
    device_.CloseDevice();
    eventCallback_ = nullptr;
    SetTextCallback(nullptr, nullptr);
}

void azk_CHidCommBase::SetTextCallback(TextCallback callback, void* context) {
    std::lock_guard<std::mutex> lock(textSinkLock_);
    textSink_.callback = callback;
    textSink_.context = context;
}

}  // namespace azk
