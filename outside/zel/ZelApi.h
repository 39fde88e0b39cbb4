/* libZelAPI: access to Orvel chassis through the chassis server ZelServerAP,
 * and libZelAPI-HardwareCheck: finding chassis servers on the local segment.
 * Programs load both by name at run time from their own directory.
 *
 * The library talks to one server at a time over the server protocol (TCP,
 * see outside/PROTOCOLS.md). Port reports, EEPROM data and write
 * acknowledgements come through the call-back registered with Zel_SYS_Init,
 * called on the library's receive thread with the message and its real
 * length; the message buffer belongs to the library and is valid only during
 * the call. Every other buffer belongs to the caller. */
#ifndef ZEL_API_H
#define ZEL_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*ZEL_CALLBACK)(const uint8_t* message, uint32_t length);

/* Registers the call-back (replacing an earlier one); `mask` is kept. */
int32_t Zel_SYS_Init(ZEL_CALLBACK callback, int32_t mask);
/* Connects to the server at the dotted address (1 s limit) and asks for its
 * port report (message 0x80FE). 1 on success. */
int32_t Zel_SYS_ConnectToServer(const char* address);
/* Ends the connection; the server drops the connection's port locks. */
void Zel_SYS_TerminateProcess(void);
/* Writes the zero-terminated version text (at most 16 bytes). */
void Zel_SYS_GetVerNum(char* text);
/* Locks / unlocks the ports listed in a text file, one "chassis,slot,port"
 * line each (at most 64 lines). Waits up to 1 s for the server; 0 = refused. */
uint16_t Zel_LockPortStatus_RdFile(const char* path);
uint16_t Zel_UnLockPortStatus_RdFile(const char* path);

/* Per-model entries. Requests return 1 when sent; the EEPROM data comes as
 * message 0x1E00, the write acknowledgement as 0x80E1. A write takes its bytes
 * from the model's exported 256-byte buffer (words from `start`).
 *   Zel_<M>_93C56_Read(chassis, slot, port)                       stand-alone
 *   Zel_<M>_93C56_Write(chassis, slot, port, start, words)
 *   Zel_<M>_93C56_Read(chassis, slot, port, sub)                  chassis parts
 *   Zel_<M>_93C56_Write(chassis, slot, port, sub, start, words)
 *   Zel_<M>_EEPROMRead(chassis, slot, port, block20)              location block
 *   Zel_<M>_EEPROMWrite(chassis, slot, port, block262)
 *   Zel_<M>_EEPROMWrite(chassis, slot, port, block68)             extra block
 * The shared pair is Zel_Module_93C56_Read / _Write with Module_eeprom_93c56. */

/* libZelAPI-HardwareCheck: fills `area` (256 bytes): a 32-bit count in host
 * order, then 5-byte entries whose first 4 bytes are a server's address, most
 * significant byte first; at most 50. Returns 1 when the search ran. */
uint8_t ZelAPI_DiscoverServer(uint8_t* area, int32_t flag);

#ifdef __cplusplus
}
#endif

#endif
