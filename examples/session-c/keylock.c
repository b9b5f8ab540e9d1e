/* Shows the speakerphone's key-lock configuration through the session library. */
#include <keyconfig/SessionApi.h>
#include <stdio.h>

int main(void) {
    SessionParamBlock block = {{0}}; /* target 0: the configuration in force */
    SessionHandle session = SessionCreate(SESSION_VARIANT_16, NULL);
    if (session == NULL) {
        fputs("no speakerphone found\n", stderr);
        return 2;
    }
    int32_t rc = SessionExec(session, SESSION_CMD_GET_KEY_LOCK_CONFIG, &block, NULL);
    SessionFree(session);
    if (rc != SESSION_RESULT_OK) {
        fprintf(stderr, "key lock: result %d\n", (int)rc);
        return 1;
    }
    unsigned mask = block.bytes[SESSION_KEYLOCK_LOCK_MASK] | block.bytes[SESSION_KEYLOCK_LOCK_MASK + 1] << 8;
    printf("lock mask 0x%04X, sound effect %s\n", mask, block.bytes[SESSION_KEYLOCK_SE_FLAG] ? "on" : "off");
    return 0;
}
