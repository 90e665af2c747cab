// SPDX-License-Identifier: GPL-3.0-or-later
// The process's one random source.
#include "random_source.h"

RandomSource& sharedRandom()
{
    static RandomSource source;
    return source;
}
