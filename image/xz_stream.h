// The xz decoder, streaming: one or several concatenated xz streams with their padding.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

struct XzDecoder; // opaque, heap

// Null when memory is short.
XzDecoder* XzDecoderNew();
void XzDecoderFree(XzDecoder* decoder);
// Decodes from in[0, inSize) into out[0, outSize): *inUsed and *outMade tell how much
// (the rest of the input is to be given again). *ended is true when what was given so
// far ends a stream and its padding; more input that starts another stream goes on
// decoding (*ended false again). At the end of the file *ended true means the file
// ended where a stream did. False on damaged or unsupported data. Integrity checks:
// the blocks' CRC32, CRC64 and SHA-256 are verified (other check types are refused),
// and the block sizes, the index and the LZMA2 data are checked in every case.
bool XzDecode(XzDecoder* decoder, const uint8_t* in, size_t inSize, size_t* inUsed, uint8_t* out, size_t outSize,
              size_t* outMade, bool* ended);

// The decoded length the file records in the index of each of its streams, read with
// positioned reads through `file` (its pointer is left moved); false when `file` is no
// complete xz file (damaged footer or index, bad padding, a stream that doesn't start
// with its header).
bool XzDecodedLength(HANDLE file, uint64_t fileSize, uint64_t* length);
