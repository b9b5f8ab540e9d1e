#include "win/KeyConfig/KeyConfigApp.h"

#include "session/SessionApi.h"
#include "support/ByteOrder.h"
#include "support/WideConsole.h"

namespace azk {
namespace {

// The one line that names who makes this program, in the usage text.
constexpr const wchar_t* kNoticeLine = L"Copyright (C) 2026 The KeyConfig Project\n";

constexpr const wchar_t* kOptionHelp = L"-help";
constexpr const wchar_t* kOptionRequire = L"-require";
constexpr const wchar_t* kOptionReset = L"-reset";
constexpr const wchar_t* kOptionLock = L"-lock";
constexpr const wchar_t* kOptionSe = L"-se";
constexpr const wchar_t* kValueOn = L"on";
constexpr const wchar_t* kValueOff = L"off";

// Target field values of the key-lock commands.
constexpr uint32_t kTargetInForce = 0;
constexpr uint32_t kTargetDefault = 1;

struct ResultMessage {
    int32_t code;
    const wchar_t* text;
};

constexpr ResultMessage kResultMessages[] = {
    {0, L"ok : completed\n"},
    {-1, L"error : general error\n"},
    {-2, L"error : parameter error\n"},
    {-3, L"error : initialize error\n"},
    {-4, L"error : connection error\n"},
    {-5, L"error : command error\n"},
    {-6, L"error : device error\n"},
    {-7, L"error : timeout error\n"},
    {-8, L"error : exec system error\n"},
    {-9, L"error : not enough arguments\n"},
};
constexpr const wchar_t* kUnknownResultMessage = L"error : unknown error\n";

const KeyTableEntry* FindKey(const std::wstring& word) {
    for (const KeyTableEntry& key : kKeyTable) {
        if (word == key.name) return &key;
    }
    return nullptr;
}

std::wstring WidenAscii(const char* text) {
    std::wstring wide;
    for (const char* p = text; *p != '\0'; ++p) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*p)));
    return wide;
}

// Owns the one session of an action; frees it on every path.
class azk_CSessionHolder {
public:
    explicit azk_CSessionHolder(SessionHandle session) : session_(session) {}
    ~azk_CSessionHolder() { Free(); }
    azk_CSessionHolder(const azk_CSessionHolder&) = delete;
    azk_CSessionHolder& operator=(const azk_CSessionHolder&) = delete;

    SessionHandle Get() const { return session_; }

    void Free() {
        if (session_ != nullptr) {
            SessionFree(session_);
            session_ = nullptr;
        }
    }

private:
    SessionHandle session_;
};

// The records one action works on: the parameter block and the status pair.
struct ActionRecords {
    SessionParamBlock block{};
    int32_t statusPair[2] = {0, 0};
};

void SetTarget(SessionParamBlock& block, uint32_t target) {
    Write32(&block.bytes[SESSION_BLOCK_TARGET], target);
}

int32_t Exec(SessionHandle session, int32_t commandId, ActionRecords& records) {
    return SessionExec(session, commandId, &records.block, records.statusPair);
}

int32_t ShowKeyConfig(SessionHandle session, ActionRecords& records) {
    if (Exec(session, SESSION_CMD_GET_KEY_LOCK_CONFIG, records) != SESSION_RESULT_OK) {
        return SESSION_RESULT_GENERAL;
    }
    const uint16_t lockMask = Read16(&records.block.bytes[SESSION_KEYLOCK_LOCK_MASK]);
    const uint8_t seFlag = records.block.bytes[SESSION_KEYLOCK_SE_FLAG];

    WidePrintf(L"\n");
    WidePrintf(L"current key configs : \n");
    if (lockMask == kLockMaskNoneLocked) {
        WidePrintf(L"  (not key locked)\n");
        return SESSION_RESULT_OK;
    }
    WidePrintf(L"  locked key = \n");
    for (const KeyTableEntry& key : kKeyTable) {
        if ((lockMask & key.bit) == 0) WidePrintf(L"    %ls\n", key.name);
    }
    WidePrintf(L"  se = %ls\n", seFlag != 0 ? kValueOn : kValueOff);
    return SESSION_RESULT_OK;
}

int32_t ResetKeyConfig(SessionHandle session, ActionRecords& records) {
    WidePrintf(L"\n");
    WidePrintf(L"reset key configs ... \n");
    // Read the default configuration into the block, then write it back as
    // the configuration in force. A failed read writes nothing.
    SetTarget(records.block, kTargetDefault);
    if (Exec(session, SESSION_CMD_GET_KEY_LOCK_CONFIG, records) != SESSION_RESULT_OK) {
        return SESSION_RESULT_GENERAL;
    }
    SetTarget(records.block, kTargetInForce);
    if (Exec(session, SESSION_CMD_SET_KEY_LOCK_CONFIG, records) != SESSION_RESULT_OK) {
        return SESSION_RESULT_GENERAL;
    }
    return SESSION_RESULT_OK;
}

int32_t SetKeyConfig(SessionHandle session, ActionRecords& records, const KeyConfigCommand& command) {
    WidePrintf(L"\n");
    WidePrintf(L"set key configs ... \n");
    records.block.bytes[SESSION_KEYLOCK_SE_FLAG] = command.seValue;
    Write16(&records.block.bytes[SESSION_KEYLOCK_LOCK_MASK], command.lockMask);
    if (Exec(session, SESSION_CMD_SET_KEY_LOCK_CONFIG, records) != SESSION_RESULT_OK) {
        return SESSION_RESULT_GENERAL;
    }
    return SESSION_RESULT_OK;
}

