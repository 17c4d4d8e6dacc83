#include "image/image_hash.h"

#include <cstring>
#include <new>

#include "engine/app_state.h"
#include "engine/transfer.h"
#include "report/error_box.h"

namespace {

// Three buffers: one being filled, one being hashed, one to spare for an uneven pace.
const int kSlots = 3;

} // namespace

struct ImageHash {
    Sha256 sha;
    HANDLE thread = nullptr;
    HANDLE stop = nullptr;   // manual-reset: hash no more
    HANDLE free = nullptr;   // semaphore: buffers that may be filled
    HANDLE filled = nullptr; // semaphore: buffers to be hashed
    BYTE* buffers[kSlots] = {};
    size_t capacity = 0;       // each buffer's size, that of the first feed
    size_t sizes[kSlots] = {}; // 0: the end of the bytes
    int next = 0;              // the buffer the next feed fills
    bool complete = false;     // the thread reached the end of the bytes; read after it ended
};

namespace {

DWORD WINAPI HashProc(void* param)
{
    ImageHash& hash = *static_cast<ImageHash*>(param);
    const HANDLE waits[] = {hash.stop, hash.filled};
    for (int slot = 0;; slot = (slot + 1) % kSlots) {
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
            return 0;
        if (hash.sizes[slot] == 0) {
            hash.complete = true;
            return 0;
        }
        Sha256Update(hash.sha, hash.buffers[slot], hash.sizes[slot]);
        if (!ReleaseSemaphore(hash.free, 1, nullptr))
            return 0;
    }
}

// Ends the thread (after what it was given, or at once when `stop`) and frees all but the record.
void EndImageHash(ImageHash* hash, bool stop)
{
    if (hash->thread != nullptr) {
        if (stop)
            SetEvent(hash->stop);
        WaitForSingleObject(hash->thread, INFINITE);
    }
    CloseIfOpen(hash->thread);
    CloseIfOpen(hash->stop);
    CloseIfOpen(hash->free);
    CloseIfOpen(hash->filled);
    for (BYTE*& buffer : hash->buffers)
        if (buffer != nullptr && VirtualFree(buffer, 0, MEM_RELEASE))
            buffer = nullptr;
}

// The buffers and the thread, at the first feed (when the size of a piece is known).
// Left without a thread when any part is missing: the caller's thread hashes then.
void StartThread(ImageHash& hash, size_t capacity)
{
    hash.capacity = capacity;
    for (BYTE*& buffer : hash.buffers) {
        buffer = static_cast<BYTE*>(VirtualAlloc(nullptr, capacity, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        if (buffer == nullptr)
            return;
    }
    hash.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    hash.free = CreateSemaphoreW(nullptr, kSlots, kSlots, nullptr);
    hash.filled = CreateSemaphoreW(nullptr, 0, kSlots, nullptr);
    if (hash.stop != nullptr && hash.free != nullptr && hash.filled != nullptr)
        hash.thread = CreateThread(nullptr, 0, HashProc, &hash, 0, nullptr);
}

// Hands `size` bytes (at most the capacity; 0 for the end) to the thread; false when it is gone.
bool HandOver(ImageHash& hash, const BYTE* data, size_t size)
{
    const HANDLE waits[] = {hash.free, hash.thread};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0)
        return false;
    if (size != 0)
        std::memcpy(hash.buffers[hash.next], data, size);
    hash.sizes[hash.next] = size;
    hash.next = (hash.next + 1) % kSlots;
    return ReleaseSemaphore(hash.filled, 1, nullptr) != FALSE;
}

} // namespace

ImageHash* StartImageHash()
{
    ImageHash* hash = new (std::nothrow) ImageHash;
    if (hash != nullptr)
        Sha256Init(hash->sha);
    return hash;
}

void FeedImageHash(ImageHash& hash, const BYTE* data, size_t size)
{
    if (size == 0)
        return;
    if (hash.capacity == 0)
        StartThread(hash, size);
    if (hash.thread == nullptr) {
        Sha256Update(hash.sha, data, size);
        return;
    }
    for (size_t done = 0; done < size;) {
        const size_t piece = size - done < hash.capacity ? size - done : hash.capacity;
        // A thread that ended early leaves the hash incomplete: FinishImageHash tells.
        if (!HandOver(hash, data + done, piece))
            return;
        done += piece;
    }
}

bool FinishImageHash(ImageHash* hash, BYTE digest[kSha256Size])
{
    const bool threaded = hash->thread != nullptr;
    if (threaded)
        HandOver(*hash, nullptr, 0);
    EndImageHash(hash, false);
    const bool complete = !threaded || hash->complete;
    Sha256Final(hash->sha, digest);
    delete hash;
    return complete;
}

void DropImageHash(ImageHash* hash)
{
    if (hash == nullptr)
        return;
    EndImageHash(hash, true);
    delete hash;
}

bool FeedRestOfFile(ImageHash& hash, HANDLE file)
{
    const DWORD kPiece = 1 << 20;
    BYTE* buffer = static_cast<BYTE*>(VirtualAlloc(nullptr, kPiece, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    bool ok = buffer != nullptr;
    for (DWORD got = kPiece; ok && got != 0;) {
        ok = ReadFile(file, buffer, kPiece, &got, nullptr) != FALSE;
        if (ok)
            FeedImageHash(hash, buffer, got);
    }
    if (buffer != nullptr)
        VirtualFree(buffer, 0, MEM_RELEASE);
    return ok;
}

bool HashFile(AppState& app, const wchar_t* path, BYTE digest[kSha256Size], bool* cancelled)
{
    *cancelled = false;
    const HANDLE file =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const DWORD kPiece = 1 << 20;
    BYTE* buffer = static_cast<BYTE*>(VirtualAlloc(nullptr, kPiece, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    bool ok = buffer != nullptr;
    Sha256 sha;
    Sha256Init(sha);
    SetStatusText(L"Computing the checksum of the image file");
    ShowProgress(app, 0);
    int64_t done = 0;
    for (DWORD got = kPiece; ok && got != 0;) {
        ok = ReadFile(file, buffer, kPiece, &got, nullptr) != FALSE;
        if (!ok)
            break;
        Sha256Update(sha, buffer, got);
        done += got;
        ShowProgress(app, done);
        if (TakeCancelRequest(app) && ConfirmCancel(app, L"Cancel the checksum?\n(the image is kept without one)")) {
            *cancelled = true;
            ok = false;
        }
    }
    if (buffer != nullptr)
        VirtualFree(buffer, 0, MEM_RELEASE);
    CloseHandle(file);
    if (ok)
        Sha256Final(sha, digest);
    return ok;
}

bool RunHashed(AppState& app, bool (*copy)(), BYTE digest[kSha256Size])
{
    app.Hash = StartImageHash();
    if (app.Hash == nullptr) {
        ShowErrorBox(app, L"Virtual memory error");
        return false;
    }
    const bool copied = copy();
    ImageHash* hash = app.Hash;
    app.Hash = nullptr;
    if (!copied) {
        DropImageHash(hash);
        return false;
    }
    if (!FinishImageHash(hash, digest)) {
        ShowErrorBox(app, L"Can't compute the checksum of the image!");
        return false;
    }
    return true;
}
