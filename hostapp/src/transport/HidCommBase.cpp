#include "transport/HidCommBase.h"

#include <system_error>

namespace azk {

azk_CHidCommBase::azk_CHidCommBase() : device_(GetHidPlatform()) {}

azk_CHidCommBase::~azk_CHidCommBase() { Terminate(); }

int32_t azk_CHidCommBase::Exec(int32_t, void*, int32_t*) { return SESSION_RESULT_OK; }

bool azk_CHidCommBase::Initialize(int32_t variant, SessionEventCallback eventCallback) {
    closing_.store(0);
    eventCallback_ = eventCallback;

    int32_t productId = 0;
    switch (variant) {
    case SESSION_VARIANT_16:
        inputReportLength_ = outputReportLength_ = 16;
        productId = AZK_PRODUCT_ID;
        break;
    case SESSION_VARIANT_64:
        inputReportLength_ = outputReportLength_ = 64;
        productId = AZK_PRODUCT_ID + 1;
        break;
    default:
        Terminate();
        return false;
    }

    if (!device_.OpenDevice(AZK_VENDOR_ID, productId, inputReportLength_, outputReportLength_, 0)) {
        Terminate();
        return false;
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
    // The receiver cannot wait for itself; SessionFree refuses this case.
    if (OnReceiverThread()) return;
    if (receiver_.joinable()) {
        closing_.store(1);
        device_.CancelRead();
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
