#pragma once
#include <cstddef>

// Where a chunked EEPROM transfer stopped. A family notes the failing chunk as
// its transfer gives up; the write path takes the note to say "write chunk 3
// of 5". The note belongs to the calling thread (a transfer and the code that
// reports it run on one thread), so searches on other threads never mix.
namespace transfer {

struct FailedChunk {
    bool known = false;
    std::size_t index = 0;  // from 0
    std::size_t count = 0;  // chunks of the whole transfer
};

void NoteFailedChunk(std::size_t index, std::size_t count);
// Returns the note of this thread and clears it.
FailedChunk TakeFailedChunk();

}  // namespace transfer
