// Times one transfer loop over a file-backed drive, as a job runs it: the
// drive opened and checked by the job's own code, progress and status sent
// to a real main-dialog window, the cancel poll after every chunk.
//   korvane_bench create|restore DRIVE IMAGE SIZE
//   korvane_bench create-sparse ...: a create with the volume claiming sparse files, as NTFS does
//   korvane_bench create-unhashed ...: a create without its SHA-256, to compare with create
//   korvane_bench create-partitions ...: a create of the partitions only (the table read within the timing)
// Prints: seconds=<wall> cpu=<process CPU seconds> bytes=<moved> ok=<0|1>
//   korvane_bench sha256 portable|processor|system SIZE: the hash alone over SIZE bytes in memory
//   (system: CryptoAPI's, for comparison)
//   korvane_bench copy|copy-hashed|copy-beside-hash FROM TO: dd's loop through Wine's file
//   layer: unhashed, each block hashed once written, or as many bytes hashed beside it
//   korvane_bench compare ONE OTHER: both files read in turn and compared, as a verify at its least
// Prints: path=<...> seconds=<wall> mbps=<MB/s>
#include <windows.h>

#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>

// Declared for Windows XP SP3 and later only; the value is fixed.
#ifndef CALG_SHA_256
#define CALG_SHA_256 0x0000800c
#endif

#include "bench/bench_support.h"
#include "engine/app_state.h"
#include "image/image_hash.h"
#include "image/image_source.h"
#include "engine/image_jobs.h"
#include "engine/partitions_image.h"
#include "image/sha256.h"
#include "image/sparse_image.h"
#include "engine/transfer.h"
#include "tests/support/import_patch.h"
#include "tests/support/win_test_support.h"

static bool OpenImage(bool restore)
{
    // A fresh file under the image's own name, as dd gets it: no replace question, nothing moved.
    if (!restore) {
        g_App->ImageHandle = CreateFileW(ImageFileName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr);
        if (!IsOpenHandle(g_App->ImageHandle))
            return false;
        g_App->ImageSparse = MakeImageSparse(g_App->ImageHandle, ImageFileName);
        return true;
    }
    g_App->ImageHandle =
        CreateFileW(ImageFileName, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return IsOpenHandle(g_App->ImageHandle);
}

// CryptoAPI's SHA-256 over `size` bytes of `data` (a chunk, hashed again and again).
static bool SystemHash(const BYTE* data, DWORD chunk, int64_t size)
{
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        return false;
    bool ok = CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash) != FALSE;
    for (int64_t done = 0; ok && done < size; done += chunk)
        ok = CryptHashData(hash, data, chunk, 0) != FALSE;
    BYTE digest[kSha256Size];
    DWORD length = sizeof(digest);
    ok = ok && CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0);
    if (hash != 0)
        CryptDestroyHash(hash);
    CryptReleaseContext(provider, 0);
    return ok;
}

// Seconds since `start`, a reading of QueryPerformanceCounter.
static double SecondsSince(const LARGE_INTEGER& start)
{
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// What the timed loops move at a time: one cylinder of 255 x 63 x 512, the job's chunk and dd's bs.
static const DWORD kBlock = 8225280;

// Bytes no compressor or cache could make lighter work of.
static void FillPseudoRandom(BYTE* data, size_t size)
{
    uint32_t x = 1;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        data[i] = static_cast<BYTE>(x >> 24);
    }
}

