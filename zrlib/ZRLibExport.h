#pragma once

// Marks what libZRLib exports; everything else stays hidden.
#if defined(ZRLIB_BUILDING)
#define ZRLIB_API __attribute__((visibility("default")))
#else
#define ZRLIB_API
#endif
