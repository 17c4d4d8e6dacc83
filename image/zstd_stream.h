// The zstd decoder, streaming: one or several frames, skippable frames skipped.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

struct ZstdDecoder; // opaque, heap

// Null when memory is short.
ZstdDecoder* ZstdDecoderNew();
void ZstdDecoderFree(ZstdDecoder* decoder);
// Decodes from in[0, inSize) into out[0, outSize): *inUsed and *outMade tell how much.
// *ended is true when what was given so far ends a frame (a skippable one included) and
// nothing of a frame is held back; more input goes on with the next frame (*ended false
// again). At the end of the file *ended true means the file ended where a frame did.
// False on damaged or unsupported data.
bool ZstdDecode(ZstdDecoder* decoder, const uint8_t* in, size_t inSize, size_t* inUsed, uint8_t* out,
                size_t outSize, size_t* outMade, bool* ended);

// The decoded length the file records: the content sizes of all its frames, found by
// walking frame and block headers with positioned reads through `file` (its pointer is
// left moved), or the seek table in a skippable frame at its end. False when a frame
// doesn't record its content size or the file is no complete zstd file.
bool ZstdDecodedLength(HANDLE file, uint64_t fileSize, uint64_t* length);
