#pragma once
#include <linux/atomic.h>
