/* tavik_identity: finds the Pembrix devices of one type, opens the first (or
 * the one given) and prints its 256-byte identity image.
 *
 *   tavik_identity [TYPE [INDEX]]     TYPE 1..4 (default 1), INDEX default 0
 *
 * Build: cc tavik_identity.c $(pkg-config --cflags --libs tavikapi) */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <tavikapi.h>

#define IMAGE_SIZE 256

int main(int argc, char** argv) {
    int32_t type = argc > 1 ? (int32_t)atoi(argv[1]) : TAVIK_TYPE_ALDA;
    int32_t index = argc > 2 ? (int32_t)atoi(argv[2]) : 0;
    uint8_t image[IMAGE_SIZE];
    uint32_t offset;

    if (!Tavik_SetDeviceType(type)) {
        fprintf(stderr, "device type %d: not 1..4\n", (int)type);
        return 2;
    }
    if (!Tavik_DetectDevice(type)) {
        fprintf(stderr, "no device of type %d\n", (int)type);
        return 1;
    }
    printf("devices: %d\n", (int)Tavik_GetDeviceNumber());
    if (!Tavik_SelectDevice(index) || !Tavik_ConnectToDevice()) {
        fprintf(stderr, "device %d: cannot open\n", (int)index);
        return 1;
    }
    /* The image in chunks of 58 bytes; the data comes back at chunk byte 4. */
    for (offset = 0; offset < IMAGE_SIZE; offset += TAVIK_EEPROM_CHUNK_DATA) {
        uint32_t size = IMAGE_SIZE - offset < TAVIK_EEPROM_CHUNK_DATA ? IMAGE_SIZE - offset : TAVIK_EEPROM_CHUNK_DATA;
        EepromChunk chunk;
        memset(&chunk, 0, sizeof chunk);
        if (!Tavik_GetEeprom(offset, size, &chunk)) {
            fprintf(stderr, "EEPROM read at %u: no reply\n", (unsigned)offset);
            Tavik_TerminateProcess();
            return 1;
        }
        memcpy(image + offset, chunk.bytes + 4, size);
    }
    Tavik_TerminateProcess();

    for (offset = 0; offset < IMAGE_SIZE; offset += 16) {
        unsigned i;
        printf("%04x:", (unsigned)offset);
        for (i = 0; i < 16; ++i) printf(" %02x", image[offset + i]);
        printf("\n");
    }
    /* The serial number: NUL-terminated text from byte 76. */
    {
        int len = 0;
        while (76 + len < IMAGE_SIZE && image[76 + len] != 0) ++len;
        printf("serial: %.*s\n", len, (const char*)image + 76);
    }
    return 0;
}
