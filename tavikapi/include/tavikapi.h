/* TavikAPI: device API of the Quenlor Pembrix USB mini traffic generators.
 *
 * A flat C interface over one process-wide device manager. Callers follow a
 * fixed order: Tavik_SetDeviceType, Tavik_DetectDevice, Tavik_GetDeviceNumber,
 * Tavik_SelectDevice, Tavik_ConnectToDevice, then commands, and finally
 * Tavik_TerminateProcess.
 *
 * Conventions
 * - Every buffer and record is owned by the caller; the library never keeps a
 *   pointer the caller handed it after the call returns (a download copies its
 *   path before it returns) and never hands out memory of its own.
 * - Unless stated otherwise a result is a 16-bit status: 1 success, 0 failure.
 *   A failed call leaves its output buffer untouched.
 * - Commands go to the selected device of the current type. With the selected
 *   index past the end of the detected list a command does nothing and
 *   returns 0 (downloads return 2).
 * - Exports may be called from any thread; each exchange with a device holds
 *   that device's lock, and a background job (download, log clearing) holds it
 *   for its whole run, so calls from other threads wait for it.
 * - Multi-byte values in replies are little-endian; outputs typed uint16_t /
 *   uint32_t receive the reply bytes as stored (the host is little-endian).
 * - Pacing. By default a pause that exists only to let the device's reply
 *   (or a job's end, or the log-clearing confirmation) arrive ends when it
 *   has arrived; it never lasts longer than the fixed pause, a reply that the
 *   fixed pause would have let in is still taken, and a silent device is
 *   given up after exactly the full time limits of the command table. The
 *   environment variable TAVIKAPI_ORIGINAL_TIMING, set to anything but "0",
 *   selects the original pacing: every pause is waited out in full. It is
 *   read at the start of each exchange and each job step, so set it before
 *   the calls it should govern (brevane-cli --original-timing does). Pauses
 *   kept for the device's own sake (after a download's closing request, the
 *   pad-data start) are the same in both pacings.
 */
#ifndef TAVIKAPI_H
#define TAVIKAPI_H

#include <stdint.h>

#define TAVIKAPI_VERSION_MAJOR 1
#define TAVIKAPI_VERSION_MINOR 0
#define TAVIKAPI_VERSION_PATCH 0
#define TAVIKAPI_MAKE_VERSION(mj, mn, p) (((mj) << 24) | ((mn) << 8) | (p))
#define TAVIKAPI_VERSION \
    TAVIKAPI_MAKE_VERSION(TAVIKAPI_VERSION_MAJOR, TAVIKAPI_VERSION_MINOR, TAVIKAPI_VERSION_PATCH)
#define TAVIKAPI_VERSION_STR "1.0.0"

#if defined(_WIN32)
#define TAVIKAPI_EXPORT __declspec(dllimport)
#elif defined(__GNUC__)
#define TAVIKAPI_EXPORT __attribute__((visibility("default")))
#else
#define TAVIKAPI_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Device types ------------------------------------------------------ */
#define TAVIK_TYPE_ALDA 1       /* "Quenlor Pembrix-Alda"  */
#define TAVIK_TYPE_BRISA 2      /* "Quenlor Pembrix-Brisa" */
#define TAVIK_TYPE_CYGNA 3      /* "Quenlor Pembrix-Cygna" */
#define TAVIK_TYPE_ALDA_PLUS 4  /* "Quenlor Pembrix-Alda+" */

/* ---- Records ----------------------------------------------------------- */
/* Records are plain byte arrays of fixed size; the library copies them and
 * never interprets the configuration records. */

/* EEPROM transfer: for Tavik_SetEeprom the data lies in bytes 2..59; for
 * Tavik_GetEeprom the library writes the data into bytes 4..61 (at most 58
 * bytes each way). */
typedef struct EepromChunk { uint8_t bytes[64]; } EepromChunk;

/* Bytes 0..219: counter bytes of pieces 0..3 in order; 220..223: the port
 * number asked for (32-bit, little-endian). */
typedef struct CounterRecord { uint8_t bytes[224]; } CounterRecord;

/* Byte 0: the command code asked for; byte 1: reply byte 1; bytes 4..65:
 * reply bytes 2..63; bytes 2..3 and 66..67 are left as the caller had them. */
typedef struct FrameRecord { uint8_t bytes[68]; } FrameRecord;

/* 166 bytes: EEPROM identity fields, the 48-bit number as decimal text at
 * byte 30, the date text at byte 129, and fields of the device's status
 * replies. Bytes not filled are 0. */
