#include "win/FwUpdate/FwImageApp.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#include "session/FirmImageBuilder.h"
#include "support/WideConsole.h"

namespace azk {
namespace {

using Damage = azk_CFirmImageBuilder::Damage;

constexpr uint32_t kHeaderEnd = 560;

std::wstring Widen(const char* ascii) {
    std::wstring text;
    for (const char* p = ascii; *p != '\0'; ++p) text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*p)));
    return text;
}

std::wstring Usage() {
    std::wstring text =
        L"Usage: FwImage [options] OUTPUT\n"
        L"\n"
        L"Writes a firmware image file to OUTPUT: a scrambled prologue and body\n"
        L"with a header that carries both CRCs, as FwUpdate and the device check\n"
        L"them, or an image damaged on purpose in one named way.\n"
        L"\n"
        L"  --kind fwup|uasp|dspa  the image kind (magic \"FWUP\", \"UASP\" or \"DSPA\";\n"
        L"                 default fwup)\n"
        L"  --size N       total length N bytes: at least 560, a multiple of 4, at\n"
        L"                 most 64 MiB (default 30720); prologue and body are a\n"
        L"                 pseudo-random pattern. A file of 560 bytes is no image:\n"
        L"                 560 needs a --trailer\n"
        L"  --body FILE    the body's plain bytes from FILE instead (padded with zero\n"
        L"                 bytes to whole words); an empty FILE needs a --trailer\n"
        L"  --trailer N    N pattern bytes after the total length, which are sent\n"
        L"                 but neither checked nor kept (default 0)\n"
        L"  --seed N       the pattern's seed (default 1)\n"
        L"  --damage NAME  spoil the image in one way (default none):\n";
    for (const azk_CFirmImageBuilder::DamageInfo& info : azk_CFirmImageBuilder::Damages()) {
        std::wstring name = Widen(info.name);
        name.resize(std::max<size_t>(name.size(), 18), L' ');
        text += L"                   " + name + L" " + Widen(info.description) + L"\n";
    }
    text +=
        L"  --help         print this text\n"
        L"\n"
        L"Exit status: 0 written; 2 bad command line; 3 FILE cannot be read;\n"
        L"4 OUTPUT cannot be written; 5 the damage does not apply (body-bit without\n"
        L"a body).\n";
    return text;
}

int UsageError(const std::wstring& message) {
    WidePrintf(L"FwImage: %ls\nTry 'FwImage --help'.\n", message.c_str());
    return kFwImageExitUsage;
}

// Pseudo-random bytes, the same for the same seed.
std::vector<uint8_t> Pattern(size_t count, uint32_t seed) {
    std::vector<uint8_t> bytes(count);
    uint32_t x = seed * 2654435761u + 0x9E3779B9u;
    for (uint8_t& b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return bytes;
}

}  // namespace

