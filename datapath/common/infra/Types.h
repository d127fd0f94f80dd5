#pragma once
// Fixed-width integer names used throughout the infrastructure.
#include <cstdint>

typedef int8_t s8;
typedef uint8_t u8;
typedef int16_t i16;
typedef uint16_t u16;
typedef int32_t i32;
typedef uint32_t u32;
typedef int64_t i64;
typedef uint64_t u64;