typedef struct SystemInfoRecord { uint8_t bytes[166]; } SystemInfoRecord;

/* Task records: byte 0 task selector a, byte 1 selector b, then the task. */
typedef struct AldaTaskRecord { uint8_t bytes[75]; } AldaTaskRecord;
typedef struct BrisaTaskRecord { uint8_t bytes[75]; } BrisaTaskRecord;
typedef struct CygnaTaskRecord { uint8_t bytes[143]; } CygnaTaskRecord;

/* Configuration records passed by value. */
typedef struct TavikLWTxConfig { uint8_t bytes[48]; } TavikLWTxConfig;       /* all 48 sent */
typedef struct TavikSWTxConfig { uint8_t bytes[32]; } TavikSWTxConfig;       /* all 32 sent */
typedef struct TavikPortProperty { uint8_t bytes[16]; } TavikPortProperty;   /* first 14 sent */
typedef struct TavikEntryConfig { uint8_t bytes[20]; } TavikEntryConfig;     /* first 18 sent */
typedef struct TavikWlanCommand { uint8_t bytes[64]; } TavikWlanCommand;     /* first 62 sent */
typedef struct TavikRawFrame { uint8_t bytes[64]; } TavikRawFrame;           /* sent unchanged */
typedef struct TavikRGTestConfig { uint8_t bytes[16]; } TavikRGTestConfig;   /* all 16 sent */
typedef struct TavikRunName { uint8_t bytes[60]; } TavikRunName;             /* all 60 sent */
typedef struct TavikSysConfig { uint8_t bytes[24]; } TavikSysConfig;         /* first 22 sent */

/* Output sizes of the pointer exports. */
#define TAVIK_VERSION_TEXT_SIZE 100
#define TAVIK_MEDIA_CONFIG_SIZE 64
#define TAVIK_RG_TEST_STATUS_SIZE 56
#define TAVIK_LOG_PIECE_SIZE 64
#define TAVIK_RUN_NAME_SIZE 60
#define TAVIK_SYS_CONFIG_SIZE 22
#define TAVIK_ALDA_LOG_SIZE 1210
#define TAVIK_BRISA_LOG_SIZE 1498
#define TAVIK_CYGNA_LOG_SIZE 1306
#define TAVIK_EEPROM_CHUNK_DATA 58

/* Progress of a background job, called on the job's worker thread.
 * op: 0 firmware, 1 FPGA, 2 pad data, 3 log clearing, 255 a failed download.
 * percent: points at one byte 0..100 (0xFF: log clearing failed); valid only
 * during the call. one: always 1. */
typedef void (*ProgressCallback)(uint32_t op, uint8_t* percent, uint32_t one);

#define TAVIK_OP_FIRMWARE 0
#define TAVIK_OP_FPGA 1
#define TAVIK_OP_PAD_DATA 2
#define TAVIK_OP_CLEAR_LOG 3
#define TAVIK_OP_FAILED 255

/* Results of the download exports. */
#define TAVIK_DOWNLOAD_STARTED 0
#define TAVIK_DOWNLOAD_BUSY 1
#define TAVIK_DOWNLOAD_NOT_OPENED 2
#define TAVIK_DOWNLOAD_BAD_FILE 3

/* ---- Frame, detection and selection ------------------------------------ */

/* 1 and the type (1..4) becomes current; 0 and nothing changes otherwise. */
TAVIKAPI_EXPORT uint16_t Tavik_SetDeviceType(int32_t type);
/* Rebuilds the device list of `type` (HID devices first; the MPUSB library's
 * devices only when no HID device was found). 1 when at least one device was
 * found. Does not change the current type or any selection. The caller closes
 * an opened device of that type first. */
TAVIKAPI_EXPORT uint16_t Tavik_DetectDevice(int32_t type);
/* Number of devices of the current type from its last detection. */
TAVIKAPI_EXPORT int32_t Tavik_GetDeviceNumber(void);
/* 0 when index < 0; otherwise stores it as the current type's selection (an
 * index past the end is stored; later commands then fail) and returns 1. */
TAVIKAPI_EXPORT uint16_t Tavik_SelectDevice(int32_t index);
/* Opens both channels of the selected device; 1 when both opened. */
TAVIKAPI_EXPORT uint16_t Tavik_ConnectToDevice(void);
/* 1 when a device of the selected device's kind is attached now. */
TAVIKAPI_EXPORT uint16_t Tavik_FindDevice(void);
/* Stops a running background job (it ends before its next chunk or step; up
 * to 5 seconds are allowed for it) and closes the selected device. Nonzero
 * when no job was left running; 0 when one still ran after 5 seconds, which
 * then keeps the device until it ends (call again to close it). */