bool ParseFwImageArguments(const std::vector<azk_SToolArgument>& args, azk_SFwImageOptions& options,
                           std::wstring& error) {
    options = azk_SFwImageOptions{};
    auto fail = [&error](std::wstring message) {
        error = std::move(message);
        return false;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::wstring& word = args[i].text;
        auto value = [&](const azk_SToolArgument*& out) {
            if (i + 1 >= args.size()) return false;
            out = &args[++i];
            return true;
        };
        const azk_SToolArgument* v = nullptr;
        if (word == L"--help" || word == L"-h") {
            options.help = true;
            return true;
        } else if (word == L"--kind") {
            if (!value(v)) return fail(L"--kind needs a value");
            if (v->text == L"fwup") {
                options.kind = 0;
            } else if (v->text == L"uasp") {
                options.kind = 1;
            } else if (v->text == L"dspa") {
                options.kind = 2;
            } else {
                return fail(L"--kind: fwup, uasp or dspa");
            }
        } else if (word == L"--size") {
            if (!value(v)) return fail(L"--size needs a value");
            if (!ParseUnsigned(v->text, kMaxToolFileBytes, options.size) || options.size < kHeaderEnd ||
                options.size % 4 != 0) {
                return fail(L"--size: at least 560, a multiple of 4, at most " + std::to_wstring(kMaxToolFileBytes));
            }
            options.sizeGiven = true;
        } else if (word == L"--body") {
            if (!value(options.body)) return fail(L"--body needs a file");
        } else if (word == L"--trailer") {
            if (!value(v)) return fail(L"--trailer needs a value");
            if (!ParseUnsigned(v->text, kMaxToolFileBytes, options.trailer)) {
                return fail(L"--trailer: at most " + std::to_wstring(kMaxToolFileBytes));
            }
        } else if (word == L"--seed") {
            if (!value(v)) return fail(L"--seed needs a value");
            if (!ParseUnsigned(v->text, 0xFFFFFFFFu, options.seed)) return fail(L"--seed: 0 to 4294967295");
        } else if (word == L"--damage") {
            if (!value(v)) return fail(L"--damage needs a name");
            std::string name;
            for (wchar_t c : v->text) name.push_back(c < 0x80 ? static_cast<char>(c) : '?');
            if (!azk_CFirmImageBuilder::ParseDamage(name, options.damage)) {
                return fail(L"unknown damage '" + v->text + L"' (see --help)");
            }
        } else if (!word.empty() && word[0] == L'-') {
            return fail(L"unknown option '" + word + L"'");
        } else if (options.output != nullptr) {
            return fail(L"one output file only");
        } else {
            options.output = &args[i];
        }
    }
    if (options.output == nullptr) return fail(L"no output file given");
    if (options.body != nullptr && options.sizeGiven) return fail(L"--size and --body do not go together");
    // The check wants more bytes than the header's 560; a trailer counts.
    if (options.body == nullptr && options.size + options.trailer <= kHeaderEnd) {
        return fail(L"--size 560 without a --trailer makes a file of 560 bytes, too short for an image");
    }
    return true;
}

int RunFwImage(const std::vector<azk_SToolArgument>& args) {
    azk_SFwImageOptions options;
    std::wstring usageError;
    if (!ParseFwImageArguments(args, options, usageError)) return UsageError(usageError);
    if (options.help) {
        WidePrintf(L"%ls", Usage().c_str());
        return kFwImageExitOk;
    }
    const int32_t kind = options.kind;
    const uint64_t size = options.size;
    const azk_SToolArgument* bodyFile = options.body;
    const uint64_t trailer = options.trailer;
    const uint64_t seed = options.seed;
    const Damage damage = options.damage;
    const azk_SToolArgument* output = options.output;

    std::vector<uint8_t> body;
    if (bodyFile != nullptr) {
        std::wstring error;
        if (!ReadWholeFile(bodyFile->path, kMaxToolFileBytes - kHeaderEnd, body, error)) {
            WidePrintf(L"FwImage: cannot read '%ls': %ls\n", PrintableName(bodyFile->text).c_str(),
                       error.c_str());
            return kFwImageExitUnreadable;
        }
        if (body.empty() && trailer == 0) {
            return UsageError(L"'" + bodyFile->text +
                              L"' is empty: without a --trailer it makes a file of 560 bytes, too short for an image");
        }
    } else {
        body = Pattern(static_cast<size_t>(size - kHeaderEnd), static_cast<uint32_t>(seed) + 1);
    }

    azk_CFirmImageBuilder builder;
    builder.SetKind(kind)
        .SetPrologue(Pattern(512, static_cast<uint32_t>(seed)))
        .SetBody(body)
        .SetTrailer(Pattern(static_cast<size_t>(trailer), static_cast<uint32_t>(seed) + 2));
    std::vector<uint8_t> image;
    try {
        image = builder.Build(damage);
    } catch (const std::invalid_argument&) {
        WidePrintf(L"FwImage: the damage '%ls' does not apply to an image without a body\n",
                   Widen(azk_CFirmImageBuilder::DamageName(damage)).c_str());
        return kFwImageExitNoDamage;
    }

    std::wstring error;
    if (!WriteWholeFile(output->path, image, error)) {
        WidePrintf(L"FwImage: cannot write '%ls': %ls\n", PrintableName(output->text).c_str(), error.c_str());
        return kFwImageExitUnwritable;
    }
    static const wchar_t* const kKinds[] = {L"FWUP", L"UASP", L"DSPA"};
    WidePrintf(L"wrote %ls: %ls, %lu bytes, damage %ls\n", PrintableName(output->text).c_str(), kKinds[kind],
               static_cast<unsigned long>(image.size()), Widen(azk_CFirmImageBuilder::DamageName(damage)).c_str());
    return kFwImageExitOk;
}

}  // namespace azk
