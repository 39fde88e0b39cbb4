/* The version note of an executable: an ELF note named "Brevane" whose
 * descriptor is the product version text. Linked into every program. */
#include <stdint.h>

#ifndef BREVANE_PRODUCT_VERSION
#error "BREVANE_PRODUCT_VERSION must be defined"
#endif

#define NOTE_DESC_SIZE 32

struct brevane_version_note {
    uint32_t namesz;
    uint32_t descsz;
    uint32_t type;
    char name[8];
    char desc[NOTE_DESC_SIZE];
};

__attribute__((section(".note.brevane.version"), aligned(4), used))
const struct brevane_version_note brevane_version_note = {
    8, NOTE_DESC_SIZE, 1, "Brevane", BREVANE_PRODUCT_VERSION,
};
