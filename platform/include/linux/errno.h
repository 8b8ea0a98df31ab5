// Kernel error numbers. The C library's <errno.h> includes <linux/errno.h>,
// and this file is found first, so it must provide the numbers itself (from
// the architecture's table) rather than include <errno.h>.
#pragma once
#include <asm/errno.h>

#ifndef ERESTARTSYS
#define ERESTARTSYS 512
#endif
#ifndef ERESTARTNOINTR
#define ERESTARTNOINTR 513
#endif
#ifndef ERESTARTNOHAND
#define ERESTARTNOHAND 514
#endif
#ifndef ENOIOCTLCMD
#define ENOIOCTLCMD 515
#endif
#ifndef ENOTSUPP
#define ENOTSUPP 524
#endif
