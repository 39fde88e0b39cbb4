#include "TransferNote.h"

namespace transfer {
namespace {
thread_local FailedChunk t_note;
}

void NoteFailedChunk(std::size_t index, std::size_t count) { t_note = FailedChunk{true, index, count}; }

FailedChunk TakeFailedChunk() {
    const FailedChunk note = t_note;
    t_note = FailedChunk{};
    return note;
}

}  // namespace transfer
