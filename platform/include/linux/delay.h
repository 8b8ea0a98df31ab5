// Sleeps on the platform clock. msleep may sleep (context-checked);
// udelay/mdelay busy-wait in real time and are allowed in atomic context.
#pragma once
#include <linux/types.h>

void msleep(unsigned int msecs);
unsigned long msleep_interruptible(unsigned int msecs);  // ms left when a signal ended it
static inline void ssleep(unsigned int seconds) { msleep(seconds * 1000); }
void udelay(unsigned long usecs);
void ndelay(unsigned long nsecs);
static inline void mdelay(unsigned long msecs) { udelay(msecs * 1000); }
