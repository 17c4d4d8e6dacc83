/* Configuration of the xz decoder as the kernel tree carries it, built outside
 * the kernel (it includes this file then). Multi-call decoding with a dictionary
 * that grows as the stream asks, and every check type accepted: CRC32 is verified,
 * the others (CRC64, SHA-256) are skipped over. */
#ifndef KORVANE_XZ_CONFIG_H
#define KORVANE_XZ_CONFIG_H

#define XZ_DEC_DYNALLOC
#define XZ_DEC_ANY_CHECK
#define XZ_DEC_X86
#define XZ_DEC_ARM
#define XZ_DEC_ARMTHUMB
#define XZ_DEC_ARM64
#define XZ_DEC_POWERPC
#define XZ_DEC_IA64
#define XZ_DEC_SPARC
#define XZ_DEC_RISCV

#include <stdbool.h>
#include <stdlib.h>
#include <string.h>

#include "xz.h"

#define kmalloc(size, flags) malloc(size)
#define kfree(ptr) free(ptr)
#define vmalloc(size) malloc(size)
#define vfree(ptr) free(ptr)

#define memeq(a, b, size) (memcmp(a, b, size) == 0)
#define memzero(buf, size) memset(buf, 0, size)

#ifndef min
#define min(x, y) ((x) < (y) ? (x) : (y))
#endif
#define min_t(type, x, y) min(x, y)

#ifdef _MSC_VER
#define fallthrough ((void)0)
#define __always_inline __forceinline
#endif
#ifndef fallthrough
#define fallthrough __attribute__((__fallthrough__))
#endif
#ifndef __always_inline
#define __always_inline inline __attribute__((__always_inline__))
#endif

static inline uint32_t get_unaligned_le32(const uint8_t* buf)
{
    return (uint32_t)buf[0] | ((uint32_t)buf[1] << 8) | ((uint32_t)buf[2] << 16) | ((uint32_t)buf[3] << 24);
}
static inline uint32_t get_unaligned_be32(const uint8_t* buf)
{
    return ((uint32_t)buf[0] << 24) | ((uint32_t)buf[1] << 16) | ((uint32_t)buf[2] << 8) | (uint32_t)buf[3];
}
static inline void put_unaligned_le32(uint32_t val, uint8_t* buf)
{
    buf[0] = (uint8_t)val;
    buf[1] = (uint8_t)(val >> 8);
    buf[2] = (uint8_t)(val >> 16);
    buf[3] = (uint8_t)(val >> 24);
}
static inline void put_unaligned_be32(uint32_t val, uint8_t* buf)
{
    buf[0] = (uint8_t)(val >> 24);
    buf[1] = (uint8_t)(val >> 16);
    buf[2] = (uint8_t)(val >> 8);
    buf[3] = (uint8_t)val;
}
#define get_le32 get_unaligned_le32

#endif
