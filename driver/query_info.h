// The identification block as client software receives it.
#pragma once

#include "driver/wdk.h"

// How many bytes IOCTL_KEY_QUERY_INFO returns for a block of Length valid
// bytes (Block holds InfoBlockSize bytes): Length, or Length + 1 when the
// answer-to-reset walk finds a version below 3.00 and a check byte is due.
// Bytes the walk reads beyond the block count as zero.
ULONG InfoBlockAnswerLength(const UCHAR* Block, ULONG Length);

// The check byte: the XOR of the block's bytes from the format byte T0 on.
UCHAR InfoBlockCheckByte(const UCHAR* Block, ULONG Length);
