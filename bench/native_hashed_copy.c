/* A hashed copy as a native Linux program, the least a hashed job does without Wine:
 * 8 MB blocks read and written in turn, each block hashed once written on a second thread,
 * where it lies, in three blocks so that the copy reads on while the hash holds two; the
 * written file flushed on the way every STRETCH MiB (64 unless given), at most two stretches
 * ahead of the flush, and once at the end; with a STRETCH of 0, only at the end. Blocks are
 * new memory, as a job's are. The target is written over in place, as dd's conv=notrunc
 * does, or created: from the drive to a new file with the flushes on the way it is a
 * create's copy; from the image onto the drive, flushed at the end, a restore's.
 *   native_hashed_copy FROM TO [STRETCH]
 * Prints: seconds=<wall> bytes=<copied> digest=<SHA-256 of the bytes> ok=<0|1>
 * Built by bench/jobs.sh with the host's cc and OpenSSL's libcrypto (SHA instructions where
 * the processor has them, as the program's own hash). */
#define _GNU_SOURCE
#include <fcntl.h>
#include <openssl/evp.h>
#include <pthread.h>
#include <semaphore.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#define BLOCK 8225280
#define BLOCKS 3

static unsigned char* blocks[BLOCKS];
static ssize_t sizes[BLOCKS];
static sem_t written, free_blocks;
static EVP_MD_CTX* hash;

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

/* Hashes each block once written, until a block of no bytes. */
static void* hash_written(void* unused)
{
    (void)unused;
    for (unsigned i = 0;; ++i) {
        sem_wait(&written);
        if (sizes[i % BLOCKS] <= 0)
            return NULL;
        EVP_DigestUpdate(hash, blocks[i % BLOCKS], (size_t)sizes[i % BLOCKS]);
        sem_post(&free_blocks);
    }
}

int main(int argc, char** argv)
{
    if (argc != 3 && argc != 4) {
        fprintf(stderr, "usage: native_hashed_copy FROM TO [STRETCH]\n");
        return 2;
    }
    const long long stretch = (argc == 4 ? atoll(argv[3]) : 64) << 20;
    const double start = now();
    int ok = 1;
    for (int i = 0; i < BLOCKS; ++i)
        ok = ok && (blocks[i] = malloc(BLOCK)) != NULL;
    hash = EVP_MD_CTX_new();
    ok = ok && hash != NULL && EVP_DigestInit_ex(hash, EVP_sha256(), NULL) == 1;
    sem_init(&written, 0, 0);
    sem_init(&free_blocks, 0, BLOCKS);
    const int from = open(argv[1], O_RDONLY), to = open(argv[2], O_WRONLY | O_CREAT, 0644);
    pthread_t hasher;
    ok = ok && from >= 0 && to >= 0 && pthread_create(&hasher, NULL, hash_written, NULL) == 0;
    if (!ok) {
        fprintf(stderr, "native_hashed_copy: can't start\n");
        return 1;
    }
    long long copied = 0, flushed = 0, asked = 0; /* flushed <= asked <= copied */
    unsigned i = 0;
    for (ssize_t got = BLOCK; ok && got == BLOCK; ++i) {
        unsigned char* data = blocks[i % BLOCKS];
        sem_wait(&free_blocks);
        got = read(from, data, BLOCK);
        ok = got >= 0 && (got == 0 || write(to, data, (size_t)got) == got);
        sizes[i % BLOCKS] = ok ? got : 0;
        sem_post(&written);
        copied += ok ? got : 0;
        if (ok && stretch > 0 && copied - asked >= stretch) {
            /* Start writing the new stretch back; wait for the one before it. */
            ok = sync_file_range(to, asked, copied - asked, SYNC_FILE_RANGE_WRITE) == 0 &&
                 (asked == flushed || sync_file_range(to, flushed, asked - flushed,
                                                      SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                                          SYNC_FILE_RANGE_WAIT_AFTER) == 0);
            flushed = asked;
            asked = copied;
        }
    }
    /* A block of no bytes ends the hash, unless the last block read ended it. */
    if (sizes[(i - 1) % BLOCKS] != 0) {
        sem_wait(&free_blocks);
        sizes[i % BLOCKS] = 0;
        sem_post(&written);
    }
    ok = fsync(to) == 0 && ok;
    pthread_join(hasher, NULL);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned digest_size = 0;
    ok = EVP_DigestFinal_ex(hash, digest, &digest_size) == 1 && ok;
    close(from);
    close(to);
    const double seconds = now() - start;
    printf("seconds=%.3f bytes=%lld digest=", seconds, copied);
    for (unsigned b = 0; b < digest_size; ++b)
        printf("%02x", digest[b]);
    printf(" ok=%d\n", ok);
    return ok ? 0 : 1;
}
