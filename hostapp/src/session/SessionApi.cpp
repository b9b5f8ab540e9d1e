// The C entry points of the session library. No exception crosses them.
#include "session/SessionApi.h"

#include <new>

#include "session/HidComm.h"

using azk::azk_CHidComm;

namespace {

azk_CHidComm* FromHandle(SessionHandle handle) { return reinterpret_cast<azk_CHidComm*>(handle); }
SessionHandle ToHandle(azk_CHidComm* session) { return reinterpret_cast<SessionHandle>(session); }

}  // namespace

extern "C" SessionHandle SessionCreate(int32_t variant, SessionEventCallback eventCallback) {
    azk_CHidComm* session = new (std::nothrow) azk_CHidComm();
    if (session == nullptr) return nullptr;
    bool started = false;
    try {
        started = session->Initialize(variant, eventCallback);
    } catch (...) {
        session->Terminate();
    }
    if (!started) {
        delete session;
        return nullptr;
    }
    return ToHandle(session);
}

extern "C" int32_t SessionFree(SessionHandle handle) {
    if (handle == nullptr) return SESSION_RESULT_CONNECTION;
    azk_CHidComm* session = FromHandle(handle);
    session->Terminate();
    delete session;
    return SESSION_RESULT_OK;
}

extern "C" int32_t SessionExec(SessionHandle handle, int32_t commandId, void* block,
                               int32_t* statusPair) {
    if (handle == nullptr) return SESSION_RESULT_CONNECTION;
    try {
        return FromHandle(handle)->Exec(commandId, block, statusPair);
    } catch (...) {
        // Only the session lock can throw (a system failure to lock it).
        return SESSION_RESULT_EXEC_SYSTEM;
    }
}

extern "C" int32_t SessionSetTextCallback(SessionHandle handle, SessionTextCallback callback,
                                          void* context) {
    if (handle == nullptr) return SESSION_RESULT_CONNECTION;
    FromHandle(handle)->SetTextCallback(callback, context);
    return SESSION_RESULT_OK;
}
