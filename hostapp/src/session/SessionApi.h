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

/*
 * AZK_SESSION_API marks the exported entry points. A program that links the
 * static library defines AZK_SESSION_STATIC (the CMake target
 * KeyConfig::SessionStatic and `pkg-config --static` do); on Windows it then
 * does not import the functions from the DLL. AZK_SESSION_BUILD is defined
 * while the library itself is compiled.
 */
#if defined(_WIN32) && defined(AZK_SESSION_BUILD)
#define AZK_SESSION_API __declspec(dllexport)
#elif defined(_WIN32) && !defined(AZK_SESSION_STATIC)
#define AZK_SESSION_API __declspec(dllimport)
#elif defined(__GNUC__)
#define AZK_SESSION_API __attribute__((visibility("default")))
#else
#define AZK_SESSION_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque handle of one session; NULL means no session. */
typedef struct azk_SessionOpaque* SessionHandle;

/*
 * Event callback: called on the session's receiver thread for every event
 * packet the device sends (event type, value) and once with (255, 0) when the
 * device is lost. SessionFree and SessionExec on its own session from there
 * do nothing and return SESSION_RESULT_GENERAL (see each): another thread
 * runs the commands an event calls for. Anything it throws is caught and
 * ignored. Events come in the order the device sent them; one
 * that arrives within 10 ms after a command or after the session's start may
 * reach the callback up to 10 ms late (while commands follow one another,
 * the calling thread reads the device itself and passes events on).
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
    SESSION_RESULT_GENERAL = -1,          /* empty request handed to the transport; SessionFree
                                             or SessionExec called on the session's own
                                             receiver thread; SessionFree called within the
                                             session's own command; a callback threw during
                                             SessionExec */
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
    SESSION_RESULT_BAD_RESPONSE = -12,    /* response length, op or function not the expected,
                                             or the response ended before its declared length */
    SESSION_RESULT_DEVICE_STATUS = -13,   /* device answered with a non-zero status */
    SESSION_RESULT_IMAGE_CHECKSUM = -14,  /* firmware image failed its checksum test */
    SESSION_RESULT_FW_LOAD = -15,         /* FU_SETINFO or FU_FWLOAD failed on its last attempt */
    SESSION_RESULT_FW_WRITE = -16         /* FU_WRITEFW failed on its last attempt */
};

/*
 * Command ids (0 to 82; 27 has no entry). Most commands set (SET_) or get
 * (GET_) one device function, named by its 16-bit number in the constant's
 * name; the block transfers, short block transfers and the raw message
 * command carry their kind in the name. The block layout of each command is
 * in the table after the parameter block below.
 */
