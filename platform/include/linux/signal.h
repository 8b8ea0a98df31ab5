#pragma once
#include <linux/sched.h>
