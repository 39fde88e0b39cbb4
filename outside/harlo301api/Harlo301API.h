/* Harlo301API: reaches one Harlo instrument on the local Ethernet segment.
 * Our stand-in for the maker's library; the frames it exchanges with the
 * instrument are described in PROTOCOL.md.
 *
 * Ownership: eeprom_93c56 and Harlo_Machine_ID belong to the library; the
 * caller reads and writes eeprom_93c56 only between a completion and the next
 * request. The frame handed to the callback is the library's and lives only
 * for the call. Raw Ethernet needs the capture capability (CAP_NET_RAW). */
#pragma once
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HARLO301API_EXPORT __attribute__((visibility("default")))

/* Called from the library's receive thread with each frame that answers the
 * pending read or write, Ethernet header included: frame bytes, their real
 * length, and two values that are always 0. A read's completion frame comes
 * only after that read's image arrived; frames of earlier requests are not
 * handed on. */
typedef void (*HARLO_FRAME_CALLBACK)(const unsigned char* frame, uint32_t length, uint32_t reserved1,
                                     uint32_t reserved2);

/* The EEPROM image moved by Read and Write. */
HARLO301API_EXPORT extern unsigned char eeprom_93c56[256];
/* Machine ID of the connected instrument: 1 Harlo-301, 2 Harlo-101, 3 Harlo-801, 4 Harlo-802. */
HARLO301API_EXPORT extern int32_t Harlo_Machine_ID;

/* Registers the frame callback (NULL: none). Returns 1. */
HARLO301API_EXPORT int32_t Harlo301_93C56_Init(HARLO_FRAME_CALLBACK callback);
/* Looks for an instrument on every Ethernet interface; *found (may be NULL)
 * gets 1 when one answered. Non-zero when an instrument is present. */
HARLO301API_EXPORT uint16_t Harlo301_SYS_DetectHarlo301Device(int32_t* found);
/* Connects to the instrument found by the last detection and sets
 * Harlo_Machine_ID; starts the receive thread. Non-zero on success. May be
 * called again after Harlo301_SYS_TerminateProcess without a new detection. */
HARLO301API_EXPORT uint16_t Harlo301_SYS_ConnectToHarlo301Device(void);
/* Asks for the EEPROM image; it arrives in eeprom_93c56 before the completion
 * frame reaches the callback, and without it the read never completes.
 * Returns 1 when the request was sent. */
HARLO301API_EXPORT int32_t Harlo301_93C56_Read(void);
/* Writes `count` 16-bit words of eeprom_93c56 from word `start`; completion
 * through the callback. Returns 1 when the request was sent. */
HARLO301API_EXPORT int32_t Harlo301_93C56_Write(int32_t start, int32_t count);
/* Ends the connection and stops the receive thread; the instrument found by
 * the last detection stays known. Returns 1. */
HARLO301API_EXPORT int32_t Harlo301_SYS_TerminateProcess(void);

#ifdef __cplusplus
}
#endif