TAVIKAPI_EXPORT int32_t Tavik_TerminateProcess(void);
/* Writes the host program's product version (empty when it has none) into
 * `buffer` of TAVIK_VERSION_TEXT_SIZE bytes, NUL-terminated, cut if longer.
 * Returns 1 (0, buffer untouched, when buffer is NULL or the program file
 * cannot be read for want of memory). */
TAVIKAPI_EXPORT uint16_t Tavik_GetDllVersion(char* buffer);
/* The library's own version, TAVIKAPI_VERSION of the build. */
TAVIKAPI_EXPORT uint32_t Tavik_GetLibraryVersion(void);

/* ---- Traffic, configuration, WLAN and registers ------------------------ */

TAVIKAPI_EXPORT uint16_t Tavik_StartTx(uint32_t port);        /* low 16 bits sent */
TAVIKAPI_EXPORT uint16_t Tavik_StopTx(uint32_t port);         /* low 16 bits sent */
TAVIKAPI_EXPORT uint16_t Tavik_ClearCounter(uint32_t port);   /* low 16 bits sent */
/* Four counter pieces of the port (low 8 bits sent) into *record. */
TAVIKAPI_EXPORT uint16_t Tavik_GetCounter(CounterRecord* record, uint32_t port);
TAVIKAPI_EXPORT uint16_t Tavik_SetLWTxConfig(TavikLWTxConfig config);
TAVIKAPI_EXPORT uint16_t Tavik_SetSWTxConfig(TavikSWTxConfig config);
TAVIKAPI_EXPORT uint16_t Tavik_SetPortProperty(TavikPortProperty properties);
TAVIKAPI_EXPORT uint16_t Tavik_SetEntryConfig(TavikEntryConfig config);
/* Sends value bytes 0, 1, 2. */
TAVIKAPI_EXPORT uint16_t Tavik_SetMediaConfig(uint32_t value);
/* The whole 64-byte reply into `config` (TAVIK_MEDIA_CONFIG_SIZE bytes). */
TAVIKAPI_EXPORT uint16_t Tavik_GetMediaConfig(uint8_t* config);
/* Link status (4 bytes); 0 without any exchange when the device is not opened. */
TAVIKAPI_EXPORT uint16_t Tavik_GetLinkStatus(uint32_t* status);
/* WLAN command (first 62 bytes sent); its byte 2 sets the reply time limit
 * ((min(byte 2, 5) + 1) seconds). */
TAVIKAPI_EXPORT uint16_t Tavik_SendWlanCommand(TavikWlanCommand command);
TAVIKAPI_EXPORT uint16_t Tavik_GetWlanMessageLength(uint16_t* length);
/* The first `length` bytes (low 16 bits used, up to 65535) of the WLAN
 * message into `data`, which holds at least that many bytes. Length 0: 1 and
 * nothing is sent. */
TAVIKAPI_EXPORT uint16_t Tavik_GetWlanMessageData(uint8_t* data, uint32_t length);
TAVIKAPI_EXPORT uint16_t Tavik_SetWlanAttenuation(uint32_t value);  /* low 16 bits sent */
TAVIKAPI_EXPORT uint16_t Tavik_GetWlanAttenuation(uint16_t* value);
/* Register read (address: low 16 bits) into *value. */
TAVIKAPI_EXPORT uint16_t Tavik_ReadReg(uint32_t address, uint32_t* value);
TAVIKAPI_EXPORT uint16_t Tavik_WriteToReg(uint32_t address, uint32_t value);
/* Reply to an arbitrary command code (nothing else in the request). */
TAVIKAPI_EXPORT uint16_t Tavik_GetFrame(uint8_t code, FrameRecord* frame);
/* Sends the 64 bytes unchanged; 1 when any reply arrived. */
TAVIKAPI_EXPORT uint16_t Tavik_SendFrame(TavikRawFrame frame);

/* ---- Test runs, tasks, logs, system information, EEPROM ---------------- */

TAVIKAPI_EXPORT uint16_t Tavik_SetRGTestConfig(TavikRGTestConfig config);
TAVIKAPI_EXPORT uint16_t Tavik_StartRGTest(void);
TAVIKAPI_EXPORT uint16_t Tavik_StopRGTest(void);
/* TAVIK_RG_TEST_STATUS_SIZE (56) bytes of status into `status`. */
TAVIKAPI_EXPORT uint16_t Tavik_GetRGTestStatus(uint8_t* status);

