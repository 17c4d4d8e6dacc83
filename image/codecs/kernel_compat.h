/* What the zstd library and xxhash, as the kernel tree carries them, take from
 * the kernel's headers, for a Windows build with GCC. The build writes one-line
 * stand-ins for <linux/types.h>, <linux/unaligned.h> and the others that include
 * this file. Windows runs little-endian on every processor we build for. */
#ifndef KORVANE_KERNEL_COMPAT_H
#define KORVANE_KERNEL_COMPAT_H

#include <errno.h>
#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#define __LITTLE_ENDIAN 1234

typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef uint64_t u64;
typedef int64_t s64;

#define get_unaligned(ptr) \
    __extension__({ __typeof__(*(ptr)) korvane_v_; __builtin_memcpy(&korvane_v_, (ptr), sizeof(korvane_v_)); korvane_v_; })
#define put_unaligned(val, ptr) \
    do { __typeof__(*(ptr)) korvane_v_ = (val); __builtin_memcpy((ptr), &korvane_v_, sizeof(korvane_v_)); } while (0)

static inline u16 get_unaligned_le16(const void* p) { u16 v; __builtin_memcpy(&v, p, 2); return v; }
static inline u32 get_unaligned_le32(const void* p) { u32 v; __builtin_memcpy(&v, p, 4); return v; }
static inline u64 get_unaligned_le64(const void* p) { u64 v; __builtin_memcpy(&v, p, 8); return v; }
static inline u32 get_unaligned_be32(const void* p) { return __builtin_bswap32(get_unaligned_le32(p)); }
static inline u64 get_unaligned_be64(const void* p) { return __builtin_bswap64(get_unaligned_le64(p)); }
static inline void put_unaligned_le16(u16 v, void* p) { __builtin_memcpy(p, &v, 2); }
static inline void put_unaligned_le32(u32 v, void* p) { __builtin_memcpy(p, &v, 4); }
static inline void put_unaligned_le64(u64 v, void* p) { __builtin_memcpy(p, &v, 8); }
static inline void put_unaligned_be32(u32 v, void* p) { put_unaligned_le32(__builtin_bswap32(v), p); }
static inline void put_unaligned_be64(u64 v, void* p) { put_unaligned_le64(__builtin_bswap64(v), p); }

#define swab32(x) __builtin_bswap32(x)
#define swab64(x) __builtin_bswap64(x)

#define likely(x) __builtin_expect(!!(x), 1)
#define unlikely(x) __builtin_expect(!!(x), 0)
#ifndef fallthrough
#define fallthrough __attribute__((__fallthrough__))
#endif

static inline u64 div_u64(u64 dividend, u32 divisor) { return dividend / divisor; }

/* Asserts are off in the library's production build; WARN_ON only evaluates. */
#define WARN_ON(condition) ((void)(condition))
#define pr_debug(...) ((void)0)

#define EXPORT_SYMBOL(name)
#define MODULE_LICENSE(text)
#define MODULE_DESCRIPTION(text)

#endif