// The hash's own speed on one path, over a buffer of pseudo-random bytes hashed in chunks.
static int TimeHash(const wchar_t* path, int64_t size)
{
    const bool portable = wcscmp(path, L"portable") == 0, system = wcscmp(path, L"system") == 0;
    if (!portable && !system && !Sha256HasProcessorRounds()) {
        std::printf("path=processor missing=1\n");
        return 1;
    }
    const size_t chunk = kBlock;
    BYTE* data = static_cast<BYTE*>(VirtualAlloc(nullptr, chunk, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (data == nullptr)
        return 1;
    FillPseudoRandom(data, chunk);
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    bool ok = true;
    if (system) {
        ok = SystemHash(data, static_cast<DWORD>(chunk), size);
    } else {
        Sha256 hash;
        Sha256Init(hash, portable);
        for (int64_t done = 0; done < size; done += chunk)
            Sha256Update(hash, data, chunk);
        BYTE digest[kSha256Size];
        Sha256Final(hash, digest);
    }
    const double seconds = SecondsSince(start);
    VirtualFree(data, 0, MEM_RELEASE);
    std::printf("path=%ls seconds=%.3f mbps=%.0f ok=%d\n", path, seconds, static_cast<double>(size) / seconds / 1e6,
                ok ? 1 : 0);
    return ok ? 0 : 1;
}

// How a timed copy hashes: not at all, each block once written, or beside the copy.
enum class CopyHash { None, Written, Beside };

// A hashed copy's blocks: three, so the copy reads on while the hash still holds two. Beside
// the copy, the hash has block 1 of its own and hashes it over and over.
struct CopyBlocks {
    BYTE* data[3] = {};
    DWORD sizes[3] = {};
    HANDLE written = nullptr, free = nullptr; // semaphores: blocks to hash, blocks to read into
    Sha256 hash;
    int64_t besideBytes = 0;
};

// Hashes each block once written, where it lies, until a block of no bytes.
static DWORD WINAPI HashWrittenBlocks(void* param)
{
    CopyBlocks& blocks = *static_cast<CopyBlocks*>(param);
    for (unsigned i = 0; WaitForSingleObject(blocks.written, INFINITE) == WAIT_OBJECT_0 && blocks.sizes[i % 3] != 0;
         ++i) {
        Sha256Update(blocks.hash, blocks.data[i % 3], blocks.sizes[i % 3]);
        ReleaseSemaphore(blocks.free, 1, nullptr);
    }
    return 0;
}

// Hashes as many bytes as the copy moves, from its own block: the copy and the hash then
// share the processors and nothing else.
static DWORD WINAPI HashBesideCopy(void* param)
{
    CopyBlocks& blocks = *static_cast<CopyBlocks*>(param);
    for (int64_t done = 0; done < blocks.besideBytes; done += blocks.sizes[1])
        Sha256Update(blocks.hash, blocks.data[1],
                     static_cast<size_t>(std::min<int64_t>(blocks.sizes[1], blocks.besideBytes - done)));
    return 0;
}

// dd through Wine's file layer: the same blocks read and written in turn, one flush at the
// end. What a copy costs under Wine before any of the program's own work. Hashed as written,
// each block is also hashed once written, on a second thread, where it lies: the least a
// hashed job does here, with none of the job's own steps. Hashed beside, a second thread
// hashes as many bytes of its own: what no hashed job can beat, its hash waiting for no
// read. The target is written over in place, as dd's conv=notrunc does, or created.
static int TimeCopy(const wchar_t* from, const wchar_t* to, CopyHash how)
{
    const DWORD block = kBlock;
    const bool hashed = how == CopyHash::Written;
    const int count = hashed ? 3 : 1;
    CopyBlocks blocks;
    bool ok = true;
    for (int i = 0; i < (how == CopyHash::Beside ? 2 : count); ++i) {
        blocks.data[i] = static_cast<BYTE*>(VirtualAlloc(nullptr, block, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        ok = ok && blocks.data[i] != nullptr;
    }
    WIN32_FILE_ATTRIBUTE_DATA sourceAttributes;
    if (ok && how == CopyHash::Beside) {
        FillPseudoRandom(blocks.data[1], block);
        blocks.sizes[1] = block;
        ok = GetFileAttributesExW(from, GetFileExInfoStandard, &sourceAttributes) != FALSE;
        blocks.besideBytes = static_cast<int64_t>(sourceAttributes.nFileSizeHigh) << 32 | sourceAttributes.nFileSizeLow;
    }
    blocks.written = CreateSemaphoreW(nullptr, 0, 4, nullptr);
    blocks.free = CreateSemaphoreW(nullptr, count, count, nullptr);
    ok = ok && blocks.written != nullptr && blocks.free != nullptr;
    Sha256Init(blocks.hash);
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    const HANDLE hasher =
        ok && how != CopyHash::None
            ? CreateThread(nullptr, 0, hashed ? HashWrittenBlocks : HashBesideCopy, &blocks, 0, nullptr)
            : nullptr;
    const HANDLE source = CreateFileW(from, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    const HANDLE target = CreateFileW(to, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    ok = ok && (hasher != nullptr || how == CopyHash::None) && source != INVALID_HANDLE_VALUE &&
         target != INVALID_HANDLE_VALUE;
    int64_t copied = 0;
    unsigned i = 0;
    for (DWORD got = block; ok && got == block; copied += got, ++i) {
        DWORD put = 0;
        BYTE* data = blocks.data[i % count];
        ok = WaitForSingleObject(blocks.free, INFINITE) == WAIT_OBJECT_0 &&
             ReadFile(source, data, block, &got, nullptr) &&
             (got == 0 || (WriteFile(target, data, got, &put, nullptr) && put == got));
        blocks.sizes[i % count] = ok ? got : 0;
        ReleaseSemaphore(hashed ? blocks.written : blocks.free, 1, nullptr);
    }
    ok = ok && FlushFileBuffers(target);
    if (hasher != nullptr) {
        // A block of no bytes ends the hash as written, unless the last block read ended it.
        if (hashed && (i == 0 || blocks.sizes[(i - 1) % 3] != 0) &&
            WaitForSingleObject(blocks.free, INFINITE) == WAIT_OBJECT_0) {
            blocks.sizes[i % 3] = 0;
            ReleaseSemaphore(blocks.written, 1, nullptr);
        }
        WaitForSingleObject(hasher, INFINITE);
        CloseHandle(hasher);
        BYTE digest[kSha256Size];
        Sha256Final(blocks.hash, digest);
    }
    if (source != INVALID_HANDLE_VALUE)
        CloseHandle(source);
    if (target != INVALID_HANDLE_VALUE)
        CloseHandle(target);
    const double seconds = SecondsSince(start);
    for (BYTE* data : blocks.data)
        if (data != nullptr)
            VirtualFree(data, 0, MEM_RELEASE);
    for (HANDLE semaphore : {blocks.written, blocks.free})
        if (semaphore != nullptr)
            CloseHandle(semaphore);
    std::printf("seconds=%.3f bytes=%lld ok=%d\n", seconds, static_cast<long long>(copied), ok ? 1 : 0);
    return ok ? 0 : 1;
}

// The least a verify does under Wine: both files read a block at a time in turn on one
// thread, each pair compared. ok=0 when they differ.
static int TimeCompare(const wchar_t* one, const wchar_t* other)
{
    const DWORD block = kBlock;
    BYTE* data[2] = {};
    for (BYTE*& side : data)
        side = static_cast<BYTE*>(VirtualAlloc(nullptr, block, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    const HANDLE files[2] = {CreateFileW(one, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr),
                             CreateFileW(other, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)};
    bool ok = data[0] != nullptr && data[1] != nullptr && files[0] != INVALID_HANDLE_VALUE &&
              files[1] != INVALID_HANDLE_VALUE;
    int64_t compared = 0;
    for (DWORD got[2] = {block, block}; ok && got[0] == block; compared += got[0])
        ok = ReadFile(files[0], data[0], block, &got[0], nullptr) &&
             ReadFile(files[1], data[1], block, &got[1], nullptr) && got[0] == got[1] &&
             std::memcmp(data[0], data[1], got[0]) == 0;
    for (HANDLE file : files)
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
    const double seconds = SecondsSince(start);
    for (BYTE* side : data)
        if (side != nullptr)
            VirtualFree(side, 0, MEM_RELEASE);
    std::printf("seconds=%.3f bytes=%lld ok=%d\n", seconds, static_cast<long long>(compared), ok ? 1 : 0);
    return ok ? 0 : 1;
}

// A restore learns the image's format and length from its file first, as the job does.
static bool RestoreFromSource()
{
    bool cancelled = false;
    return OpenImageSource(*g_App, &cancelled) && RestoreImage();
}

int wmain(int argc, wchar_t** argv)
{
    if (argc == 4 && wcscmp(argv[1], L"sha256") == 0)
        return TimeHash(argv[2], _wtoi64(argv[3]));
    if (argc == 4 && wcscmp(argv[1], L"copy") == 0)
        return TimeCopy(argv[2], argv[3], CopyHash::None);
    if (argc == 4 && wcscmp(argv[1], L"copy-hashed") == 0)
        return TimeCopy(argv[2], argv[3], CopyHash::Written);
    if (argc == 4 && wcscmp(argv[1], L"copy-beside-hash") == 0)
        return TimeCopy(argv[2], argv[3], CopyHash::Beside);
    if (argc == 4 && wcscmp(argv[1], L"compare") == 0)
        return TimeCompare(argv[2], argv[3]);
    const bool sparse = argc == 5 && wcscmp(argv[1], L"create-sparse") == 0;
    const bool unhashed = argc == 5 && wcscmp(argv[1], L"create-unhashed") == 0;
    const bool partitions = argc == 5 && wcscmp(argv[1], L"create-partitions") == 0;
    if (argc != 5 ||
        (wcscmp(argv[1], L"create") != 0 && wcscmp(argv[1], L"restore") != 0 && !sparse && !unhashed && !partitions)) {
        std::fprintf(stderr, "usage: korvane_bench create|create-sparse|create-unhashed|create-partitions|restore "
                             "DRIVE IMAGE SIZE\n"
                             "       korvane_bench sha256 portable|processor|system SIZE\n"
                             "       korvane_bench copy|copy-hashed|copy-beside-hash FROM TO\n"
                             "       korvane_bench compare ONE OTHER\n");
        return 2;
    }
    const bool restore = wcscmp(argv[1], L"restore") == 0;
    // Wine's volumes claim no sparse files: without the claim a create writes every chunk.
    ts::SparseFilesClaim* claim = sparse ? new ts::SparseFilesClaim : nullptr;
    OpenBench(argv[2], argv[3], _wtoi64(argv[4]));

    bool ok = OpenSelectedDisk(restore ? JobKind::Restore : JobKind::Create) && OpenImage(restore);
    // A create hashes what it reads, as the job does (the digest taken within the timing).
    BYTE digest[kSha256Size];
    const int exitCode = RunTimedAndClose(
        ok,
        [&] {
            if (partitions)
                PlanPartitionsOnly(*g_App);
            return restore    ? RestoreFromSource()
                   : unhashed ? CreateImage()
                              : RunHashed(*g_App, [] { return CreateImage(); }, digest);
        },
        [] { return g_App->BytesDone; });
    delete claim;
    return exitCode;
}
