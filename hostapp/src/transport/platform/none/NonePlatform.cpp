// A platform with no HID interfaces, for builds without a HID layer of their
// own: every open finds nothing.
#include "transport/platform/HidPlatform.h"

namespace azk {
namespace {

class NonePlatform final : public HidPlatform {
public:
    std::vector<std::string> ListInterfaces() override { return {}; }
    std::unique_ptr<HidInterface> OpenInterface(const std::string&) override { return nullptr; }
};

}  // namespace

HidPlatform& GetHidPlatform() {
    static NonePlatform platform;
    return platform;
}

}  // namespace azk
