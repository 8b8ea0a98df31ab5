#pragma once
#include <linux/hardirq.h>
#include <linux/spinlock.h>