enum {
    SESSION_CMD_GET_0000 = 0,
    SESSION_CMD_SET_0001 = 1,
    SESSION_CMD_GET_0001 = 2,
    SESSION_CMD_SET_0003 = 3,
    SESSION_CMD_SET_0004 = 4,
    SESSION_CMD_GET_0005 = 5,
    SESSION_CMD_GET_0006 = 6,
    SESSION_CMD_GET_0007 = 7,
    SESSION_CMD_GET_0009 = 8,
    SESSION_CMD_SET_000A = 9,
    SESSION_CMD_GET_000A = 10,
    SESSION_CMD_SET_000C = 11,
    SESSION_CMD_SET_000D = 12,
    SESSION_CMD_GET_000D = 13,
    SESSION_CMD_SET_000F = 14,
    SESSION_CMD_GET_000F = 15,
    SESSION_CMD_SET_0011 = 16,
    SESSION_CMD_GET_0011 = 17,
    SESSION_CMD_SET_0013 = 18,
    SESSION_CMD_GET_0013 = 19,
    SESSION_CMD_SET_0015 = 20,
    SESSION_CMD_GET_0015 = 21,
    SESSION_CMD_SET_0017 = 22,
    SESSION_CMD_GET_0017 = 23,
    SESSION_CMD_SET_0019 = 24,
    SESSION_CMD_SET_001C = 25,
    SESSION_CMD_GET_001C = 26,
    SESSION_CMD_GET_0030 = 28,
    SESSION_CMD_SET_KEY_LOCK_CONFIG = 29, /* function 0x0036 */
    SESSION_CMD_GET_KEY_LOCK_CONFIG = 30, /* function 0x0036 */
    SESSION_CMD_SET_0100 = 31,
    SESSION_CMD_SET_0103 = 32,
    SESSION_CMD_GET_0103 = 33,
    SESSION_CMD_SET_0104 = 34,
    SESSION_CMD_GET_0104 = 35,
    SESSION_CMD_SET_010E = 36,
    SESSION_CMD_GET_010E = 37,
    SESSION_CMD_SET_010F = 38,
    SESSION_CMD_GET_010F = 39,
    SESSION_CMD_SET_0111 = 40,
    SESSION_CMD_GET_0111 = 41,
    SESSION_CMD_SET_0114 = 42,
    SESSION_CMD_GET_0114 = 43,
    SESSION_CMD_SET_0130 = 44,
    SESSION_CMD_GET_0130 = 45,
    SESSION_CMD_SET_0131 = 46,
    SESSION_CMD_GET_0131 = 47,
    SESSION_CMD_GET_0304 = 48,
    SESSION_CMD_GET_0700 = 49,
    SESSION_CMD_SET_0701 = 50,
    SESSION_CMD_BLOCK_WRITE_0800 = 51,
    SESSION_CMD_BLOCK_READ_0800 = 52,
    SESSION_CMD_SET_0801 = 53,
    SESSION_CMD_GET_0801 = 54,
    SESSION_CMD_BLOCK_WRITE_0802 = 55,
    SESSION_CMD_BLOCK_READ_0802 = 56,
    SESSION_CMD_SET_0804 = 57,
    SESSION_CMD_GET_0805 = 58,
    SESSION_CMD_SET_0807 = 59,
    SESSION_CMD_SET_080A = 60,
    SESSION_CMD_SHORT_WRITE_080B = 61,
    SESSION_CMD_SHORT_READ_080B = 62,
    SESSION_CMD_GET_080C = 63,
    SESSION_CMD_FIRMWARE_UPDATE = 64,
    SESSION_CMD_SET_0A00 = 65,
    SESSION_CMD_SET_0A01 = 66,
    SESSION_CMD_GET_0A01 = 67,
    SESSION_CMD_SET_0A03 = 68,
    SESSION_CMD_GET_0A03 = 69,
    SESSION_CMD_GET_0A05 = 70,
    SESSION_CMD_GET_0A07 = 71,
    SESSION_CMD_SET_0B00 = 72,
    SESSION_CMD_SET_0B05 = 73,
    SESSION_CMD_GET_0E02 = 74,
    SESSION_CMD_SET_0E03 = 75,
    SESSION_CMD_GET_0E04 = 76,
    SESSION_CMD_BLOCK_WRITE_0E05 = 77,
    SESSION_CMD_BLOCK_READ_0E05 = 78,
    SESSION_CMD_SHORT_WRITE_0E06 = 79,
    SESSION_CMD_SHORT_READ_0E06 = 80,
    SESSION_CMD_GET_F010 = 81,
    SESSION_CMD_RAW_MESSAGE = 82
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

/*
 * The other commands' blocks. Column "sent": `arg` is the request's arg
 * byte (block 0, or 0); `target` is T (the target field's low byte) or 0;
 * then the block bytes that make up the request payload, in order. Column
 * "filled on success": where the reply goes ("arg" is the reply's arg byte,
 * p.k is reply payload byte k). A text field gets a NUL after it, written
 * by the command; "raw" fields get none. Block bytes a command does not name
 * are neither read nor written. Time-outs are 5000 ms unless given.
 *
 *  id  function op   arg  target  sent (request payload)   filled on success
 *   0  0x0000   get  b0   T       1-2 u16, 3               4-5 u16 <- p.0-1, 6 <- p.2
 *   1  0x0001   set  b0   T       -                        -
 *   2  0x0001   get  0    T       -                        0 <- arg
 *   3  0x0003   set  0    T       -                        -
 *   4  0x0004   set  b0   T       -        (60000 ms)      -
 *   5  0x0005   get  0    T       -                        text 0-39 NUL 40, text 41-44 NUL 45,
 *                                                          text 46-61 NUL 62, text 63-78 NUL 79
 *   6  0x0006   get  b0   T       -                        text 4-19 NUL 20 (1-3 untouched)
 *   7  0x0007   get  0    T       -                        0-3 u32, 4-7 u32
 *   8  0x0009   get  b0   T       -                        1 <- p.0
 *   9  0x000A   set  b0   T       -                        -
 *  10  0x000A   get  0    T       -                        0 <- arg
 *  11  0x000C   set  b0   T       1                        -
 *  12  0x000D   set  b0   T       -                        -
 *  13  0x000D   get  0    T       -                        0 <- arg
 *  14  0x000F   set  0    T       0-3 u32                  -
 *  15  0x000F   get  0    T       -                        0-3 u32
 *  16  0x0011   set  b0   T       -                        -
 *  17  0x0011   get  0    T       -                        0 <- arg
 *  18  0x0013   set  b0   T       1                        -
 *  19  0x0013   get  b0   T       -                        1 <- p.0
 *  20  0x0015   set  b0   T       -                        -
 *  21  0x0015   get  0    T       -                        0 <- arg
 *  22  0x0017   set  0    T       0-1 u16                  -
 *  23  0x0017   get  0    T       -                        0-1 u16
 *  24  0x0019   set  0    T       -                        -
 *  25  0x001C   set  0    T       0-19 (20 text bytes, no NUL needed)
 *  26  0x001C   get  0    T       -                        text 0-19 NUL 20
 *  28  0x0030   get  0    T       -                        0 <- arg
 *  31  0x0100   set  0    T       -                        -
 *  32  0x0103   set  b0   T       2-3 u16                  -
 *  33  0x0103   get  b0   T       -                        2-3 u16
 *  34  0x0104   set  b0   T       1                        -
 *  35  0x0104   get  b0   T       -                        1 <- p.0
 *  36  0x010E   set  b0   T       -                        -
 *  37  0x010E   get  0    T       -                        0 <- arg
 *  38  0x010F   set  b0   T       -                        -
 *  39  0x010F   get  0    T       -                        0 <- arg
 *  40  0x0111   set  b0   T       -                        -
 *  41  0x0111   get  0    T       -                        0 <- arg
 *  42  0x0114   set  b0   0       -                        -
 *  43  0x0114   get  0    T       -                        0 <- arg
 *  44  0x0130   set  b0   T       -                        -
 *  45  0x0130   get  0    T       -                        0 <- arg
 *  46  0x0131   set  0    T       0-1 u16                  -
 *  47  0x0131   get  0    T       -                        0-1 u16
 *  48  0x0304   get  b0   T       -        (30000 ms)      1024 bytes to the buffer at
 *                                                          SESSION_TABLE_BUFFER
 *  49  0x0700   get  0    T       -                        0-27 (raw)
 *  50  0x0701   set  0    T       -        (60000 ms)      -
 *  53  0x0801   set  b0   T       1, 2                     -
 *  54  0x0801   get  b0   T       1                        2 <- p.1
 *  57  0x0804   set  b0   T       4, 5, 6 (low 3 bytes of the u32 at 4-7)
 *  58  0x0805   get  b0   0       -                        2-3 u16 (also when the reply's
 *                                                          header is wrong: result -12)
 *  59  0x0807   set  0    T       M bytes from 2 on, M = u16 at 0-1, at most 78
 *  60  0x080A   set  0    T       0                        -
 *  63  0x080C   get  b0   0       -                        2-5 u32, 6-7 u16
 *  65  0x0A00   set  0    T       -                        -
 *  66  0x0A01   set  b0   T       1-16 (16 text bytes)     -
 *  67  0x0A01   get  b0   T       -                        text 1-16 NUL 17
 *  68  0x0A03   set  b0   T       1, 2-3 u16               -
 *  69  0x0A03   get  b0   T       1                        2-3 u16 <- p.1-2
 *  70  0x0A05   get  0    T       -                        0-7, 8-9 u16, 11-14 u32 <- p.10-13,
 *                                                          15-16 u16 <- p.14-15 (10 untouched)
 *  71  0x0A07   get  0    T       -                        0 <- p.0
 *  72  0x0B00   set  0    T       0                        -
 *  73  0x0B05   set  b0   T       -        (20000 ms)      1 <- p.0 (the acknowledgement's byte)
 *  74  0x0E02   get  0    T       -                        text 0-15 NUL 16, text 17-36 NUL 37
 *  75  0x0E03   set  0    0       -                        -
 *  76  0x0E04   get  b0   0       -                        1-16, 17-32 (raw, no NUL)
 *  81  0xF010   get  0    T       -                        0-31 (raw, no NUL)
 *
 * Block transfers (51/52 function 0x0800, 55/56 0x0802, 77/78 0x0E05;
 * 51, 52, 55, 56 send T, 77 and 78 send target 0; time-outs 120000 ms for
 * 51 and 55, 30000 ms for 52 and 56, 5000 ms for 77 and 78):
 *   0                 selector, sent as arg
 *   4-7               address, u32, sent as request payload 0-3
 *   8-9               count N, u16, sent as request payload 4-5; at most
 *                     SESSION_XFER_MAX_COUNT (a larger N gives -10)
 *   SESSION_XFER_BUFFER  pointer to the caller's N bytes: a write sends
 *                     them after the 6 header bytes, a read fills them
 *                     from reply payload 6 on
 *
 * Short block transfers (61/62 function 0x080B, 79/80 0x0E06; target 0):
 *   61, 62: 0 selector (arg), 1 start, 2 count N (u8); sent: 1, 2
 *   79, 80: 0-1 start (two bytes, sent in that order; arg 0), 2 count N;
 *           sent: 0, 1, 2
 *   SESSION_SHORT_BUFFER  pointer to the caller's N bytes: a write sends them
 *           after the header bytes; a read fills them from the reply's
 *           payload after its 2 (62) or 3 (80) header bytes. 62 also copies
 *           reply payload 0-1 back into block 1-2.
 *
 * Raw message (82; 60000 ms): SESSION_RAW_BUFFER holds a pointer to a
 * buffer that holds a whole request message (8-byte header and payload, sent
 * as it is) and, after success, the response message (header included) cut
 * to the buffer's size; SESSION_RAW_SIZE holds that size S, u32. S must be
 * at least 8 + the `length` in the message's bytes 6-7 and at most
 * SESSION_RAW_MAX_SIZE, else -10. The response's op, function and length
 * are not checked.
 *
 * Pointer fields are SESSION_POINTER_SIZE bytes wide (the size of a data
 * pointer: 8 in a 64-bit build, 4 in a 32-bit one) and hold the pointer's
 * own bytes (store it with memcpy). A null pointer is refused with -10 when
 * the command has bytes to move (N > 0); with N = 0 it is not used. The
 * field after a pointer moves with its width: command 82's size is at 4-7
 * in a 32-bit build and at 8-11 in a 64-bit one. The target field stays at
 * 80-83 and the block at 84 bytes in both.
 */
enum {
    SESSION_POINTER_SIZE = (int)sizeof(void*),
    SESSION_TABLE_BUFFER = 4,      /* 48: pointer to 1024 bytes */
    SESSION_XFER_SELECTOR = 0,     /* block transfers */
    SESSION_XFER_ADDRESS = 4,
    SESSION_XFER_COUNT = 8,
    SESSION_XFER_BUFFER = 12,
    SESSION_XFER_MAX_COUNT = 65529, /* 6 + N must fit the 16-bit length */
    SESSION_SHORT_COUNT = 2,       /* short block transfers */
    SESSION_SHORT_BUFFER = 4,
    SESSION_DATA_COUNT = 0,        /* 59: u16 count M */
    SESSION_DATA_BYTES = 2,        /* 59: the M data bytes */
    SESSION_DATA_MAX_COUNT = 78,   /* 59: block 2-79 */
    SESSION_RAW_BUFFER = 0,        /* 82 */
    SESSION_RAW_SIZE = SESSION_POINTER_SIZE,
    SESSION_RAW_MAX_SIZE = 65543   /* 8 header bytes + 65535 */
};

typedef struct SessionParamBlock {
    uint8_t bytes[SESSION_BLOCK_SIZE];
} SessionParamBlock;

#if defined(__cplusplus) && (__cplusplus >= 201103L || (defined(_MSVC_LANG) && _MSVC_LANG >= 201103L))
static_assert(sizeof(SessionParamBlock) == 84, "the parameter block is 84 bytes");
#elif !defined(__cplusplus) && defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(SessionParamBlock) == 84, "the parameter block is 84 bytes");
#else
/* Before C11 and C++11: an array of negative size fails the compilation. */
typedef char SessionParamBlockSizeCheck[sizeof(SessionParamBlock) == 84 ? 1 : -1];
#endif

/*
 * Command 64, the firmware update, takes this record instead of the 84-byte
 * block. The image is the whole content of a firmware image file, read and
 * never modified; it must stay valid until the command returns. The command
 * checks it (-9 malformed, -14 checksum, -3 no memory), announces it to the
 * device and sends it in blocks of up to 10240 bytes, retrying each step a
 * few times with one message per failed attempt on standard output (-15 when
 * announcing or loading a block failed, -16 when committing one failed, -12
 * when the last attempt got an unexpected answer). The progress callback,
 * when given, runs on the calling thread with percentages from 21 to 100 and
 * the user value. If it throws, the update stops there and the command ends
 * with -1 (see SessionExec).
 */
typedef void (*SessionProgressCallback)(int32_t percent, int32_t userValue);

typedef struct SessionFirmwareUpdateBlock {
    const uint8_t* image;             /* the image file's bytes (NULL: malformed, -9) */
    uint32_t imageSize;               /* bytes at image; all of them are sent */
    SessionProgressCallback progress; /* may be NULL */
    int32_t userValue;                /* passed back to progress */
} SessionFirmwareUpdateBlock;

/*
 * Creates a session on variant 1 or 2 and opens the first matching device.
 * The event callback may be NULL. Returns NULL on any failure (no device,
 * bad variant, resources); nothing is left behind then.
 */
AZK_SESSION_API SessionHandle SessionCreate(int32_t variant, SessionEventCallback eventCallback);

/*
 * As SessionCreate, but opens the index-th matching device of the variant
 * (0 = the first, as SessionCreate does) in the order SessionListDevices
 * gives them; SessionListDevices shows each usable device's index. NULL for
 * a negative index or when there are not that many devices.
 */
AZK_SESSION_API SessionHandle SessionCreateAt(int32_t variant, int32_t index, SessionEventCallback eventCallback);

/*
 * Stops and destroys the session. Returns -4 for a NULL handle, else 0.
 * It does not wait for a command another thread runs on the session: free
 * a session only once no other thread is inside SessionExec on it.
 * Called on the session's own receiver thread (from the event or text
 * callback) it cannot stop the session, whose thread would wait for itself;
 * called within one of the session's own commands (from command 64's
 * progress callback), the command would go on without its session. Both
 * times it frees nothing and returns SESSION_RESULT_GENERAL (-1). The
 * session goes on working and is freed later, from outside them.
 */
AZK_SESSION_API int32_t SessionFree(SessionHandle session);

/*
 * Executes one command. block points to the command's parameter block
 * (normally a SessionParamBlock; command 64 takes its own record) and may be
 * NULL, which the command answers with -10. statusPair, when not NULL,
 * receives the status and detail bytes of the last response the session
 * received, after every call. Returns -4 for a NULL handle, -5 for an
 * unknown command id, else the command's result. Nothing is thrown: when a
 * callback (command 64's progress) throws, the command is abandoned with
 * SESSION_RESULT_GENERAL (-1) and the status pair is still filled.
 * Called on the session's own receiver thread (from the event or text
 * callback) it sends nothing and returns SESSION_RESULT_GENERAL (-1) at
 * once, leaving the status pair as it was: that thread reads the device's
 * answers, and cannot while it waits for one.
 */
AZK_SESSION_API int32_t SessionExec(SessionHandle session, int32_t commandId, void* block, int32_t* statusPair);

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
AZK_SESSION_API int32_t SessionSetTextCallback(SessionHandle session, SessionTextCallback callback, void* context);

/*
 * Device listing: every present HID interface with the speakerphone's vendor
 * ID (and any whose IDs cannot be read, since it may be one), in the order
 * the sessions search them, with whether a session can open it and, if not,
 * why.
 */

/* Why an interface can or cannot be opened (SessionDeviceInfo.state). */
enum {
    SESSION_DEVICE_USABLE = 0,            /* a session of its variant opens it at its index */
    SESSION_DEVICE_PERMISSION_DENIED = 1, /* the system refused this user access (on Linux:
                                             the udev rule is not installed) */
    SESSION_DEVICE_HELD = 2,              /* another program holds it */
    SESSION_DEVICE_REPORT_LENGTHS = 3,    /* its report lengths are not its variant's */
    SESSION_DEVICE_OTHER_COLLECTION = 4,  /* another top-level collection of the device, whose
                                             report lengths are not the variant's */
    SESSION_DEVICE_OTHER_PRODUCT = 5,     /* the maker's vendor ID, but neither variant's product ID */
    SESSION_DEVICE_OPEN_FAILED = 6        /* it cannot be opened or queried for another reason */
};

enum { SESSION_DEVICE_PATH_SIZE = 512 };

typedef struct SessionDeviceInfo {
    int32_t index;          /* what SessionCreateAt takes for it with its variant; -1 unless usable */
    int32_t variant;        /* 1 or 2 by product ID; 0 for another product or unknown IDs */
    int32_t state;          /* SESSION_DEVICE_* */
    int32_t systemError;    /* errno (Linux) or GetLastError (Windows) of the failed open; 0 if none */
    int32_t collection;     /* its top-level collection within its device, 0 = the first */
    uint16_t idsKnown;      /* 1 when the three IDs below are known, else 0 (and they are 0) */
    uint16_t vendorId;
    uint16_t productId;
    uint16_t releaseNumber; /* the device release number (bcdDevice) */
    uint16_t lengthsKnown;  /* 1 when the two report byte lengths below are known, else 0 */
    uint16_t inputReportByteLength;  /* report ID byte counted: 17 for variant 1, 65 for 2 */
    uint16_t outputReportByteLength;
    uint16_t reserved;      /* 0 */
    char path[SESSION_DEVICE_PATH_SIZE]; /* the platform's name of the interface, UTF-8,
                                            NUL-terminated, cut to fit */
} SessionDeviceInfo;

/*
 * Lists the interfaces. Fills devices[0 .. min(found, capacity) - 1] and sets
 * *count to the number found, which may exceed capacity (call again with
 * more room). devices may be NULL when capacity is 0. Returns 0; -10 when
 * count is NULL, capacity is negative, or devices is NULL with capacity > 0;
 * -3 when memory runs out.
 * Probing opens each interface briefly; a session open meanwhile is not
 * disturbed, but the device it holds may show as held.
 */
AZK_SESSION_API int32_t SessionListDevices(SessionDeviceInfo* devices, int32_t capacity, int32_t* count);

#ifdef __cplusplus
}
#endif

#endif /* AZK_SESSION_API_H */
