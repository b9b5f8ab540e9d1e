/*
 * SessionApi.h - the session library's public interface.
 *
 * A session is one open connection to the speakerphone's HID interface: it
 * finds and opens the device, runs a receiver thread, and executes numbered
 * device commands. Plain C linkage, no platform headers.
 *
 *   SessionHandle s = SessionCreate(1, MyEventCallback);
 *   SessionParamBlock block = {0};
 *   int32_t statusPair[2];
 *   int32_t rc = SessionExec(s, SESSION_CMD_GET_KEY_LOCK_CONFIG, &block, statusPair);
 *   SessionFree(s);
 *
 * Every entry point returns a result code (SESSION_RESULT_*): 0 on success,
 * a negative value on failure. No exception crosses these functions.
 */
#ifndef AZK_SESSION_API_H
#define AZK_SESSION_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque handle of one session; NULL means no session. */
typedef struct azk_SessionOpaque* SessionHandle;

/*
 * Event callback: called on the session's receiver thread for every event
 * packet the device sends (event type, value) and once with (255, 0) when the
 * device is lost. It must not call SessionFree on its own session.
 */
typedef void (*SessionEventCallback)(int event, int stat);

/* Device variants accepted by SessionCreate. */
enum {
    SESSION_VARIANT_16 = 1, /* 16-byte HID reports, base product ID */
    SESSION_VARIANT_64 = 2  /* 64-byte HID reports, base product ID + 1 */
};

/* The event value of the device-lost event. */
enum { SESSION_EVENT_DEVICE_LOST = 255 };

/* Result codes. */
enum {
    SESSION_RESULT_OK = 0,
    SESSION_RESULT_GENERAL = -1,          /* empty request handed to the transport */
    SESSION_RESULT_PARAMETER = -2,        /* not returned by the library */
    SESSION_RESULT_INITIALIZE = -3,       /* firmware image memory could not be had */
    SESSION_RESULT_CONNECTION = -4,       /* empty session handle */
    SESSION_RESULT_COMMAND = -5,          /* command id not in the command table */
    SESSION_RESULT_DEVICE = -6,           /* not returned by the library */
    SESSION_RESULT_TIMEOUT = -7,          /* report not written in 500 ms, or no response in time */
    SESSION_RESULT_EXEC_SYSTEM = -8,      /* not returned by the library */
    SESSION_RESULT_NOT_ENOUGH_ARGS = -9,  /* firmware image too short or header invalid */
    SESSION_RESULT_BAD_BLOCK = -10,       /* empty parameter block, or it asks for too much */
    SESSION_RESULT_CLOSING = -11,         /* session closing or receiver ended during the wait */
    SESSION_RESULT_BAD_RESPONSE = -12,    /* response length, op or function not the expected */
    SESSION_RESULT_DEVICE_STATUS = -13,   /* device answered with a non-zero status */
    SESSION_RESULT_IMAGE_CHECKSUM = -14,  /* firmware image failed its checksum test */
    SESSION_RESULT_FW_LOAD = -15,         /* FU_SETINFO or FU_FWLOAD failed on its last attempt */
    SESSION_RESULT_FW_WRITE = -16         /* FU_WRITEFW failed on its last attempt */
};

/* Command ids (0 to 82; 27 has no entry). */
enum {
    SESSION_CMD_SET_KEY_LOCK_CONFIG = 29,
    SESSION_CMD_GET_KEY_LOCK_CONFIG = 30,
    SESSION_CMD_FIRMWARE_UPDATE = 64
};

/*
 * The parameter block: 84 bytes, byte-packed. Bytes 0-79 are the command's
 * own fields; bytes 80-83 are the 32-bit target field, little-endian, whose
 * low byte most commands send as the request's target. Multi-byte numbers in
 * the block are little-endian, as on the wire.
 *
 * Key lock (commands 29 set, 30 get):
 *   byte 0      SE flag: non-zero = play the sound effect when a locked key
 *               is pressed
 *   bytes 2-3   lock mask, 16-bit: bit set = key works, bit clear = locked
 *               (0x0001 Bluetooth, 0x0002 Call, 0x0004 MicMute,
 *                0x0008 VolDown, 0x0010 VolUp, 0x0040 SpMute; 0x0020 no key;
 *                0x007F = nothing locked)
 *   bytes 80-83 target: 0 = configuration in force, 1 = default configuration
 */
enum {
    SESSION_BLOCK_SIZE = 84,
    SESSION_BLOCK_TARGET = 80,          /* offset of the 32-bit target field */
    SESSION_KEYLOCK_SE_FLAG = 0,        /* offset of the SE flag byte */
    SESSION_KEYLOCK_LOCK_MASK = 2       /* offset of the 16-bit lock mask */
};

typedef struct SessionParamBlock {
    uint8_t bytes[SESSION_BLOCK_SIZE];
} SessionParamBlock;

#ifdef __cplusplus
static_assert(sizeof(SessionParamBlock) == 84, "the parameter block is 84 bytes");
#else
_Static_assert(sizeof(SessionParamBlock) == 84, "the parameter block is 84 bytes");
#endif

/*
 * Creates a session on variant 1 or 2 and opens the first matching device.
 * The event callback may be NULL. Returns NULL on any failure (no device,
 * bad variant, resources); nothing is left behind then.
 */
SessionHandle SessionCreate(int32_t variant, SessionEventCallback eventCallback);

/* Stops and destroys the session. Returns -4 for a NULL handle, else 0. */
int32_t SessionFree(SessionHandle session);

/*
 * Executes one command. block points to the command's parameter block
 * (normally a SessionParamBlock; command 64 takes its own record) and may be
 * NULL, which the command answers with -10. statusPair, when not NULL,
 * receives the status and detail bytes of the last response the session
 * received, after every call. Returns -4 for a NULL handle, -5 for an
 * unknown command id, else the command's result.
 */
int32_t SessionExec(SessionHandle session, int32_t commandId, void* block, int32_t* statusPair);

/*
 * Text messages. The device may send text messages at any time; they are
 * dropped unless a text callback is installed. The callback runs on the
 * receiver thread with the message's channel (0-255), its text (terminated
 * by NUL; the device's last byte is replaced by the terminator) and its
 * length L, which counts the terminator. A message with L = 0 arrives as an
 * empty text with length 0. The result is ignored; context is passed back.
 */
typedef int (*SessionTextCallback)(void* context, int channel, const char* text, int length);

/* Installs (or, with NULL, removes) the text callback. -4 for a NULL handle. */
int32_t SessionSetTextCallback(SessionHandle session, SessionTextCallback callback, void* context);

#ifdef __cplusplus
}
#endif

#endif /* AZK_SESSION_API_H */
