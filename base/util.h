/* Shared typedefs of the Orvex device-access library.
 *
 * The ABI is plain C. Wherever the API speaks of a boolean result it is a
 * full 32-bit integer (1 success/true, 0 failure/false), never a one-byte
 * C++ bool, so C and C++ callers and the library agree on every platform. */
#ifndef ORVEX_UTIL_H
#define ORVEX_UTIL_H

#include <stdint.h>

typedef unsigned char BYTE;   /* unsigned 8-bit */
typedef unsigned short USHORT; /* unsigned 16-bit */
typedef long LONG;            /* signed 64-bit on the LP64 targets we support */
typedef int BOOL;             /* 1 success / true, 0 failure / false */

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#if defined(__GNUC__)
#define ORVEX_API __attribute__((visibility("default")))
#else
#define ORVEX_API
#endif

#ifdef __cplusplus
#define ORVEX_EXTERN_C_BEGIN extern "C" {
#define ORVEX_EXTERN_C_END }
#else
#define ORVEX_EXTERN_C_BEGIN
#define ORVEX_EXTERN_C_END
#endif

#endif
