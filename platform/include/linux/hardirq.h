// Context queries: interrupt context (the disk drivers' completion threads)
// and atomic context (spinlock held, kmap_atomic, preemption off).
#pragma once
int in_interrupt(void);
int in_irq(void);
int in_softirq(void);
int in_atomic(void);
