// The SHA-256 of an image's bytes, computed on a thread of its own while a job
// reads them, so that the copy never waits for it.
#pragma once

#include <windows.h>

#include <cstddef>

#include "image/sha256.h"

struct ImageHash;

// Starts a hash with its thread. Null only when no memory is left for the record;
// without a thread or its buffers the bytes are hashed on the caller's thread.
ImageHash* StartImageHash();
// Hands over bytes read, in order of the image. The bytes are copied: the caller's
// buffer is free again on return. Waits only while every slot is still being hashed.
void FeedImageHash(ImageHash& hash, const BYTE* data, size_t size);
// Hands over bytes without copying them, in order with what was fed: the hash becomes one
// more of the `holders` of the part they lie in. The thread reads them after the call
// returns and then lets go of them (LetGoOfPart with `holders` and `giveBack`); the part
// stays unchanged until then. Without the thread they are hashed here.
void LendImageHash(ImageHash& hash, const BYTE* data, size_t size, LONG* holders, HANDLE giveBack);
// Waits until everything handed over is hashed; null is allowed. Nothing lent is read after it.
void AwaitImageHash(ImageHash* hash);
// One holder of a part lets go of it: the last hands it back, a count of the semaphore
// `giveBack`. False only when that release failed.
inline bool LetGoOfPart(LONG* holders, HANDLE giveBack)
{
    return InterlockedDecrement(holders) != 0 || ReleaseSemaphore(giveBack, 1, nullptr);
}
// Waits until everything fed is hashed, gives the digest and frees the record.
// False when the thread ended before it had hashed every byte (the digest is wrong then).
bool FinishImageHash(ImageHash* hash, BYTE digest[kSha256Size]);
// Stops the hash without a result and frees the record; null is allowed.
void DropImageHash(ImageHash* hash);

// Feeds what `file` holds from its position to its end; false when it can't be read or
// no memory is left. (A restore reads no more of an image than the drive takes.)
bool FeedRestOfFile(ImageHash& hash, HANDLE file);

struct AppState;

// Hashes a whole file by reading it from its start, the job's bar and status line
// following it; false when it can't be read or Cancel stopped it (`cancelled` set).
bool HashFile(AppState& app, const wchar_t* path, BYTE digest[kSha256Size], bool* cancelled);

// Runs a transfer loop (`copy`) with app.Hash fed by it, and gives the digest of
// what it read. True only when the copy succeeded and every byte was hashed; a
// failure of the hash itself is told in its error box.
bool RunHashed(AppState& app, bool (*copy)(), BYTE digest[kSha256Size]);
