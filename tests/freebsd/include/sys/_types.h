// Stand-in for FreeBSD's <sys/_types.h>, which the compiler's <stddef.h> pulls
// in once __FreeBSD__ is defined; Linux has none.
#pragma once

typedef int __rune_t;