int32_t PerformAction(const KeyConfigCommand& command) {
    ActionRecords records;
    int32_t result = SESSION_RESULT_CONNECTION;
    {
        azk_CSessionHolder session(SessionCreate(SESSION_VARIANT_16, PrintEvent));
        if (session.Get() != nullptr) {
            switch (command.action) {
            case KeyConfigAction::Show:
                result = ShowKeyConfig(session.Get(), records);
                break;
            case KeyConfigAction::Reset:
                result = ResetKeyConfig(session.Get(), records);
                break;
            case KeyConfigAction::Set:
                result = SetKeyConfig(session.Get(), records, command);
                break;
            case KeyConfigAction::Usage:
                result = SESSION_RESULT_GENERAL;  // not reached: usage opens no session
                break;
            }
        }
        // The session is freed here, before the result line.
    }
    PrintResult(result);
    return result;
}

}  // namespace

std::wstring BuildDate() { return WidenAscii(__DATE__); }
std::wstring BuildTime() { return WidenAscii(__TIME__); }

KeyConfigCommand ParseArguments(const std::vector<std::wstring>& words) {
    enum : unsigned { kLockGiven = 1u << 0, kSeGiven = 1u << 1 };

    KeyConfigCommand usage;  // the outcome of every rejected command line
    KeyConfigCommand parsed;
    unsigned givenFlags = 0;
    bool resetFlag = false;
    bool requireFlag = false;

    if (words.empty()) return usage;

    const size_t count = words.size();
    size_t i = 0;
    while (i < count) {
        if (words[i] == kOptionLock) {
            givenFlags |= kLockGiven;
            ++i;
            // The key list: every following key name locks its key. The first
            // word that is no key name ends it and is examined below, where a
            // second "-lock" is an unknown word.
            while (i < count) {
                const KeyTableEntry* key = FindKey(words[i]);
                if (key == nullptr) break;
                parsed.lockMask = static_cast<uint16_t>(parsed.lockMask & ~key->bit);
                ++i;
            }
            if (i >= count) break;
        }

        const std::wstring& word = words[i];
        if (word == kOptionHelp) {
            return usage;
        } else if (word == kOptionReset) {
            resetFlag = true;
        } else if (word == kOptionSe) {
            givenFlags |= kSeGiven;
            ++i;
            if (i >= count) return usage;
            if (words[i] == kValueOn) {
                parsed.seValue = 1;
            } else if (words[i] == kValueOff) {
                parsed.seValue = 0;
            } else {
                return usage;
            }
        } else if (word == kOptionRequire) {
            requireFlag = true;
        } else {
            return usage;
        }
        ++i;
    }

    if (requireFlag) {
        parsed.action = KeyConfigAction::Show;
    } else if (resetFlag) {
        parsed.action = KeyConfigAction::Reset;
    } else if ((givenFlags & (kLockGiven | kSeGiven)) == (kLockGiven | kSeGiven)) {
        parsed.action = KeyConfigAction::Set;
    } else {
        return usage;
    }
    return parsed;
}

int32_t RunKeyConfig(const wchar_t* programName, const std::vector<std::wstring>& words) {
    const KeyConfigCommand command = ParseArguments(words);
    if (command.action == KeyConfigAction::Usage) {
        PrintUsage(programName);
        return SESSION_RESULT_OK;
    }
    return PerformAction(command);
}

void PrintUsage(const wchar_t* programName) {
    const wchar_t* name = programName != nullptr ? programName : L"";
    const std::wstring buildDate = BuildDate();
    const std::wstring buildTime = BuildTime();
    const wchar_t* firstKey = kKeyTable[0].name;

    WidePrintf(L"\n%ls [ver.%ls] (build date : %ls %ls)\n", name, kKeyConfigVersion, buildDate.c_str(),
               buildTime.c_str());
    WidePrintf(kNoticeLine);
    WidePrintf(L"\n");
    WidePrintf(L"Usage : \n");
    WidePrintf(L"  %ls <command> [prm] ... \n\n", name);
    WidePrintf(L"<command> = \n");
    WidePrintf(L"  %ls : print this usage.\n", kOptionHelp);
    WidePrintf(L"  %ls : get current key configs.\n", kOptionRequire);
    WidePrintf(L"  %ls : reset to default about key configs.\n", kOptionReset);
    WidePrintf(L"  %ls [key] : lock specified keys (multiple entries allowed).\n", kOptionLock);
    WidePrintf(L"     [key] = \n");
    for (const KeyTableEntry& key : kKeyTable) WidePrintf(L"       \"%ls\"\n", key.name);
    WidePrintf(L"  %ls [onoff] : select whether playing SE when pushed locked key.\n", kOptionSe);
    WidePrintf(L"     [onoff] = \n");
    WidePrintf(L"       \"%ls\"\n", kValueOn);
    WidePrintf(L"       \"%ls\"\n", kValueOff);
    WidePrintf(L"\n");
    WidePrintf(L"(e.g.) To lock \"%ls\" key, execute the following command. \n", firstKey);
    WidePrintf(L"%ls %ls %ls %ls %ls", name, kOptionLock, firstKey, kOptionSe, kValueOn);
    WidePrintf(L"\n");
}

void PrintEvent(int event, int stat) {
    if (event == SESSION_EVENT_DEVICE_LOST) return;
    WidePrintf(L"Event Packet : event=0x%02x stat=0x%02x\n", static_cast<unsigned>(event),
               static_cast<unsigned>(stat));
}

void PrintResult(int32_t result) {
    const wchar_t* message = kUnknownResultMessage;
    for (const ResultMessage& entry : kResultMessages) {
        if (entry.code == result) {
            message = entry.text;
            break;
        }
    }
    WidePrintf(L"\n");
    WidePrintf(message);
}

}  // namespace azk