/* Task upload (chunks of 58 from task byte 1), then the store command. */
TAVIKAPI_EXPORT uint16_t Alda_SetTask(AldaTaskRecord task);
TAVIKAPI_EXPORT uint16_t Brisa_SetTask(BrisaTaskRecord task);
TAVIKAPI_EXPORT uint16_t Cygna_SetTask(CygnaTaskRecord task);
/* Task download for selectors a, b (low 8 bits each) into *task. */
TAVIKAPI_EXPORT uint16_t Alda_GetTask(AldaTaskRecord* task, uint32_t a, uint32_t b);
TAVIKAPI_EXPORT uint16_t Brisa_GetTask(BrisaTaskRecord* task, uint32_t a, uint32_t b);
TAVIKAPI_EXPORT uint16_t Cygna_GetTask(CygnaTaskRecord* task, uint32_t a, uint32_t b);

TAVIKAPI_EXPORT uint16_t Tavik_GetLogNum(uint16_t* count);
/* One log piece: reply bytes 4..63 into out bytes 4..63 of a 64-byte buffer
 * (bytes 0..3 untouched). Log: low 16 bits, piece: low 8 bits. */
TAVIKAPI_EXPORT uint16_t Tavik_GetLog_Piece(uint8_t* out, uint32_t log, uint32_t piece);
/* A whole log into `log` of TAVIK_ALDA_LOG_SIZE / TAVIK_BRISA_LOG_SIZE /
 * TAVIK_CYGNA_LOG_SIZE bytes. */
TAVIKAPI_EXPORT uint16_t Alda_GetLog(uint8_t* log, uint32_t number);
TAVIKAPI_EXPORT uint16_t Brisa_GetLog(uint8_t* log, uint32_t number);
TAVIKAPI_EXPORT uint16_t Cygna_GetLog(uint8_t* log, uint32_t number);

TAVIKAPI_EXPORT uint16_t Tavik_SetRunName(TavikRunName name);
TAVIKAPI_EXPORT uint16_t Tavik_GetRunName(uint8_t* name);        /* 60 bytes */
TAVIKAPI_EXPORT uint16_t Tavik_SetSysConfig(TavikSysConfig config);
TAVIKAPI_EXPORT uint16_t Tavik_GetSysConfig(uint8_t* config);    /* 22 bytes */
/* 0 when the device is not opened or a background job runs. */
TAVIKAPI_EXPORT uint16_t Tavik_GetSystemInfo(SystemInfoRecord* info);

/* EEPROM by words: offset and length are byte values, halved on the wire. At
 * most 58 bytes per call; a longer or odd length, an odd offset, or an offset
 * beyond word 0xFFFF (byte 0x1FFFE) is refused with 0 and nothing is sent.
 * The date text of the system information is empty when a date byte of the
 * device does not fit two digits. */
TAVIKAPI_EXPORT uint16_t Tavik_SetEeprom(uint32_t offset, uint32_t length, EepromChunk chunk);
TAVIKAPI_EXPORT uint16_t Tavik_GetEeprom(uint32_t offset, uint32_t length, EepromChunk* chunk);

/* ---- Background downloads and log clearing ----------------------------- */
/* The export checks (busy, file and header, opened), copies the path, starts
 * the job on a worker thread and returns at once: TAVIK_DOWNLOAD_STARTED,
 * _BUSY, _NOT_OPENED or _BAD_FILE. _BUSY also when the job cannot be started
 * for want of memory (for the image, say) or of a thread; nothing is then
 * reported. `path` is a NUL-terminated file name that the caller may free as
 * soon as the call returns. `progress` may be NULL. */
TAVIKAPI_EXPORT int32_t Tavik_DownloadFirmware(const char* path, ProgressCallback progress);
TAVIKAPI_EXPORT int32_t Tavik_DownloadFPGA(const char* path, ProgressCallback progress);
TAVIKAPI_EXPORT int32_t Tavik_DownloadVessa(const char* path, ProgressCallback progress);
/* Starts log clearing when no job runs and the device is opened: 1 when the
   job started (it ends with one final report: 100, or 0xFF on failure), 0 when
   nothing started. */
TAVIKAPI_EXPORT uint16_t Tavik_ClearLog(ProgressCallback progress);

#ifdef __cplusplus
}
#endif

#endif /* TAVIKAPI_H */
