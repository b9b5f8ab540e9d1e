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
    return SessionCreateAt(variant, 0, eventCallback);
}

extern "C" SessionHandle SessionCreateAt(int32_t variant, int32_t index, SessionEventCallback eventCallback) {
    azk_CHidComm* session = nullptr;
    try {
        session = new (std::nothrow) azk_CHidComm();
        if (session == nullptr) return nullptr;
        if (session->Initialize(variant, eventCallback, index)) return ToHandle(session);
    } catch (...) {
    }
    if (session != nullptr) {
        try {
            session->Terminate();
        } catch (...) {
        }
        delete session;
    }
    return nullptr;
}

extern "C" int32_t SessionFree(SessionHandle handle) {
    if (handle == nullptr) return SESSION_RESULT_CONNECTION;
    azk_CHidComm* session = FromHandle(handle);
    // From a callback on the session's own receiver thread, stopping would
    // mean that thread waiting for itself; from a progress callback, the
    // command that called it would go on with the session gone. The
    // session goes on.
    if (session->OnReceiverThread() || session->InCommandOnThisThread()) return SESSION_RESULT_GENERAL;
    try {
        session->Terminate();
    } catch (...) {
        // Joining the receiver failed: the thread still runs with the
        // session, which must not be released under it.
        return SESSION_RESULT_GENERAL;
    }
    delete session;
    return SESSION_RESULT_OK;
}

extern "C" int32_t SessionExec(SessionHandle handle, int32_t commandId, void* block,
                               int32_t* statusPair) {
    if (handle == nullptr) return SESSION_RESULT_CONNECTION;
    azk_CHidComm* session = FromHandle(handle);
    // From a callback on the session's own receiver thread: the answer
    // would be that thread's to read, and a command of the caller's that
    // waits for it would wait too. Nothing is sent.
    if (session->OnReceiverThread()) return SESSION_RESULT_GENERAL;
    try {
        return session->Exec(commandId, block, statusPair);
    } catch (...) {
        // The session lock could not be taken (a system failure).
        return SESSION_RESULT_GENERAL;
    }
}

extern "C" int32_t SessionSetTextCallback(SessionHandle handle, SessionTextCallback callback,
                                          void* context) {
    if (handle == nullptr) return SESSION_RESULT_CONNECTION;
    try {
        FromHandle(handle)->SetTextCallback(callback, context);
    } catch (...) {
        return SESSION_RESULT_GENERAL;
    }
    return SESSION_RESULT_OK;
}
