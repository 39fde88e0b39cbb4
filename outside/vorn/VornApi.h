/* libVorn-API: the Jessor chassis library. Programs load it by name at run
 * time ("libVorn-API.so", from their own directory).
 *
 * The library reaches Jessor chassis over the Vorn chassis protocol (UDP,
 * see outside/PROTOCOLS.md) and reports the chassis contents and EEPROM
 * replies through the call-back registered with Zel_Vorn_SYS_Init. The
 * call-back runs on the library's own receive thread; the message buffer
 * belongs to the library and is valid only during the call; `length` is the
 * real length of the message. Every other buffer belongs to the caller. */
#ifndef VORN_API_H
#define VORN_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#pragma pack(push, 1)
/* Where an EEPROM transfer goes: the station identity the slot table reported,
 * the constant 1, 0, the start byte address and the byte count. */
typedef struct {
    uint8_t station[6];
    uint8_t one;
    uint8_t zero;
    uint16_t start;
    uint16_t count;
} VORN_LOCATION;

typedef struct {
    VORN_LOCATION where;
    uint8_t data[1024];
} VORN_LOCATION_DATA;

/* A card's identity as the program keeps it; the library reads only the
 * station identity (the first 6 bytes). */
typedef struct {
    uint8_t station[6];
    uint8_t slot;
    uint16_t cardType;
} VORN_PORT;
#pragma pack(pop)

/* Slot and card type passed as one 32-bit value: slot in bits 0-7, card
 * type in bits 16-31. */
#define VORN_SLOT_TYPE(slot, type) ((uint32_t)(uint8_t)(slot) | ((uint32_t)(uint16_t)(type) << 16))

/* Message codes (big-endian at bytes 0-1; the library sets the top bit). */
#define VORN_MSG_SLOT_TABLE 0xC1
#define VORN_MSG_READ_CONTROLLER 0xC2
#define VORN_MSG_WRITE_CONTROLLER 0xC3
#define VORN_MSG_READ_CARD 0xE0
#define VORN_MSG_WRITE_CARD 0xE1

typedef void (*VORN_CALLBACK)(const uint8_t* message, uint32_t length);

/* Finds chassis on every local IPv4 interface (about 300 ms); fills up to ten
 * addresses (host order), a 0 entry ends the list. Non-zero when any was
 * found. */
int32_t Zel_Vorn_SYS_GetServer(uint32_t* addresses);
/* Registers the call-back (replacing an earlier one) and starts the receive
 * thread. `unused` and `port_hint` are kept for the library's callers. */
int32_t Zel_Vorn_SYS_Init(VORN_CALLBACK callback, int32_t unused, int32_t port_hint);
/* Connects to the chassis at `address` (host order) and asks for its slot
 * table, which comes by call-back (message 0xC1). Non-zero = request sent. */
int32_t Zel_Vorn_SYS_Connect(uint32_t address);
/* Controller EEPROM: non-zero = request sent; the reply comes by call-back
 * (0xC2 with the data from byte 36, 0xC3 acknowledging a write). */
int32_t Zel_Vorn_ReadChassisEeprom(VORN_LOCATION where);
int32_t Zel_Vorn_WriteChassisEeprom(VORN_LOCATION_DATA block);
/* Card lock around a transfer: `phase` 0 before, 1 after. Waits for the
 * chassis (at most 1 s); non-zero = done. */
int32_t Zel_Vorn_Tenq_LockPort(const VORN_PORT* port, uint32_t slot_type, int32_t one, int32_t phase);
/* Card EEPROM (0xE0 / 0xE1 by call-back). `initialize` 1 asks the card's
 * initialize path (a single card in the chassis). */
int32_t Zel_Vorn_Tenq_ReadEeprom(const VORN_PORT* port, uint32_t slot_type, int32_t one, VORN_LOCATION where,
                                 int32_t initialize);
int32_t Zel_Vorn_Tenq_WriteEeprom(const VORN_PORT* port, uint32_t slot_type, int32_t one,
                                  VORN_LOCATION_DATA block, int32_t initialize);
/* Stops the receive thread and closes the socket; harmless when the library
 * was never used. */
void Zel_Vorn_SYS_Exit(void);

#ifdef __cplusplus
}
#endif

#endif
