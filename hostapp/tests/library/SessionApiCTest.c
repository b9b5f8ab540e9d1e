/* The session library from C, through the installed form of its header
 * (<keyconfig/SessionApi.h>) and the shared library: the entry points that
 * need no device, and the block layout a C caller relies on. */
#include <keyconfig/SessionApi.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "SessionApiCTest.h"

static int failures = 0;

static void Expect(int condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "FAILED: %s\n", what);
        ++failures;
    }
}

static int TextCallback(void* context, int channel, const char* text, int length) {
    (void)context;
    (void)channel;
    (void)text;
    return length;
}

/* A filled block and status pair must come back untouched from a call that
 * has no session. */
static void ExpectNoSessionCall(int32_t (*exec)(int32_t, SessionParamBlock*, int32_t*), int32_t commandId,
                                const char* what) {
    SessionParamBlock block;
    SessionParamBlock before;
    int32_t statusPair[2] = {77, 88};
    memset(block.bytes, 0x5A, sizeof block.bytes);
    before = block;
    Expect(exec(commandId, &block, statusPair) == SESSION_RESULT_CONNECTION, what);
    Expect(memcmp(block.bytes, before.bytes, sizeof block.bytes) == 0, "no session: block untouched");
    Expect(statusPair[0] == 77 && statusPair[1] == 88, "no session: status pair untouched");
}

static int32_t ExecWithoutSessionC11(int32_t commandId, SessionParamBlock* block, int32_t* statusPair) {
    return SessionExec(NULL, commandId, block, statusPair);
}

int main(void) {
    static const int32_t badVariants[] = {0, 3, -1, 255};
    size_t i;
    for (i = 0; i < sizeof badVariants / sizeof badVariants[0]; ++i) {
        SessionHandle session = SessionCreate(badVariants[i], NULL);
        Expect(session == NULL, "SessionCreate refuses a variant other than 1 or 2");
        if (session != NULL) SessionFree(session);
    }

    Expect(SessionFree(NULL) == SESSION_RESULT_CONNECTION, "SessionFree(NULL) gives -4");
    Expect(SessionSetTextCallback(NULL, TextCallback, NULL) == SESSION_RESULT_CONNECTION,
           "SessionSetTextCallback(NULL) gives -4");
    Expect(SessionExec(NULL, SESSION_CMD_GET_KEY_LOCK_CONFIG, NULL, NULL) == SESSION_RESULT_CONNECTION,
           "SessionExec(NULL) without block or status pair gives -4");
    ExpectNoSessionCall(ExecWithoutSessionC11, SESSION_CMD_GET_KEY_LOCK_CONFIG, "C11: SessionExec(NULL) gives -4");
    ExpectNoSessionCall(ExecWithoutSessionC99, SESSION_CMD_SET_KEY_LOCK_CONFIG, "C99: SessionExec(NULL) gives -4");
    ExpectNoSessionCall(ExecWithoutSessionCxx98, SESSION_CMD_SET_KEY_LOCK_CONFIG, "C++98: SessionExec(NULL) gives -4");
    ExpectNoSessionCall(ExecWithoutSessionC11, 27, "an unknown command without a session still gives -4");

    /* The layout a C caller writes into. */
    Expect(sizeof(SessionParamBlock) == 84, "the block is 84 bytes");
    Expect(offsetof(SessionParamBlock, bytes) == 0, "the block's bytes start it");
    Expect(SESSION_POINTER_SIZE == (int)sizeof(void*), "pointer fields are as wide as a pointer");
    Expect(SESSION_RAW_SIZE == SESSION_RAW_BUFFER + SESSION_POINTER_SIZE, "command 82's size follows its pointer");
    Expect(SESSION_XFER_BUFFER + SESSION_POINTER_SIZE <= SESSION_BLOCK_TARGET,
           "a block transfer's pointer ends before the target field");
    Expect(sizeof(SessionFirmwareUpdateBlock) >= sizeof(const uint8_t*) + sizeof(uint32_t),
           "the firmware update record holds the image pointer and size");

    if (failures == 0) printf("session C interface: all checks passed\n");
    return failures == 0 ? 0 : 1;
}
