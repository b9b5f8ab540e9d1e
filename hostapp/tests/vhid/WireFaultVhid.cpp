// The wire fault tests over vhid: the device model behind the emulator's
// vhid server, the session on the Linux HID layer, in one process.
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "WireFaultHarness.h"
#include "emulator/VhidServer.h"

namespace azk::test {
namespace {

class VhidHarness : public WireFaultHarness {
public:
    VhidHarness() {
        char pattern[] = "/tmp/azk-wirefault-vhid-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) return;
        root_ = pattern;
        const char* old = std::getenv("XDG_RUNTIME_DIR");
        hadRuntimeDir_ = old != nullptr;
        if (old != nullptr) savedRuntimeDir_ = old;
        ::setenv("XDG_RUNTIME_DIR", root_.c_str(), 1);
        std::string error;
        if (!PrepareVhidDirectory(root_ + "/azk-vhid", error)) return;
        azk_SVhidOptions options;
        options.directory = root_ + "/azk-vhid";
        options.vendorId = AZK_VENDOR_ID;
        options.productId = AZK_PRODUCT_ID;
        server_ = std::make_unique<azk_CVhidServer>(model_, options);
        if (!server_->Start(error)) server_.reset();
    }
    ~VhidHarness() override {
        server_.reset();
        if (hadRuntimeDir_) {
            ::setenv("XDG_RUNTIME_DIR", savedRuntimeDir_.c_str(), 1);
        } else {
            ::unsetenv("XDG_RUNTIME_DIR");
        }
        if (!root_.empty()) {
            const int ignored = std::system(("rm -rf '" + root_ + "'").c_str());
            (void)ignored;
        }
    }
    azk_CDeviceModel& Model() override { return model_; }
    SessionHandle Create(SessionEventCallback callback) override {
        return server_ != nullptr ? SessionCreate(1, callback) : nullptr;
    }
    bool Quiesce() override { return false; }

private:
    azk_CDeviceModel model_{16};
    std::unique_ptr<azk_CVhidServer> server_;
    std::string root_;
    std::string savedRuntimeDir_;
    bool hadRuntimeDir_ = false;
};

}  // namespace

std::unique_ptr<WireFaultHarness> MakeWireFaultHarness() { return std::make_unique<VhidHarness>(); }

}  // namespace azk::test
