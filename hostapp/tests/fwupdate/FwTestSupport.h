// FwTestSupport.h - what the firmware tool tests share: a scratch directory,
// and image files made with the builder (the console capture is shared,
// ConsoleCapture.h).
#ifndef AZK_TESTS_FWUPDATE_FW_TEST_SUPPORT_H
#define AZK_TESTS_FWUPDATE_FW_TEST_SUPPORT_H

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "ConsoleCapture.h"
#include "session/FirmImageBuilder.h"
#include "support/WideConsole.h"

namespace azk::test {

using Bytes = std::vector<uint8_t>;

// A private directory, removed with its content at the end.
class azk_CScratch {
public:
    azk_CScratch() {
        std::random_device random;
        std::ostringstream name;
        name << "azk-fwupdate-test-" << std::hex << random() << random();
        path_ = std::filesystem::temp_directory_path() / name.str();
        std::filesystem::create_directories(path_);
    }
    ~azk_CScratch() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    azk_CScratch(const azk_CScratch&) = delete;
    azk_CScratch& operator=(const azk_CScratch&) = delete;

    std::string File(const std::string& name) const { return (path_ / name).string(); }

    std::string Write(const std::string& name, const Bytes& bytes) const {
        const std::string path = File(name);
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    static Bytes Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    std::filesystem::path path_;
};

// A sound image of `kind` with totalLength bytes (a multiple of 4, at least
// 560) and `trailer` bytes after it, or one spoilt by `damage`.
inline Bytes MakeImage(int32_t kind, size_t totalLength,
                       azk_CFirmImageBuilder::Damage damage = azk_CFirmImageBuilder::Damage::None,
                       size_t trailer = 0) {
    std::mt19937 gen(static_cast<uint32_t>(totalLength + trailer));
    auto pattern = [&](size_t n) {
        Bytes bytes(n);
        for (uint8_t& b : bytes) b = static_cast<uint8_t>(gen());
        return bytes;
    };
    azk_CFirmImageBuilder builder;
    builder.SetKind(kind).SetPrologue(pattern(512)).SetBody(pattern(totalLength - 560)).SetTrailer(pattern(trailer));
    return builder.Build(damage);
}

}  // namespace azk::test

#endif
