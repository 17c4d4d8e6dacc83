#include "image/image_hash.h"

#include <cstring>
#include <new>

#include "engine/app_state.h"
#include "engine/transfer.h"
#include "report/error_box.h"

namespace {

// Three pieces in the queue: one being filled, one being hashed, one to spare for an uneven pace.
const int kSlots = 3;

} // namespace

struct ImageHash {
    Sha256 sha;
    HANDLE thread = nullptr;
    HANDLE stop = nullptr;           // manual-reset: hash no more
    HANDLE free = nullptr;           // semaphore: slots that may be filled
    HANDLE filled = nullptr;         // semaphore: slots to be hashed
    const BYTE* pieces[kSlots] = {}; // what each slot holds: its copy, or bytes lent
    BYTE* copies[kSlots] = {};       // each slot's copy, allocated at its first copy
    LONG* holders[kSlots] = {};      // a lent piece's holders, let go of once it is hashed
    HANDLE giveBack[kSlots] = {};
    size_t capacity = 0;       // a copy's size, that of the first feed
    size_t sizes[kSlots] = {}; // 0: the end of the bytes
    int next = 0;              // the slot the next feed fills
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
        Sha256Update(hash.sha, hash.pieces[slot], hash.sizes[slot]);
        if (hash.holders[slot] != nullptr && !LetGoOfPart(hash.holders[slot], hash.giveBack[slot]))
            return 0;
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
    for (BYTE*& copy : hash->copies)
        if (copy != nullptr && VirtualFree(copy, 0, MEM_RELEASE))
            copy = nullptr;
}

// The thread, at the first feed (when the size of a piece is known). Left without a
// thread when any part is missing: the caller's thread hashes then.
void StartThread(ImageHash& hash, size_t capacity)
{
    hash.capacity = capacity;
    hash.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    hash.free = CreateSemaphoreW(nullptr, kSlots, kSlots, nullptr);
    hash.filled = CreateSemaphoreW(nullptr, 0, kSlots, nullptr);
    if (hash.stop != nullptr && hash.free != nullptr && hash.filled != nullptr)
        hash.thread = CreateThread(nullptr, 0, HashProc, &hash, 0, nullptr);
}

// Hands `size` bytes to the thread (0 for the end): lent as they are when `holders` is
// given, else copied (at most the capacity). False when the thread is gone or no memory is
// left for the copy; the bytes were not taken then.
bool HandOver(ImageHash& hash, const BYTE* data, size_t size, LONG* holders, HANDLE giveBack)
{
    const HANDLE waits[] = {hash.free, hash.thread};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0)
        return false;
    const int slot = hash.next;
    BYTE*& copy = hash.copies[slot];
    if (holders == nullptr && size != 0) {
        if (copy == nullptr)
            copy = static_cast<BYTE*>(VirtualAlloc(nullptr, hash.capacity, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        if (copy == nullptr) {
            ReleaseSemaphore(hash.free, 1, nullptr);
            return false;
        }
        std::memcpy(copy, data, size);
    }
    hash.pieces[slot] = holders != nullptr ? data : copy;
    hash.sizes[slot] = size;
    hash.holders[slot] = holders;
    hash.giveBack[slot] = giveBack;
    hash.next = (slot + 1) % kSlots;
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
    for (size_t done = 0; done < size;) {
        const size_t piece = size - done < hash.capacity ? size - done : hash.capacity;
        // Without the thread or memory for a copy, the bytes are hashed here, after all the
        // thread holds. (A thread that ended early leaves the hash incomplete: FinishImageHash tells.)
        if (hash.thread == nullptr || !HandOver(hash, data + done, piece, nullptr, nullptr)) {
            AwaitImageHash(&hash);
            Sha256Update(hash.sha, data + done, piece);
        }
        done += piece;
    }
}

void LendImageHash(ImageHash& hash, const BYTE* data, size_t size, LONG* holders, HANDLE giveBack)
{
    if (hash.capacity == 0)
        StartThread(hash, size);
    InterlockedIncrement(holders);
    if (size != 0 && hash.thread != nullptr && HandOver(hash, data, size, holders, giveBack))
        return;
    InterlockedDecrement(holders);
    AwaitImageHash(&hash);
    Sha256Update(hash.sha, data, size);
}

void AwaitImageHash(ImageHash* hash)
{
    if (hash == nullptr || hash->thread == nullptr)
        return;
    // Every slot free again is every piece hashed; a thread that ended hashes no more.
    const HANDLE waits[] = {hash->free, hash->thread};
    int taken = 0;
    while (taken < kSlots && WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0)
        ++taken;
    if (taken != 0)
        ReleaseSemaphore(hash->free, taken, nullptr);
}

bool FinishImageHash(ImageHash* hash, BYTE digest[kSha256Size])
{
    const bool threaded = hash->thread != nullptr;
    if (threaded)
        HandOver(*hash, nullptr, 0, nullptr, nullptr);
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
