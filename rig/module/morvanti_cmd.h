/* SPDX-License-Identifier: GPL-2.0 */
/*
 * The one form of command that the GPU driver's "itr_debug" attribute takes,
 * one per write: "pt_p2p_cfg", a space, the source GPU's minor number in
 * decimal, a space, the source's host-physical BAR0 base in lower-case
 * hexadecimal without prefix, and a line feed.  Numbers are written as
 * printf writes them, without leading zeros.  Anything else ("+1", "0x",
 * upper-case digits, no line feed or two, a NUL and what follows, the "x"
 * that the tool sends for a GPU whose minor it could not read) is refused:
 * a driver cannot know which GPU it would mean.
 *
 * Shared by the stand-in kernel module and the simulated machine's driver,
 * so that the two stand-ins keep one contract.
 */
#ifndef MORVANTI_CMD_H
#define MORVANTI_CMD_H

#ifdef __KERNEL__
#include <linux/types.h>
#else
#include <stddef.h>
#include <stdint.h>
typedef uint64_t u64;
#endif

#define MORVANTI_CMD_WORD "pt_p2p_cfg "
#define MORVANTI_MAX_GPUS 64

/* 0, with the minor and the address, for a well-formed command; else -1. */
static inline int morvanti_parse_cmd(const char *buf, size_t count, unsigned int *minor,
				     u64 *address)
{
	const char *word = MORVANTI_CMD_WORD;
	unsigned int m = 0;
	u64 a = 0;
	size_t at = 0, start;

	for (; *word; ++word, ++at)
		if (at >= count || buf[at] != *word)
			return -1;
	for (start = at; at < count && buf[at] >= '0' && buf[at] <= '9'; ++at) {
		m = m * 10 + (unsigned int)(buf[at] - '0');
		if (m >= MORVANTI_MAX_GPUS)
			return -1;
	}
	if (at == start || (buf[start] == '0' && at - start > 1) || at >= count || buf[at] != ' ')
		return -1;
	for (start = ++at; at < count && ((buf[at] >= '0' && buf[at] <= '9') ||
					  (buf[at] >= 'a' && buf[at] <= 'f')); ++at) {
		if (at - start >= 16)
			return -1;
		a = a << 4 | (u64)(buf[at] <= '9' ? buf[at] - '0' : buf[at] - 'a' + 10);
	}
	if (at == start || (buf[start] == '0' && at - start > 1) || at + 1 != count ||
	    buf[at] != '\n')
		return -1;
	*minor = m;
	*address = a;
	return 0;
}

#endif
